"""A short tour of _tamrix_rs: a few kernels on large arrays, timed against the
same formula written as a NumPy expression (median of repeated runs)."""

import os
import statistics
import time

import numpy as np

import _tamrix_rs

met = _tamrix_rs.meteorology
N = int(os.environ.get("TAMRIX_DEMO_N", 10_000_000))


def median_seconds(fn, repeat=7):
    fn()
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def numpy_svp(t):
    c = ((t + (-32.0)) * 5.0) / 9.0
    with np.errstate(invalid="ignore", over="ignore"):
        return np.where(c > 0.0, np.exp((17.27 * c) / (c + 237.3)) * 0.6108, np.nan)


def numpy_svp_slope(t):
    c = ((t + (-32.0)) * 5.0) / 9.0
    d = c + 237.3
    with np.errstate(invalid="ignore", over="ignore"):
        return np.where(c > 0.0, ((np.exp((17.27 * c) / d) * 0.6108) * 4096.0) / (d * d), np.nan)


def main():
    rng = np.random.default_rng(0)
    temperature_f = rng.uniform(20.0, 110.0, N)
    pressure_kpa = rng.uniform(50.0, 105.0, N)
    cases = [
        ("saturation_vapor_pressure_array", lambda: met.saturation_vapor_pressure_array(temperature_f),
         lambda: numpy_svp(temperature_f)),
        ("saturation_vapor_pressure_slope_array",
         lambda: met.saturation_vapor_pressure_slope_array(temperature_f),
         lambda: numpy_svp_slope(temperature_f)),
        ("psychrometric_constant_array", lambda: met.psychrometric_constant_array(pressure_kpa),
         lambda: pressure_kpa * 0.00066474),
    ]
    print(f"_tamrix_rs on {N:,} float64 values, {len(os.sched_getaffinity(0))} CPUs\n")
    print("| function | tamrix (ms) | NumPy (ms) | speed-up | max rel. difference |")
    print("|---|---:|---:|---:|---:|")
    for name, ours, theirs in cases:
        # NumPy's vectorised exp may differ from the C library's in the last bit.
        a, b = ours(), theirs()
        finite = np.isfinite(b)
        difference = np.max(np.abs(a[finite] - b[finite]) / np.abs(b[finite]))
        t_ours = median_seconds(ours)
        t_theirs = median_seconds(theirs)
        print(f"| {name} | {t_ours * 1e3:.1f} | {t_theirs * 1e3:.1f} | "
              f"{t_theirs / t_ours:.1f}x | {difference:.1e} |")
    print(f"\nscalar: saturation_vapor_pressure_scalar(68.0) = {met.saturation_vapor_pressure_scalar(68.0)!r} kPa")


if __name__ == "__main__":
    main()
