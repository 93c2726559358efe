#!/usr/bin/env python
"""How deep a package call goes: the package functions a call enters, and the
input-kind checks it makes, until the first kernel call.

    python bench/call_path.py                 # tamrix
    python bench/call_path.py --package NAME  # another copy of the package (side by side)

The call is `relhum` on three dask-backed DataArrays, computed; counting stops
at the first call into `_tamrix_rs` or `tamrix._kernels`. A kind check is a
call of one of the package's functions that tell what an input is (their
names are listed in KIND_CHECKS), plus each `isinstance` made from package code.
"""

import argparse
import importlib
import os
import sys
from collections import Counter

import numpy as np
import xarray as xr

KIND_CHECKS = {"is_dataarray", "is_dask_array", "kind_of", "is_quantity", "is_pint_dataarray",
               "has_pint_units", "_dask_backed", "common_kind", "kind", "is_lazy"}


def measure(package: str) -> tuple[Counter[str], int, int]:
    module = importlib.import_module(package)
    root = os.path.dirname(module.__file__)
    dims = ("time", "lat")
    inputs = [xr.DataArray(np.full((4, 6), value), dims=dims, attrs={"units": units}).chunk(
        {"time": 2}) for value, units in ((290.0, "K"), (0.01, "kg/kg"), (9e4, "Pa"))]
    module.relhum(*inputs).compute()  # warm up: imports and caches
    entered: Counter[str] = Counter()
    checks = [0]
    done = [False]

    def profile(frame, event, arg):
        if done[0]:
            return
        if event == "call" and frame.f_code.co_filename.startswith(root):
            if not frame.f_code.co_name.startswith("<"):  # comprehensions, lambdas
                entered[frame.f_code.co_name] += 1
            if frame.f_code.co_name in KIND_CHECKS:
                checks[0] += 1
        elif event == "c_call":
            owner = getattr(arg, "__module__", None) or ""
            caller = frame.f_code.co_filename
            if owner.startswith("_tamrix_rs") or "_kernels" in owner or "_libm" in owner:
                done[0] = True
            elif arg is isinstance and caller.startswith(root):
                checks[0] += 1

    sys.setprofile(profile)
    try:
        module.relhum(*inputs).compute(scheduler="synchronous")
    finally:
        sys.setprofile(None)
    return entered, sum(entered.values()), checks[0]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--package", default="tamrix")
    parser.add_argument("--list", action="store_true", help="list the functions entered")
    args = parser.parse_args()
    entered, calls, checks = measure(args.package)
    print(f"{args.package}: {len(entered)} package functions ({calls} calls), "
          f"{checks} kind checks before the kernel")
    if args.list:
        for name, count in sorted(entered.items()):
            print(f"  {name} x{count}")


if __name__ == "__main__":
    main()
