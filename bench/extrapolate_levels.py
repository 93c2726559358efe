"""Below-ground extrapolation with a different level per element:
tamrix.temp_extrapolate / geo_height_extrapolate (one call of the batched
kernel of tamrix._kernels) against the vectorised NumPy expression of the
same formulas, at 10^6 elements (TAMRIX_EXTRAPOLATE_N changes that), every
level distinct. Median of a few runs, interleaved in one process.

    python bench/extrapolate_levels.py
"""

import os
import statistics
import time

import numpy as np

import tamrix

N = int(os.environ.get("TAMRIX_EXTRAPOLATE_N", 1_000_000))
ALPHA = 0.19026407890550429
INV_G = 0.10197671667604852


def surface(t_bot, lev, p_sfc, ps, phi_sfc):
    t_star = ((ps / p_sfc - 1.0) * ALPHA + 1.0) * t_bot
    height = INV_G * phi_sfc
    return t_star, height, 0.0065 * height + t_star, np.log(lev / ps)


def numpy_temperature(t_bot, lev, p_sfc, ps, phi_sfc):
    t_star, height, t0, log_ratio = surface(t_bot, lev, p_sfc, ps, phi_sfc)
    plateau = np.minimum(t0, 298.0)
    target = np.where(height > 2500.0, plateau,
                      ((height - 2000.0) * plateau + (2500.0 - height) * t0) * 0.002)
    with np.errstate(divide="ignore", invalid="ignore"):
        high = np.where(target >= t_star, log_ratio * ((target - t_star) * 287.04 / phi_sfc), 0.0)
    a = np.where(height < 2000.0, log_ratio * ALPHA, high)
    return t_star * (1.0 + a + 0.5 * a * a + a * a * a / 6.0)


def numpy_height(t_bot, lev, p_sfc, ps, phi_sfc):
    t_star, height, t0, log_ratio = surface(t_bot, lev, p_sfc, ps, phi_sfc)
    warm_sea, warm_surface = t0 > 290.5, t_star > 290.5
    with np.errstate(divide="ignore", invalid="ignore"):
        k = np.where(warm_sea & warm_surface, 0.0,
                     np.where(warm_sea, (290.5 - t_star) * (287.04 / phi_sfc), ALPHA))
    ts = np.where(warm_sea & warm_surface, (t_star + 290.5) * 0.5, t_star)
    ts = np.where(ts < 255.0, (ts + 255.0) * 0.5, ts)
    a = k * log_ratio
    return height - (a * a / 6.0 + 0.5 * a + 1.0) * (ts * 287.04 * INV_G * log_ratio)


def median_seconds(fn, repeat=5):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    rng = np.random.default_rng(0)
    ps = rng.uniform(5.0e4, 1.05e5, N)
    inputs = (rng.uniform(230.0, 310.0, N), ps * rng.uniform(1.0, 1.3, N),
              ps * rng.uniform(0.9, 1.0, N), ps, rng.uniform(0.0, 45000.0, N))
    print(f"{N:,} elements, every level distinct; load average at start "
          f"{os.getloadavg()[0]:.2f}, CPUs: {os.cpu_count()}")
    print("| quantity | tamrix | NumPy | NumPy / tamrix | largest relative difference |")
    print("|---|---|---|---|---|")
    for name, numpy_form in (("temp_extrapolate", numpy_temperature),
                             ("geo_height_extrapolate", numpy_height)):
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
