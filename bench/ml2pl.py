"""Model levels to pressure levels on files: `tamrix hybrid-to-pressure`
against `cdo ml2pl`, and the package call in memory against plain NumPy.

    python bench/ml2pl.py [--repeat 5] [--dir /tmp/ml2pl] [--small]

Builds CF files of its own (float32 ta, hus, zg with formula_terms and
interface bounds; uncompressed and zlib 1):

- CMIP-like: 12 x 32 x 180 x 360 (time, lev, lat, lon)
- ERA5-like: 2 x 137 x 361 x 720

and runs, interleaved, `tamrix hybrid-to-pressure --method linear` and
`cdo -P 2 ml2pl` (Debian's cdo; skipped with a message when it is not
installed; nothing is installed) to the same 8 pressure levels, each in its
own process, with the inputs in the page cache. Prints the median wall time
and peak memory (maximum resident set size of the process) of each and their
ratios, and the largest difference between the two results where both
interpolate. Then, in memory: `tamrix.hybrid_to_pressure`
on NumPy arrays against a plain vectorised NumPy ln-p formulation, and against
reading the input once and writing the output once, on the arrays of each
uncompressed file.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

import numpy as np

LEVELS_HPA = [1000, 925, 850, 700, 500, 250, 100, 50]
SHAPES = {"cmip": (12, 32, 180, 360), "era5": (2, 137, 361, 720)}
SMALL = {"cmip": (3, 32, 18, 36), "era5": (2, 137, 19, 36)}
VARIABLES = ("ta", "hus", "zg")


def coefficients(nlev: int) -> tuple[np.ndarray, np.ndarray]:
    """Interface a (with p0 = 1e5 Pa) and b, top first: pure pressure levels
    aloft, terrain following below."""
    s = np.linspace(0.0, 1.0, nlev + 1) ** 1.6
    b = np.where(s > 0.2, ((s - 0.2) / 0.8).clip(0.0) ** 1.5, 0.0)
    a = s - b
    a[0] = 0.0005 if nlev < 100 else 0.0  # CMIP models have a top above 0 Pa
    return a, b


def make_file(path: str, shape: tuple[int, ...], zlib: bool) -> None:
    import netCDF4

    ntime, nlev, nlat, nlon = shape
    ai, bi = coefficients(nlev)
    a, b = 0.5 * (ai[1:] + ai[:-1]), 0.5 * (bi[1:] + bi[:-1])
    rng = np.random.default_rng(0)
    lat = np.linspace(-90, 90, nlat)
    lon = np.linspace(0, 360, nlon, endpoint=False)
    options = {"zlib": True, "complevel": 1, "shuffle": True,
               "chunksizes": (1, 1, nlat, nlon)} if zlib else {}
    with netCDF4.Dataset(path, "w", format="NETCDF4_CLASSIC") as ds:
        ds.Conventions = "CF-1.7"
        for name, size in (("time", None), ("lev", nlev), ("lat", nlat), ("lon", nlon),
                           ("bnds", 2)):
            ds.createDimension(name, size)
        v = ds.createVariable("time", "f8", ("time",))
        v.setncatts({"units": "hours since 2000-01-01", "calendar": "standard",
                     "standard_name": "time", "axis": "T"})
        v[:] = np.arange(ntime) * 6.0
        v = ds.createVariable("lat", "f8", ("lat",))
        v.setncatts({"units": "degrees_north", "standard_name": "latitude", "axis": "Y"})
        v[:] = lat
        v = ds.createVariable("lon", "f8", ("lon",))
        v.setncatts({"units": "degrees_east", "standard_name": "longitude", "axis": "X"})
        v[:] = lon
        v = ds.createVariable("lev", "f8", ("lev",))
        v.setncatts({"standard_name": "atmosphere_hybrid_sigma_pressure_coordinate",
                     "long_name": "hybrid sigma pressure coordinate", "positive": "down",
                     "axis": "Z", "units": "1", "bounds": "lev_bnds",
                     "formula_terms": "ap: ap b: b ps: ps"})
        v[:] = a + b
        v = ds.createVariable("lev_bnds", "f8", ("lev", "bnds"))
        v.formula_terms = "ap: ap_bnds b: b_bnds ps: ps"
        v[:] = np.stack([ai[:-1] + bi[:-1], ai[1:] + bi[1:]], axis=1)
        for name, values, units in (("ap", a * 1e5, "Pa"), ("b", b, "1")):
            v = ds.createVariable(name, "f8", ("lev",))
            v.units = units
            v[:] = values
        for name, values, units in (("ap_bnds", ai * 1e5, "Pa"), ("b_bnds", bi, "1")):
            v = ds.createVariable(name, "f8", ("lev", "bnds"))
            v.units = units
            v[:] = np.stack([values[:-1], values[1:]], axis=1)
        relief = (np.sin(np.radians(lat))[:, None] ** 2 * np.cos(np.radians(3 * lon))[None]).clip(0)
        ps = ds.createVariable("ps", "f4", ("time", "lat", "lon"), **(
            {**options, "chunksizes": (1, nlat, nlon)} if zlib else {}))
        ps.setncatts({"standard_name": "surface_air_pressure", "units": "Pa"})
        orog = ds.createVariable("orog", "f4", ("lat", "lon"))
        orog.setncatts({"standard_name": "surface_altitude", "units": "m"})
        orog[:] = 4000.0 * relief
        fields = {name: ds.createVariable(name, "f4", ("time", "lev", "lat", "lon"),
                                          fill_value=np.float32(1e20), **options)
                  for name in VARIABLES}
        for name, (standard_name, units) in {"ta": ("air_temperature", "K"),
                                             "hus": ("specific_humidity", "1"),
                                             "zg": ("geopotential_height", "m")}.items():
            fields[name].setncatts({"standard_name": standard_name, "units": units})
        for t in range(ntime):
            surface = (101300.0 * np.exp(-4000.0 * relief / 8000.0)
                       + rng.normal(0, 300, (nlat, nlon))).astype(np.float32)
            ps[t] = surface
            for k in range(nlev):
                p = (a[k] * 1e5 + b[k] * surface.astype(np.float64))
                fields["ta"][t, k] = (200.0 + 90.0 * (p / 1e5) ** 0.6 + 3.0 * np.cos(
                    np.radians(lat))[:, None]).astype(np.float32)
                fields["hus"][t, k] = (0.015 * (p / 1e5) ** 3).astype(np.float32)
                fields["zg"][t, k] = (7000.0 * np.log(101300.0 / np.maximum(p, 1.0))
                                      ).astype(np.float32)


def run(command: list[str]) -> tuple[float, float]:
    """Wall time (s) and peak resident memory (MiB) of one process."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed: {process.stderr.read().decode()}")
    return wall, usage.ru_maxrss / 1024.0


