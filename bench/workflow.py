"""The model-level workflow from netCDF to netCDF: tamrix against the same
work in plain xarray/NumPy, and MetPy where it has the quantity.

A synthetic CMIP-like file (time 8, 30 hybrid levels, 90 x 180; ta, hus, ps,
hybrid coefficients, surface geopotential), stored one level per chunk as
models often write it, is opened with those chunks. The workflow: pressure on
the hybrid levels, relative humidity (from specific humidity), dew point,
temperature on 4 pressure levels with below-ground extrapolation, and layer
thickness, all written to one output file.

Each variant runs once, in its own process, so its time and peak memory are
its own: "compute" is the workflow computed in memory (read, no write),
"netCDF to netCDF" the same written to a file; peak memory is the growth of
the process's resident set (VmHWM) during the netCDF-to-netCDF run. Run: python bench/workflow.py
[--times N] [--skip-metpy].
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

SHAPE = (8, 30, 90, 180)
LEVELS_HPA = [1000.0, 850.0, 500.0, 250.0]
P0 = 100000.0


# --- the synthetic file ---


def write_dataset(path: str, times: int) -> None:
    import xarray as xr

    rng = np.random.default_rng(0)
    shape = (times,) + SHAPE[1:]
    nlev = shape[1]
    eta = np.linspace(0.0, 1.0, nlev + 1)[1:] ** 1.5
    # The lowest level sits just above the ground (p = 0.995 ps).
    hyam = 0.1 * (1.0 - eta) + 0.002 * (1.0 - eta) ** 8
    hybm = 0.995 * eta
    lat = np.linspace(-89.0, 89.0, shape[2])
    lon = np.linspace(0.0, 358.0, shape[3])
    # Two mountain ranges and a plateau on otherwise low ground.
    la, lo = np.meshgrid(lat, lon, indexing="ij")
    orography = (3500.0 * np.exp(-((la - 35.0) / 10.0) ** 2 - ((lo - 90.0) / 25.0) ** 2)
                 + 2500.0 * np.exp(-((la + 20.0) / 25.0) ** 2 - ((lo - 290.0) / 6.0) ** 2)
                 + 1200.0 * np.exp(-((la - 60.0) / 8.0) ** 2 - ((lo - 250.0) / 30.0) ** 2))
    ps = (101325.0 * np.exp(-orography / 8000.0)
          - 1500.0 * rng.random(shape[:1] + shape[2:]) - 800.0 * np.cos(np.deg2rad(lo)))
    p = hyam[:, None, None, None] * P0 + hybm[:, None, None, None] * ps[None]
    p = p.transpose(1, 0, 2, 3)
    t_surface = 300.0 - 45.0 * np.sin(np.deg2rad(lat)) ** 2
    ta = t_surface[None, None, :, None] * (p / ps[:, None]) ** 0.19 + rng.normal(0, 1.0, shape)
    hus = 0.016 * (p / ps[:, None]) ** 3 * rng.uniform(0.3, 1.0, shape)
    dims = ("time", "lev", "lat", "lon")
    on_disk = {"chunksizes": (shape[0], 1) + shape[2:]}  # one level per chunk
    ds = xr.Dataset(
        {"ta": (dims, ta.astype(np.float32), {"units": "K", "standard_name": "air_temperature"}),
         "hus": (dims, hus.astype(np.float32),
                 {"units": "1", "standard_name": "specific_humidity"}),
         "ps": (("time", "lat", "lon"), ps, {"units": "Pa"}),
         "phis": (("lat", "lon"), orography * 9.80665, {"units": "m2 s-2"}),
         "hyam": ("lev", hyam), "hybm": ("lev", hybm)},
        coords={"lat": ("lat", lat, {"units": "degrees_north"}),
                "lon": ("lon", lon, {"units": "degrees_east"})})
    ds.to_netcdf(path, encoding={"ta": on_disk, "hus": on_disk})


# --- the variants (each run in a process of its own) ---


def tamrix_workflow(ds):
    import tamrix

    p = tamrix.pressure_at_hybrid_levels(ds.hyam, ds.hybm, ds.ps, P0).transpose(*ds.ta.dims)
    rh = tamrix.relhum(ds.ta, pressure=p, specific_humidity=ds.hus, name="hur")
    td = tamrix.dewtemp(ds.ta, rh, name="tdew")
    levels = __import__("xarray").DataArray(LEVELS_HPA, dims="plev", attrs={"units": "hPa"})
    ta_plev = tamrix.hybrid_to_pressure(ds.ta, ds.ps, ds.hyam, ds.hybm, levels, P0,
                                        extrapolate=True, phi_sfc=ds.phis, name="ta_plev")
    dp = tamrix.delta_pressure(p, ds.ps, dim="lev").rename("dp")
    return {"hur": rh, "tdew": td, "ta_plev": ta_plev, "dp": dp}


def _numpy_relhum(t, q, p):
    w = q / (1.0 - q)
    es = np.exp((t - 273.15) * 17.269 / (t - 35.86)) * 6.1128
    ws = (0.622 * es) / ((-0.378 * es) + p * 0.01)
    return (w / ws) * 100.0


def _numpy_dewtemp(t, rh):
    lhv = ((t - 273.0) * -0.57 + 597.3) / 0.11024844720496894
    return (t * lhv) / (lhv - np.log(rh * 0.01) * t)


def _numpy_temp_extrapolate(t_bot, lev, p_sfc, ps, phi_sfc):
    t_star = ((ps / p_sfc - 1.0) * 0.19026407890550429 + 1.0) * t_bot
    height = 0.10197671667604852 * phi_sfc
    t0 = 0.0065 * height + t_star
    t_plat = np.minimum(t0, 298.0)
    tx = np.where(height > 2500.0, t_plat, ((height - 2000.0) * t_plat
                                           + (2500.0 - height) * t0) * 0.002)
    log_ratio = np.log(lev / ps)
    with np.errstate(divide="ignore", invalid="ignore"):
        high = np.where(tx >= t_star, log_ratio * ((tx - t_star) * 287.04 / phi_sfc), 0.0)
    a = np.where(height < 2000.0, log_ratio * 0.19026407890550429, high)
    return t_star * (1.0 + a + 0.5 * a * a + a * a * a / 6.0)


def _numpy_to_pressure(t, p, ps, phis, targets):
    """Log-pressure interpolation of columns (level axis last) with
    extrapolation below the lowest level, in NumPy."""
    logp, out = np.log(p), np.empty(t.shape[:-1] + (targets.size,))
    nlev = p.shape[-1]
    lowest = np.argmax(p, axis=-1)[..., None]
    p_low = np.take_along_axis(p, lowest, -1)[..., 0]
    t_low = np.take_along_axis(t, lowest, -1)[..., 0]
    for k, target in enumerate(targets):
        x = np.log(target)
        upper = np.clip((logp < x).sum(axis=-1, keepdims=True), 1, nlev - 1)
        x0, x1 = np.take_along_axis(logp, upper - 1, -1), np.take_along_axis(logp, upper, -1)
        d0, d1 = np.take_along_axis(t, upper - 1, -1), np.take_along_axis(t, upper, -1)
        value = ((d1 - d0) * ((x - x0) / (x1 - x0)) + d0)[..., 0]
        value = np.where(x < logp[..., 0], np.nan, value)
        below = target > p_low
        value = np.where(below, t_low, value)
        under = target > ps
        value = np.where(under, _numpy_temp_extrapolate(t_low, target, p_low, ps, phis), value)
        out[..., k] = value
    return out


def _numpy_thickness(p, ps):
    edges = 0.5 * (p[..., 1:] + p[..., :-1])
    top = p.min(axis=-1, keepdims=True)
    full = np.concatenate([top, edges, ps[..., None]], axis=-1)
    return np.diff(full, axis=-1)


def plain_workflow(ds):
    import xarray as xr

    p = (ds.hyam * P0 + ds.hybm * ds.ps).transpose(*ds.ta.dims)
    ta, hus = ds.ta.astype(np.float64), ds.hus.astype(np.float64)
    rh = _numpy_relhum(ta, hus, p).rename("hur")
    td = _numpy_dewtemp(ta, rh).rename("tdew")
    targets = np.array(LEVELS_HPA) * 100.0
    # The level axis in one chunk, as interpolation needs whole columns.
    whole = {"lev": -1}
    ta_plev = xr.apply_ufunc(
        _numpy_to_pressure, ta.chunk(whole), p.chunk(whole), ds.ps, ds.phis,
        kwargs={"targets": targets}, input_core_dims=[["lev"], ["lev"], [], []],
        output_core_dims=[["plev"]], exclude_dims={"lev"}, dask="parallelized",
        output_dtypes=[np.float64], dask_gufunc_kwargs={"output_sizes": {"plev": 4}})
    ta_plev = ta_plev.assign_coords(plev=LEVELS_HPA).transpose("time", "plev", ...)
    dp = xr.apply_ufunc(_numpy_thickness, p.chunk(whole), ds.ps, input_core_dims=[["lev"], []],
                        output_core_dims=[["lev"]], dask="parallelized",
                        output_dtypes=[np.float64]).transpose(*p.dims)
    return {"hur": rh, "tdew": td, "ta_plev": ta_plev.rename("ta_plev"), "dp": dp.rename("dp")}


def metpy_workflow(ds):
    """What MetPy has of the workflow (relative humidity, dew point,
    log-pressure interpolation without extrapolation), eager on the loaded
    arrays as MetPy computes."""
    import xarray as xr
    from metpy.calc import dewpoint_from_relative_humidity, relative_humidity_from_specific_humidity
    from metpy.interpolate import log_interpolate_1d
    from metpy.units import units

    ds = ds.compute()  # a loaded copy; the file's dataset stays lazy
    p = (ds.hyam * P0 + ds.hybm * ds.ps).transpose(*ds.ta.dims).values * units.Pa
    t = ds.ta.values.astype(np.float64) * units.K
    q = ds.hus.values.astype(np.float64) * units("kg/kg")
    rh = relative_humidity_from_specific_humidity(p, t, q)
    td = dewpoint_from_relative_humidity(t, rh)
    ta_plev = log_interpolate_1d(np.array(LEVELS_HPA) * units.hPa, p, t, axis=1)
    dims = ds.ta.dims
    return {"hur": xr.DataArray(rh.to("percent").m, dims=dims),
            "tdew": xr.DataArray(td.to("K").m, dims=dims),
            "ta_plev": xr.DataArray(ta_plev.m, dims=("time", "plev", "lat", "lon"))}


VARIANTS = {"tamrix": tamrix_workflow, "plain": plain_workflow, "metpy": metpy_workflow}


def _peak_rss() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")  # resets VmHWM to the current resident set
        return True
    except OSError:
        return False


def run_variant(name: str, source: str, target: str) -> dict:
    import dask
    import xarray as xr

    ds = xr.open_dataset(source, chunks={})
    # One-time imports are not part of the workflow's time.
    if name == "metpy":
        __import__("metpy.calc")
    if name == "tamrix":
        __import__("tamrix._units", fromlist=["registry"]).registry()
    with dask.config.set(scheduler="threads"):
        # Warm-up on one time step: first-use costs are not the workflow's.
        dask.compute(*VARIANTS[name](ds.isel(time=[0])).values())
        start = time.perf_counter()
        outputs = VARIANTS[name](ds)
        dask.compute(*outputs.values())
        compute_seconds = time.perf_counter() - start
        del outputs
        reset = _reset_peak()
        before = _peak_rss()
        start = time.perf_counter()
        outputs = VARIANTS[name](ds)
        xr.Dataset(outputs).to_netcdf(target)
        seconds = time.perf_counter() - start
    chunk = max((o.data.chunksize for o in outputs.values() if o.chunks), default=None)
    return {"seconds": seconds, "compute_seconds": compute_seconds,
            "peak_growth": _peak_rss() - before if reset else None,
            "chunk_bytes": int(np.prod(chunk)) * 8 if chunk else None}


def compare(a_path: str, b_path: str, names) -> dict:
    import xarray as xr

    with xr.open_dataset(a_path) as a, xr.open_dataset(b_path) as b:
        out = {}
        for name in names:
            x, y = a[name].values, b[name].values
            both = np.isfinite(x) & np.isfinite(y)
            out[name] = float(np.max(np.abs(x[both] - y[both]) / np.abs(y[both])))
        return out


def figure(source: str, path: str) -> None:
    """A map of temperature at 1000 hPa (extrapolated below the ground) and
    one column's profile, from the tamrix run on the synthetic file."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import xarray as xr

    import tamrix

    ds = xr.open_dataset(source, chunks={}).isel(time=0)
    levels = xr.DataArray([1000.0, 925.0, 850.0, 700.0, 500.0, 250.0], dims="plev",
                          attrs={"units": "hPa"})
    t_plev = tamrix.hybrid_to_pressure(ds.ta, ds.ps, ds.hyam, ds.hybm, levels, P0,
                                       extrapolate=True, phi_sfc=ds.phis).compute()
    p = tamrix.pressure_at_hybrid_levels(ds.hyam, ds.hybm, ds.ps, P0).compute()
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4), width_ratios=(1.6, 1))
    t_plev.sel(plev=1000.0).plot(ax=left, x="lon", cmap="RdYlBu_r",
                                 cbar_kwargs={"label": "K"})
    left.contour(ds.lon, ds.lat, ds.ps, levels=[100000.0], colors="k", linewidths=0.6)
    left.set_title("temperature at 1000 hPa (inside the black contour: below ground, "
                   "extrapolated)", fontsize=9)
    j, i = np.unravel_index(int(np.argmin(ds.ps.values)), ds.ps.shape)
    column = {"lat": j, "lon": i}
    right.plot(ds.ta.isel(column), p.isel(column) / 100.0, "o-", ms=3, label="model levels")
    right.plot(t_plev.isel(column), levels, "s--", label="tamrix.hybrid_to_pressure")
    right.axhline(float(ds.ps.isel(column)) / 100.0, color="k", lw=0.6, label="surface")
    right.invert_yaxis()
    right.set(xlabel="K", ylabel="hPa", title="the column with the lowest surface pressure")
    right.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--times", type=int, default=SHAPE[0])
    parser.add_argument("--skip-metpy", action="store_true")
    parser.add_argument("--figure", metavar="PNG", help="also draw a map and a profile to PNG")
    parser.add_argument("--variant", help=argparse.SUPPRESS)
    parser.add_argument("paths", nargs="*", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.variant:
        print(json.dumps(run_variant(args.variant, *args.paths)))
        return
    variants = ["tamrix", "plain"]
    if not args.skip_metpy:
        try:
            __import__("metpy")
            variants.append("metpy")
        except ImportError:
            print("(MetPy is not installed: its row is left out)")
    with tempfile.TemporaryDirectory() as directory:
        source = os.path.join(directory, "model.nc")
        write_dataset(source, args.times)
        if args.figure:
            figure(source, args.figure)
        size = os.path.getsize(source) / 2**20
        print(f"input: (time, lev, lat, lon) = {(args.times,) + SHAPE[1:]}, float32 ta and hus "
              f"one level per chunk, {size:.0f} MiB; {len(os.sched_getaffinity(0))} CPUs, "
              f"threaded dask scheduler\n")
        results = {}
        for name in variants:
            target = os.path.join(directory, f"{name}.nc")
            run = subprocess.run([sys.executable, __file__, "--variant", name, source, target],
                                 capture_output=True, text=True)
            if run.returncode != 0:
                sys.exit(f"variant {name} failed:\n{run.stderr}")
            results[name] = json.loads(run.stdout.strip().splitlines()[-1])
        base = results["tamrix"]
        print("| variant | what | compute (s) | vs tamrix | netCDF to netCDF (s) | vs tamrix "
              "| peak memory growth (MiB) | vs tamrix |")
        print("|---|---|---:|---:|---:|---:|---:|---:|")
        what = {"tamrix": "whole workflow", "plain": "whole workflow",
                "metpy": "rh, dew point, interpolation (no extrapolation, no thickness)"}
        for name, result in results.items():
            growth = result["peak_growth"]
            shown = "n/a" if growth is None else f"{growth / 2**20:.0f}"
            ratio = "n/a" if growth is None or not base["peak_growth"] else \
                f"{growth / base['peak_growth']:.1f}x"
            print(f"| {name} | {what[name]} | {result['compute_seconds']:.2f} | "
                  f"{result['compute_seconds'] / base['compute_seconds']:.1f}x | "
                  f"{result['seconds']:.2f} | {result['seconds'] / base['seconds']:.1f}x | "
                  f"{shown} | {ratio} |")
        threads = len(os.sched_getaffinity(0))
        if base["peak_growth"] and base["chunk_bytes"]:
            budget = base["chunk_bytes"] * threads
            print(f"\ntamrix peak growth / (one output chunk x {threads} threads in flight) = "
                  f"{base['peak_growth'] / budget:.2f} (one output chunk: "
                  f"{base['chunk_bytes'] / 2**20:.1f} MiB)")
        differences = compare(os.path.join(directory, "tamrix.nc"),
                              os.path.join(directory, "plain.nc"), ["ta_plev", "dp"])
        print("max relative difference, tamrix vs plain: " + ", ".join(
            f"{k} {v:.1e}" for k, v in differences.items())
              + " (relative humidity and dew point use other formulas in the plain version)")


if __name__ == "__main__":
    main()
