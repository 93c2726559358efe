"""The remap engine (tamrix._kernels.remap_hybrid_to_pressure) against a plain
vectorised NumPy ln-p formulation, in memory, on float32 blocks in a file's
own layout (time, lev, lat, lon) to 8 pressure levels.

Two shapes: CMIP-like 12x32x180x360 and ERA5-like 2x137x361x720 (about 1 GB
of float32 each for three variables; TAMRIX_REMAP_SHAPES=cmip or era5 picks
one). For one variable and for three (the NumPy formulation then shares its
logarithms and bracketing levels between them, as the engine does), the
median of a few runs of each, interleaved in one process, and a copy of the
input as a yardstick of memory speed. The largest difference between the two
(where both give a value) is printed as a check.

    python bench/remap.py
"""

import os
import statistics

import numpy as np
from timing import median_seconds

from tamrix import _kernels

SHAPES = {"cmip": (12, 32, 180, 360), "era5": (2, 137, 361, 720)}
TARGETS = np.array([100000.0, 92500.0, 85000.0, 70000.0, 50000.0, 25000.0, 10000.0, 5000.0])
P0 = 100000.0


def hybrid_levels(nlev):
    """Top-first coefficients: pure pressure near the top, sigma at the bottom."""
    eta = np.linspace(0.0, 1.0, nlev + 1)[1:] ** 1.5
    hyb = np.clip((eta - 0.2) / 0.8, 0.0, 1.0) ** 1.2
    hya = eta - hyb + 0.0005
    return hya, hyb


def surface_pressure(time_, nlat, nlon, rng):
    """A smooth field like a real one: mountain ranges down to about 600 hPa,
    weather of a few hPa."""
    lat = np.linspace(-np.pi / 2, np.pi / 2, nlat)[:, None]
    lon = np.linspace(0.0, 2 * np.pi, nlon, endpoint=False)[None, :]
    ranges = np.clip(np.sin(3 * lon) * np.cos(2 * lat) * np.cos(lat), 0.0, None) ** 2
    weather = rng.normal(0.0, 800.0, (time_, 1, 1)) * np.cos(lat + lon) + rng.normal(
        0.0, 50.0, (time_, nlat, nlon))
    return (101000.0 - 42000.0 * ranges + weather).reshape(time_, nlat * nlon)


def block(shape, nvar, rng):
    time_, nlev, nlat, nlon = shape
    hya, hyb = hybrid_levels(nlev)
    ps = surface_pressure(time_, nlat, nlon, rng)
    variables = [rng.uniform(200.0, 300.0, (time_, nlev, nlat * nlon)).astype(np.float32)
                 for _ in range(nvar)]
    return variables, ps, hya, hyb


def engine(variables, ps, hya, hyb):
    outputs = [np.empty((ps.shape[0], TARGETS.size, ps.shape[1]), np.float32) for _ in variables]
    _kernels.remap_hybrid_to_pressure(variables, outputs, ["plain"] * len(variables), ps, hya,
                                      hyb, P0, TARGETS, log=True, extrapolate=False)
    return outputs


def numpy_formulation(variables, ps, hya, hyb):
    """Interpolation in ln p along axis 1, NaN outside the column; the
    logarithms and brackets of each target computed once for all variables."""
    logp = np.log(hyb[:, None] * ps[:, None, :] + hya[:, None] * P0)
    nlev = logp.shape[1]
    outputs = [np.empty((ps.shape[0], TARGETS.size, ps.shape[1]), np.float32) for _ in variables]
    for k, target in enumerate(TARGETS):
        x = np.log(target)
        upper = np.clip((logp < x).sum(axis=1, keepdims=True), 1, nlev - 1)
        x0 = np.take_along_axis(logp, upper - 1, 1)
        t = (x - x0) / (np.take_along_axis(logp, upper, 1) - x0)
        outside = (x < logp[:, :1]) | (x > logp[:, -1:])
        for data, out in zip(variables, outputs):
            d0 = np.take_along_axis(data, upper - 1, 1)
            d1 = np.take_along_axis(data, upper, 1)
            out[:, k] = np.where(outside, np.nan, (d1 - d0) * t + d0)[:, 0]
    return outputs


def largest_difference(a, b):
    both = np.isfinite(a) & np.isfinite(b)
    assert (np.isnan(a) == np.isnan(b)).mean() > 0.999
    return float(np.abs(a[both].astype(np.float64) - b[both]).max())


def main():
    chosen = os.environ.get("TAMRIX_REMAP_SHAPES", "cmip,era5").split(",")
    rng = np.random.default_rng(0)
    print(f"load average at start: {os.getloadavg()[0]:.2f}, CPUs: {os.cpu_count()}, "
          f"exp/log path: {'vector' if _kernels.status()[0] else 'C library'}")
    print("| block | variables | engine | NumPy | NumPy / engine | copy of the input "
          "| engine / copy | largest difference |")
    print("|---|---|---|---|---|---|---|---|")
    for name in chosen:
        shape = SHAPES[name]
        for nvar in (1, 3):
            variables, ps, hya, hyb = block(shape, nvar, rng)
            difference = max(largest_difference(a, b) for a, b in zip(
                engine(variables, ps, hya, hyb), numpy_formulation(variables, ps, hya, hyb)))
            times = {"engine": [], "numpy": [], "copy": []}
            for _ in range(3):  # interleaved, so both see the same machine
                times["engine"].append(median_seconds(lambda: engine(variables, ps, hya, hyb), 3))
                times["numpy"].append(median_seconds(
                    lambda: numpy_formulation(variables, ps, hya, hyb), 1))
                times["copy"].append(median_seconds(lambda: [v.copy() for v in variables], 3))
            t = {key: statistics.median(values) for key, values in times.items()}
            print(f"| {name} {'x'.join(map(str, shape))} | {nvar} | {t['engine'] * 1e3:.0f} ms "
                  f"| {t['numpy'] * 1e3:.0f} ms | {t['numpy'] / t['engine']:.1f}x "
                  f"| {t['copy'] * 1e3:.0f} ms | {t['engine'] / t['copy']:.2f} | {difference:.2g} |")
            del variables
    print(f"load average at end: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