def largest_difference(ours: str, theirs: str) -> str:
    """The largest difference of ta and of hus, in float32 ulps of CDO's value."""
    import netCDF4

    found = []
    with netCDF4.Dataset(ours) as a, netCDF4.Dataset(theirs) as b:
        # CDO derives zg from ta, hus and the surface height instead of
        # interpolating it: compared are the variables both interpolate.
        for name in ("ta", "hus"):
            worst = 0.0
            for t in range(len(a.dimensions["time"])):
                x = np.ma.filled(a[name][t].astype(np.float64), np.nan)
                y = np.ma.filled(b[name][t].astype(np.float64), np.nan)
                both = np.isfinite(x) & np.isfinite(y)
                if both.any():
                    # In units of the float32 spacing of the values compared.
                    ulp = np.spacing(np.abs(y[both]).astype(np.float32)).astype(np.float64)
                    worst = max(worst, float(np.max(np.abs(x[both] - y[both]) / ulp)))
            found.append(f"{name} {worst:g}")
    return ", ".join(found)


def files(directory: str, small: bool) -> list[tuple[str, str]]:
    made = []
    for kind, shape in (SMALL if small else SHAPES).items():
        for zlib in (False, True):
            path = os.path.join(directory, f"{kind}{'_zlib1' if zlib else ''}.nc")
            if not os.path.exists(path):
                print(f"making {path} {shape}", file=sys.stderr)
                make_file(path, shape, zlib)
            made.append((f"{kind}{', zlib 1' if zlib else ''}", path))
    return made


def bench_files(directory: str, repeat: int, small: bool) -> None:
    cdo = shutil.which("cdo")
    levels_pa = [str(int(v * 100)) for v in LEVELS_HPA]
    tamrix = [sys.executable, "-m", "tamrix", "hybrid-to-pressure"]
    print(f"{'file':<16} {'tamrix s':>9} {'cdo s':>7} {'wall ratio':>10} {'tamrix MiB':>10} "
          f"{'cdo MiB':>8} {'mem ratio':>9}  max diff (float32 ulps)")
    for label, path in files(directory, small):
        out_t = os.path.join(directory, "out_tamrix.nc")
        out_c = os.path.join(directory, "out_cdo.nc")
        zlib = ["--zlib", "1"] if "zlib" in label else []
        ours = [*tamrix, path, out_t, "--var", *VARIABLES, "--levels", *levels_pa, "--units",
                "Pa", "--method", "linear", "--quiet", *zlib]
        theirs = [cdo, "-s", "-P", "2", *(["-z", "zip_1"] if zlib else []),
                  f"ml2pl,{','.join(levels_pa)}", path, out_c] if cdo else None
        with open(path, "rb") as warm:  # into the page cache
            while warm.read(1 << 24):
                pass
        times: dict[str, list[tuple[float, float]]] = {"tamrix": [], "cdo": []}
        for _ in range(repeat):
            times["tamrix"].append(run(ours))
            if theirs:
                times["cdo"].append(run(theirs))
        t_wall = statistics.median(w for w, _ in times["tamrix"])
        t_mem = statistics.median(m for _, m in times["tamrix"])
        if not theirs:
            print(f"{label:<16} {t_wall:9.2f}   (cdo is not installed: no comparison)")
            continue
        c_wall = statistics.median(w for w, _ in times["cdo"])
        c_mem = statistics.median(m for _, m in times["cdo"])
        diff = largest_difference(out_t, out_c)
        print(f"{label:<16} {t_wall:9.2f} {c_wall:7.2f} {t_wall / c_wall:9.2f}x {t_mem:10.0f} "
              f"{c_mem:8.0f} {t_mem / c_mem:8.2f}x  {diff}")


