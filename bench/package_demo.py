"""tamrix on a synthetic model dataset: relative humidity and dew point on
model levels, then both interpolated to standard pressure levels.

The dataset is (time, level, lat, lon) temperature, mixing ratio and pressure
on hybrid levels, built here (about 40 MB per field at the default size; set
TAMRIX_DEMO_TIMES to change the number of time steps). Each step is timed
with tamrix on NumPy arrays, on xarray DataArrays and lazily with dask,
against the same work written in plain NumPy (median of a few runs), and the
results are compared.
"""

import functools
import os

import numpy as np
import timing

import tamrix

median_seconds = functools.partial(timing.median_seconds, repeat=3)

TIMES = int(os.environ.get("TAMRIX_DEMO_TIMES", 8))
NLEV, NLAT, NLON = 32, 96, 192
TARGETS = np.array([100000.0, 92500.0, 85000.0, 70000.0, 50000.0, 30000.0, 20000.0, 10000.0])


def build_dataset(rng):
    """Temperature (K), mixing ratio (kg/kg) and pressure (Pa), top level first."""
    eta = np.linspace(0.0, 1.0, NLEV + 1)[1:] ** 1.5
    hya = np.clip(0.1 * (1.0 - eta), 0.0, None) + 0.001
    hyb = eta - 0.001
    lat = np.linspace(-89.0, 89.0, NLAT)
    ps = 101325.0 - 3000.0 * rng.random((TIMES, NLAT, NLON))
    pressure = tamrix.pressure_at_hybrid_levels(hya, hyb, ps, 100000.0, axis=1)
    t_surface = 300.0 - 45.0 * np.sin(np.deg2rad(lat)) ** 2
    # A dry-adiabat-like profile with some noise, and moisture falling off upwards.
    temperature = (t_surface[None, None, :, None] * (pressure / ps[:, None]) ** 0.19
                   + rng.normal(0.0, 1.5, pressure.shape))
    mixing_ratio = 0.018 * (pressure / ps[:, None]) ** 3 * rng.uniform(0.3, 1.0, pressure.shape)
    return temperature, mixing_ratio, pressure, lat


# --- the same work in plain NumPy ---

def numpy_relhum_water(t, w, p):
    es = np.exp((t - 273.15) * 17.269 / (t - 35.86)) * 6.1128
    ws = (0.622 * es) / ((-0.378 * es) + p * 0.01)
    return (w / ws) * 100.0


def numpy_dewtemp(tk, rh):
    lhv = ((tk - 273.0) * -0.57 + 597.3) / 0.11024844720496894
    return (tk * lhv) / (lhv - np.log(rh * 0.01) * tk)


def numpy_interp(data, coord, targets, axis=1):
    """Linear interpolation of every column to targets; coord increasing along axis."""
    data, coord = np.moveaxis(data, axis, -1), np.moveaxis(coord, axis, -1)
    out = np.empty(data.shape[:-1] + (targets.size,))
    n = coord.shape[-1]
    for k, target in enumerate(targets):
        upper = np.clip((coord < target).sum(axis=-1, keepdims=True), 1, n - 1)
        x0, x1 = np.take_along_axis(coord, upper - 1, -1), np.take_along_axis(coord, upper, -1)
        d0, d1 = np.take_along_axis(data, upper - 1, -1), np.take_along_axis(data, upper, -1)
        value = (d1 - d0) * ((target - x0) / (x1 - x0)) + d0
        inside = (target >= coord[..., :1]) & (target <= coord[..., -1:])
        out[..., k] = np.where(inside, value, np.nan)[..., 0]
    return np.moveaxis(out, -1, axis)


def numpy_pipeline(t, w, p):
    rh = numpy_relhum_water(t, w, p)
    td = numpy_dewtemp(t, rh)
    return numpy_interp(rh, p, TARGETS), numpy_interp(td, p, TARGETS)


def tamrix_pipeline(t, w, p, **level):
    rh = tamrix.relhum_water(t, w, p)
    td = tamrix.dewtemp(t, rh)
    return (tamrix.interp_to_levels(rh, p, TARGETS, **level),
            tamrix.interp_to_levels(td, p, TARGETS, **level))


