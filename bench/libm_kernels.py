#!/usr/bin/env python
"""The kernels with a vector libm path, on that path and on the C library's.

Side by side in one run: at n = 10,000,000 each of the seven exp/log kernels
against its NumPy expression and numexpr (on the pool's thread count), with
the kernels' exp/log on the vector path (the default where it verified) and
on the C library (TAMRIX_SCALAR_LIBM=1); the single-threaded in-cache cost
per element of dewtemp_array and saturation_vapor_pressure_array (n =
20,000, computed on the calling thread); and max_daylight_grid, whose acos
takes the same two paths, against NumPy and numexpr at 10^3 to 10^7 grid
points. The paths are fixed per process, so each runs in worker processes,
alternating, and every figure is the median over the rounds of the
workers' round-robin medians.

    python bench/libm_kernels.py [--rounds 3] [--n 10000000] [--only daylight]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench  # noqa: E402

KERNELS = sorted(bench.EXP_LOG_KERNELS)
IN_CACHE = ["dewtemp_array", "saturation_vapor_pressure_array"]
IN_CACHE_N = 20_000
DAYLIGHT_SIZES = [1_000, 100_000, 1_000_000, 10_000_000]
PATHS = {"vector": {}, "scalar": {"TAMRIX_SCALAR_LIBM": "1"}}
SECTIONS = ["exp-log", "daylight"]


def contenders_of(case, d):
    contenders = {"ours": lambda: case.ours(d), "numpy": lambda: case.numpy(d)}
    if bench.numexpr is not None and case.numexpr is not None:
        contenders["numexpr"] = lambda: case.numexpr(d)
    return contenders


def worker(n, sections):
    """Seconds per call of ours/NumPy/numexpr at n, ours per element in cache,
    and the daylight grid's seconds per call at each size."""
    from tamrix import _kernels

    rng = np.random.default_rng(1)
    timer = bench.Timer(budget_s=1.0)
    bench.warm_up(rng, 0.2)
    large, cached, daylight = {}, {}, {}
    if "exp-log" in sections:
        for name in KERNELS:
            case = bench.CASE_BY_NAME[name]
            with np.errstate(all="ignore"):
                large[name] = timer.per_call(contenders_of(case, case.make(n, rng)))
        for name in IN_CACHE:
            case = bench.CASE_BY_NAME[name]
            d = case.make(IN_CACHE_N, rng)
            cached[name] = timer.per_call({"ours": lambda: case.ours(d)})["ours"] / IN_CACHE_N
    if "daylight" in sections:
        case = bench.CASE_BY_NAME["max_daylight_grid"]
        for size in DAYLIGHT_SIZES:
            daylight[str(size)] = timer.per_call(contenders_of(case, case.make(size, rng)))
    return {"path": _kernels.status(), "acos_path": _kernels.acos_status(), "large": large,
            "cached": cached, "daylight": daylight}


def run_worker(path, n, sections):
    env = dict(os.environ)
    env.pop("TAMRIX_SCALAR_LIBM", None)
    env.update(PATHS[path])
    out = subprocess.run([sys.executable, __file__, "--worker", str(n), "--only", *sections],
                         env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def median_of(runs, *keys):
    values = []
    for run in runs:
        value = run
        for key in keys:
            value = value.get(key) if isinstance(value, dict) else None
        if value is not None:
            values.append(value)
    return statistics.median(values) if values else None


def ratio_cells(times, paths, others):
    cells = []
    for p in paths:
        for other in others:
            t = times[p]
            cells.append("—" if t[other] is None or t["ours"] is None else
                         bench.fmt_ratio(bench.ratio(t[other], t["ours"])))
    return cells


def report_daylight(runs):
    print(f"max_daylight_grid, {bench.pool_size()} threads; speed-up = their time / ours")
    for path in PATHS:
        print(f"  {path} path: {runs[path][0]['acos_path'][1]}")
    print()
    print("| grid points | ours, vector acos | ours, C library | NumPy | vector vs NumPy "
          "| C library vs NumPy | vector vs numexpr |")
    print("|---|---|---|---|---|---|---|")
    for size in DAYLIGHT_SIZES:
        times = {p: {c: median_of(runs[p], "daylight", str(size), c)
                     for c in ("ours", "numpy", "numexpr")} for p in PATHS}
        cells = [f"{size:,}"] + [bench.fmt_time(times[p]["ours"]) for p in PATHS]
        cells.append(bench.fmt_time(times["vector"]["numpy"]))
        cells += ratio_cells(times, PATHS, ["numpy"])
        cells += ratio_cells(times, ["vector"], ["numexpr"])
        print("| " + " | ".join(cells) + " |")


def report(runs, n):
    threads = bench.pool_size()
    print(f"exp/log kernels at n = {n:,}, {threads} threads; speed-up = their time / ours")
    for path in PATHS:
        print(f"  {path} path: {runs[path][0]['path'][1]}")
    print()
    print("| kernel | ours, vector | ours, C library | vector vs NumPy | vector vs numexpr "
          "| C library vs NumPy | C library vs numexpr |")
    print("|---|---|---|---|---|---|---|")
    for name in KERNELS:
        cells = [name]
        times = {p: {c: median_of(runs[p], "large", name, c) for c in ("ours", "numpy", "numexpr")}
                 for p in PATHS}
        cells += [bench.fmt_time(times[p]["ours"]) for p in PATHS]
        cells += ratio_cells(times, PATHS, ["numpy", "numexpr"])
        print("| " + " | ".join(cells) + " |")
    print()
    print(f"Single-threaded, in cache (n = {IN_CACHE_N:,}), ns per element:")
    print("| kernel | vector | C library |")
    print("|---|---|---|")
    for name in IN_CACHE:
        cells = [f"{median_of(runs[p], 'cached', name) * 1e9:.2f}" for p in PATHS]
        print(f"| {name} | " + " | ".join(cells) + " |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--n", type=int, default=bench.LARGE)
    parser.add_argument("--only", nargs="+", choices=SECTIONS, default=SECTIONS,
                        help="the exp/log kernels, the daylight grid, or both (default)")
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(worker(args.worker, args.only)))
        return
    runs = {path: [] for path in PATHS}
    for _ in range(args.rounds):
        for path in PATHS:
            runs[path].append(run_worker(path, args.n, args.only))
    if "exp-log" in args.only:
        report(runs, args.n)
    if "daylight" in args.only:
        print()
        report_daylight(runs)


if __name__ == "__main__":
    main()