def numpy_lnp(data: np.ndarray, ps: np.ndarray, a: np.ndarray, b: np.ndarray,
              targets: np.ndarray) -> np.ndarray:
    """Plain vectorised NumPy: interpolation in ln p along axis 1."""
    p = a[None, :, None, None] * 1e5 + b[None, :, None, None] * ps[:, None]
    x = np.log(p)
    out = np.empty((data.shape[0], targets.size) + data.shape[2:])
    for j, g in enumerate(np.log(targets)):
        upper = np.clip((x < g).sum(axis=1), 1, x.shape[1] - 1)[:, None]
        x0 = np.take_along_axis(x, upper - 1, 1)[:, 0]
        x1 = np.take_along_axis(x, upper, 1)[:, 0]
        d0 = np.take_along_axis(data, upper - 1, 1)[:, 0]
        d1 = np.take_along_axis(data, upper, 1)[:, 0]
        t = (g - x0) / (x1 - x0)
        out[:, j] = np.where((t >= 0) & (t <= 1), d0 + (d1 - d0) * t, np.nan)
    return out


def bench_memory(directory: str, repeat: int, small: bool) -> None:
    """In memory, on the float32 arrays of each uncompressed file: the package
    call against plain NumPy, and against reading the input once (ta, ps and
    the coefficients, without mask decoding) and writing the result once."""
    import netCDF4

    import tamrix

    targets = np.array(LEVELS_HPA, dtype=np.float64) * 100.0
    for kind in (SMALL if small else SHAPES):
        path = os.path.join(directory, f"{kind}.nc")

        def read() -> tuple[np.ndarray, ...]:
            with netCDF4.Dataset(path) as ds:
                ds.set_auto_mask(False)
                return ds["ta"][:], ds["ps"][:], ds["ap"][:] / 1e5, ds["b"][:]

        def write(values: np.ndarray) -> None:
            with netCDF4.Dataset(os.path.join(directory, "out_memory.nc"), "w") as ds:
                for i, n in enumerate(values.shape):
                    ds.createDimension(f"d{i}", n)
                ds.createVariable("ta", values.dtype, tuple(f"d{i}" for i in range(values.ndim))
                                  )[:] = values

        data, ps, a, b = read()
        result = tamrix.hybrid_to_pressure(data, ps, a, b, targets, axis=1)
        assert result.dtype == data.dtype == np.float32
        timings: dict[str, list[float]] = {"tamrix": [], "numpy": [], "io": []}
        for _ in range(repeat):
            start = time.perf_counter()
            tamrix.hybrid_to_pressure(data, ps, a, b, targets, axis=1)
            timings["tamrix"].append(time.perf_counter() - start)
            start = time.perf_counter()
            numpy_lnp(data, ps, a, b, targets)
            timings["numpy"].append(time.perf_counter() - start)
            start = time.perf_counter()
            read()
            write(result)
            timings["io"].append(time.perf_counter() - start)
        median = {k: statistics.median(v) for k, v in timings.items()}
        print(f"in memory, {kind}-like float32 ta ({'x'.join(map(str, data.shape))}): tamrix "
              f"{median['tamrix']:.3f} s, NumPy ln p {median['numpy']:.3f} s "
              f"({median['numpy'] / median['tamrix']:.1f}x tamrix's time), read once + write "
              f"once {median['io']:.3f} s (tamrix = {median['tamrix'] / median['io']:.2f}x that)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--dir", default="/tmp/tamrix-ml2pl")
    parser.add_argument("--small", action="store_true", help="tiny files (a smoke test)")
    parser.add_argument("--files-only", action="store_true", help="only make the files")
    parser.add_argument("--memory-only", action="store_true", help="only the in-memory part")
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    if args.files_only:
        files(args.dir, args.small)
        return
    print(f"{time.strftime('%Y-%m-%d')}, {os.cpu_count()} CPUs, load "
          f"{os.getloadavg()[0]:.1f}; median of {args.repeat} interleaved runs")
    if not args.memory_only:
        bench_files(args.dir, args.repeat, args.small)
    else:
        files(args.dir, args.small)
    bench_memory(args.dir, args.repeat, args.small)


if __name__ == "__main__":
    main()
