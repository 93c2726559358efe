#!/usr/bin/env python
"""Compares the vector exp/log/acos with the C library on many inputs.

The test suite compares ten million inputs per function; this runs as many
as asked (`--count 1e9`, the default 1e8), in batches of ten million drawn as
in tests/libm_inputs.py: the first batch holds every table boundary and every
special-path threshold with `--dense-ulps` neighbours each side, the others
random bit patterns, uniform values over the range the vector path computes
itself, values around 1 (log) and close to +-1 and 0 (acos). Prints the
count, the time and any input whose results differ, and exits 1 if one does.

    python bench/libm_compare.py --count 1e9 [--function acos]
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

from tamrix import _kernels

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from libm_inputs import acos_batch, exp_batch, log_batch  # noqa: E402

BATCH = 10_000_000
BATCHES = {"exp": exp_batch, "log": log_batch, "acos": acos_batch}


def compare(function: str, count: int, dense_ulps: int, seed: int) -> int:
    rng = np.random.default_rng(seed)
    done = mismatches = 0
    start = time.perf_counter()
    first = True
    while done < count:
        values = BATCHES[function](rng, BATCH, dense_ulps if first else 0)
        first = False
        fast = np.empty_like(values)
        library = np.empty_like(values)
        _kernels.apply(function, "vector", values, fast)
        _kernels.apply(function, "scalar", values, library)
        differ = np.flatnonzero(fast.view(np.int64) != library.view(np.int64))
        for k in differ[:10]:
            print(f"  {function}({values[k].hex()}): vector {fast[k].hex()}, "
                  f"C library {library[k].hex()}")
        mismatches += differ.size
        done += values.size
    seconds = time.perf_counter() - start
    print(f"{function}: {done:,} inputs, {mismatches} differ ({seconds:.1f} s)")
    return mismatches


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=float, default=1e8, help="inputs per function")
    parser.add_argument("--dense-ulps", type=int, default=64,
                        help="neighbours each side of every boundary in the first batch")
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--function", choices=sorted(BATCHES), action="append")
    args = parser.parse_args()
    if not _kernels.vector_supported():
        print("this CPU has no AVX2/FMA: there is no vector path to compare")
        return 0
    print("exp/log path:", *_kernels.status())
    print("acos path:", *_kernels.acos_status())
    failed = 0
    for function in args.function or sorted(BATCHES):
        failed += compare(function, int(args.count), args.dense_ulps, args.seed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
