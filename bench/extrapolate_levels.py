"""Below-ground extrapolation with a different level per element:
tamrix.temp_extrapolate / geo_height_extrapolate (one call of the batched
kernel of tamrix._kernels) against the vectorised NumPy expression of the
same formulas, at 10^6 elements (TAMRIX_EXTRAPOLATE_N changes that), every
level distinct. Median of a few runs, interleaved in one process.

    python bench/extrapolate_levels.py
"""

import os
import statistics

import numpy as np
from baselines import geo_height_extrapolate, temp_extrapolate
from timing import median_seconds

import tamrix

N = int(os.environ.get("TAMRIX_EXTRAPOLATE_N", 1_000_000))


def main():
    rng = np.random.default_rng(0)
    ps = rng.uniform(5.0e4, 1.05e5, N)
    inputs = (rng.uniform(230.0, 310.0, N), ps * rng.uniform(1.0, 1.3, N),
              ps * rng.uniform(0.9, 1.0, N), ps, rng.uniform(0.0, 45000.0, N))
    print(f"{N:,} elements, every level distinct; load average at start "
          f"{os.getloadavg()[0]:.2f}, CPUs: {os.cpu_count()}")
    print("| quantity | tamrix | NumPy | NumPy / tamrix | largest relative difference |")
    print("|---|---|---|---|---|")
    for name, numpy_form in (("temp_extrapolate", temp_extrapolate),
                             ("geo_height_extrapolate", geo_height_extrapolate)):
        ours = getattr(tamrix, name)
        difference = np.nanmax(np.abs(ours(*inputs) / numpy_form(*inputs) - 1.0))
        times = {"tamrix": [], "numpy": []}
        for _ in range(3):
            times["tamrix"].append(median_seconds(lambda: ours(*inputs)))
            times["numpy"].append(median_seconds(lambda: numpy_form(*inputs)))
        t = {key: statistics.median(values) for key, values in times.items()}
        print(f"| {name} | {t['tamrix'] * 1e3:.1f} ms | {t['numpy'] * 1e3:.1f} ms "
              f"| {t['numpy'] / t['tamrix']:.1f}x | {difference:.1e} |")
    print(f"load average at end: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