def max_relative_difference(a, b):
    a, b = np.asarray(a), np.asarray(b)
    both = np.isfinite(a) & np.isfinite(b)
    assert np.array_equal(np.isnan(a), np.isnan(b)), "NaN positions differ"
    return float(np.max(np.abs(a[both] - b[both]) / np.abs(b[both])))


def time_steps(t, w, p):
    """Each step alone on NumPy arrays."""
    rh = tamrix.relhum_water(t, w, p)
    steps = [
        ("relative humidity", lambda: numpy_relhum_water(t, w, p),
         lambda: tamrix.relhum_water(t, w, p)),
        ("dew point", lambda: numpy_dewtemp(t, rh), lambda: tamrix.dewtemp(t, rh)),
        ("interpolate to 8 pressure levels", lambda: numpy_interp(rh, p, TARGETS),
         lambda: tamrix.interp_to_levels(rh, p, TARGETS, axis=1)),
    ]
    print("| step (NumPy arrays) | NumPy (ms) | tamrix (ms) | speed-up | max rel. difference |")
    print("|---|---:|---:|---:|---:|")
    for name, numpy_fn, tamrix_fn in steps:
        difference = max_relative_difference(tamrix_fn(), numpy_fn())
        t_numpy, t_tamrix = median_seconds(numpy_fn), median_seconds(tamrix_fn)
        print(f"| {name} | {t_numpy * 1e3:.0f} | {t_tamrix * 1e3:.0f} | "
              f"{t_numpy / t_tamrix:.1f}x | {difference:.1e} |")


def main():
    rng = np.random.default_rng(0)
    t, w, p, lat = build_dataset(rng)
    size_mb = 3 * t.nbytes / 1e6
    print(f"dataset: (time, level, lat, lon) = {t.shape}, 3 fields, {size_mb:.0f} MB; "
          f"{len(os.sched_getaffinity(0))} CPUs\n")

    time_steps(t, w, p)

    expected = tamrix_pipeline(t, w, p, axis=1)
    t_numpy = median_seconds(lambda: numpy_pipeline(t, w, p))
    rows = [("plain NumPy", t_numpy), ("tamrix, NumPy arrays",
                                       median_seconds(lambda: tamrix_pipeline(t, w, p, axis=1)))]
    try:
        import xarray as xr
    except ImportError:
        xr = None
    if xr is not None:
        dims = ("time", "lev", "lat", "lon")
        coords = {"lat": lat, "lon": np.linspace(0.0, 358.125, NLON)}
        ds = xr.Dataset({"t": (dims, t, {"units": "K"}), "w": (dims, w, {"units": "kg/kg"}),
                         "p": (dims, p, {"units": "Pa"})}, coords=coords)
        labelled = tamrix_pipeline(ds.t, ds.w, ds.p, dim="lev")
        assert all(np.array_equal(a.values, b, equal_nan=True)
                   for a, b in zip(labelled, expected))
        rows.append(("tamrix, xarray", median_seconds(
            lambda: tamrix_pipeline(ds.t, ds.w, ds.p, dim="lev"))))
        try:
            import dask
        except ImportError:
            dask = None
        if dask is not None:
            chunked = ds.chunk({"time": 2})
            lazy = tamrix_pipeline(chunked.t, chunked.w, chunked.p, dim="lev")
            computed = dask.compute(*lazy)
            assert all(np.array_equal(a.values, b, equal_nan=True)
                       for a, b in zip(computed, expected))
            rows.append(("tamrix, xarray + dask (time chunks, threaded)", median_seconds(
                lambda: dask.compute(*tamrix_pipeline(chunked.t, chunked.w, chunked.p,
                                                      dim="lev")))))
    print("\nwhole pipeline (relative humidity, dew point, both on 8 pressure levels):\n")
    print("| how | time (ms) | vs NumPy |")
    print("|---|---:|---:|")
    for name, seconds in rows:
        print(f"| {name} | {seconds * 1e3:.0f} | {t_numpy / seconds:.1f}x |")
    rh_levels, td_levels = expected
    print(f"\nat 850 hPa, time 0, equator: relative humidity {rh_levels[0, 2, NLAT // 2, 0]:.1f} %,"
          f" dew point {td_levels[0, 2, NLAT // 2, 0]:.1f} K")


if __name__ == "__main__":
    main()
