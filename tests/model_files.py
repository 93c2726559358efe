"""Small model-level files in the conventions the command line reads, made
with netCDF4 directly: CF a/b/p0 and ap/b formula_terms, CAM, ECHAM/CDO
and ERA5 (lnsp). Every convention describes the same pressures, so one
expected result serves all of them."""

from __future__ import annotations

import numpy as np

NLEV, NTIME, NLAT, NLON = 6, 3, 4, 5
# Top first; a (dimensionless, with p0 = 1e5 Pa) and b.
A = np.array([0.05, 0.08, 0.07, 0.04, 0.01, 0.0])
B = np.array([0.0, 0.1, 0.35, 0.65, 0.88, 0.985])
P0 = 100000.0


def fields(seed: int = 1) -> dict[str, np.ndarray]:
    """ps (Pa), level pressures, ta (K), zg (m), hus and phis of the test
    files, float64."""
    rng = np.random.default_rng(seed)
    # Whole hPa, so that files storing ps in hPa hold exactly the same values.
    ps = np.round(rng.uniform(700.0, 1030.0, (NTIME, NLAT, NLON))) * 100.0
    p = B[None, :, None, None] * ps[:, None] + (A * P0)[None, :, None, None]
    ta = 190.0 + 0.001 * p + rng.uniform(-0.5, 0.5, p.shape)
    hus = 0.012 * (p / 1e5) ** 3
    # Surface heights up to ~2500 m where ps is low, in float32 as stored.
    phis = (9.80616 * 8000.0 * (1.0 - ps[0] / 103000.0)).astype(np.float32).astype(np.float64)
    # Heights roughly hydrostatic above the surface, as a model's would be.
    zg = phis / 9.80616 + 287.04 / 9.80616 * ta * np.log(ps[:, None] / p)
    return {"ps": ps, "p": p, "ta": ta, "zg": zg, "hus": hus, "phis": phis}


def write(path, convention: str = "cf", dtype: str = "f4", seed: int = 1,
          level_order: str = "top", data_model: str = "NETCDF4_CLASSIC") -> dict[str, np.ndarray]:
    """A file of `convention`: "cf" (a/b/p0/ps), "cf-ap" (ap/b/ps, ps in
    hPa), "cam" (hyam/hybm/P0/PS, no formula_terms), "echam" (hyam in Pa,
    aps), "era5" (hyam in Pa, lnsp on a size-1 level), "cf-hpa" (p0 of 1000
    "hPa", ps in hPa). Returns the fields it holds."""
    import netCDF4

    f = fields(seed)
    order = slice(None) if level_order == "top" else slice(None, None, -1)
    a, b = A[order], B[order]
    data = {k: f[k][:, order].astype(dtype).astype(np.float64) for k in ("ta", "zg", "hus")}
    with netCDF4.Dataset(path, "w", format=data_model) as ds:
        ds.title = "test"
        ds.history = "made by the tests"
        ds.createDimension("time", None)
        ds.createDimension("lev", NLEV)
        ds.createDimension("lat", NLAT)
        ds.createDimension("lon", NLON)
        ds.createDimension("bnds", 2)
        time = ds.createVariable("time", "f8", ("time",))
        time.setncatts({"units": "days since 2000-01-01", "calendar": "standard",
                        "standard_name": "time", "axis": "T"})
        time[:] = np.arange(NTIME)
        lat = ds.createVariable("lat", "f8", ("lat",))
        lat.setncatts({"units": "degrees_north", "standard_name": "latitude", "axis": "Y",
                       "bounds": "lat_bnds"})
        lat[:] = np.linspace(-45, 45, NLAT)
        lat_bnds = ds.createVariable("lat_bnds", "f8", ("lat", "bnds"))
        lat_bnds[:] = np.stack([lat[:] - 15, lat[:] + 15], axis=1)
        lon = ds.createVariable("lon", "f8", ("lon",))
        lon.setncatts({"units": "degrees_east", "standard_name": "longitude", "axis": "X"})
        lon[:] = np.linspace(0, 288, NLON)
        lev = ds.createVariable("lev", "f8", ("lev",))
        lev[:] = a + b
        ps_name, ps_values, ps_units = "ps", f["ps"], "Pa"
        if convention == "cf":
            lev.setncatts({"standard_name": "atmosphere_hybrid_sigma_pressure_coordinate",
                           "formula_terms": "a: a b: b p0: p0 ps: ps", "positive": "down"})
            _coefficients(ds, {"a": (a, "1"), "b": (b, "1")})
            p0 = ds.createVariable("p0", "f8", ())
            p0.units = "Pa"
            p0[...] = P0
        elif convention == "cf-hpa":
            lev.setncatts({"standard_name": "atmosphere_hybrid_sigma_pressure_coordinate",
                           "formula_terms": "a: a b: b p0: p0 ps: ps"})
            _coefficients(ds, {"a": (a, None), "b": (b, None)})
            p0 = ds.createVariable("p0", "f8", ())
            p0.units = "hPa"
            p0[...] = P0 / 100.0
            ps_values, ps_units = f["ps"] / 100.0, "hPa"
        elif convention == "cf-ap":
            lev.setncatts({"standard_name": "atmosphere_hybrid_sigma_pressure_coordinate",
                           "formula_terms": "ap: ap b: b ps: ps"})
            _coefficients(ds, {"ap": (a * P0, "Pa"), "b": (b, "1")})
            ps_values, ps_units = f["ps"] / 100.0, "hPa"
        elif convention == "cam":
            _coefficients(ds, {"hyam": (a, None), "hybm": (b, None)})
            p0 = ds.createVariable("P0", "f8", ())
            p0.units = "Pa"
            p0[...] = P0
            ps_name = "PS"
        elif convention == "echam":
            _coefficients(ds, {"hyam": (a * P0, None), "hybm": (b, None)})
            ps_name = "aps"
        elif convention == "era5":
            _coefficients(ds, {"hyam": (a * P0, "Pa"), "hybm": (b, "1")})
            ps_name, ps_values, ps_units = "lnsp", np.log(f["ps"]), None
        else:
            raise ValueError(convention)
        ps_dims = ("time", "lat", "lon")
        if convention == "era5":
            ds.createDimension("lev_2", 1)
            ps_dims = ("time", "lev_2", "lat", "lon")
            ps_values = ps_values[:, None]
        ps = ds.createVariable(ps_name, "f8", ps_dims)
        if ps_units:
            ps.units = ps_units
        ps[:] = ps_values
        phis = ds.createVariable("phis", "f4", ("lat", "lon"))
        phis.setncatts({"units": "m2 s-2", "standard_name": "surface_geopotential"})
        phis[:] = f["phis"]
        dims = ("time", "lev", "lat", "lon")
        attrs = {"ta": {"standard_name": "air_temperature", "units": "K"},
                 "zg": {"standard_name": "geopotential_height", "units": "m"},
                 "hus": {"standard_name": "specific_humidity", "units": "1"}}
        for name, values in data.items():
            var = ds.createVariable(name, dtype, dims, fill_value=np.float32(1e20))
            var.setncatts(attrs[name])
            var[:] = values
    f.update(data)
    if convention == "era5":
        f["ps"] = np.exp(np.log(f["ps"]))  # as the reader decodes lnsp
    f["a"], f["b"] = a, b
    return f


def _coefficients(ds, coefficients):
    for name, (values, units) in coefficients.items():
        var = ds.createVariable(name, "f8", ("lev",))
        if units is not None:
            var.units = units
        var[:] = values


def expected(f, name, targets, kind="plain", extrapolate=False, log=True):
    """`name` of the fields `f` of `write` on `targets` (Pa), column by
    column from the documented kernels' formulas: level pressures, C
    library log, interpolate_columns' column procedure and, below the lowest
    model level, the extrapolation formulas."""
    import reference

    data = f[name]
    a, b = f["a"], f["b"]
    out = np.empty((data.shape[0], len(targets)) + data.shape[2:])
    for t, i, j in np.ndindex(data.shape[0], *data.shape[2:]):
        ps = float(f["ps"][t, i, j])
        p = [reference.pressure_at_hybrid_level(float(x), float(y), ps, P0) for x, y in zip(a, b)]
        x = [reference.log(v) for v in p] if log else p
        column = [float(v) for v in data[t, :, i, j]]
        low = int(np.argmax(p))
        for k, target in enumerate(targets):
            goal = reference.log(target) if log else target
            value = reference._interpolate(x, column, goal)
            if extrapolate and target > p[low]:
                phi = float(f["phis"][i, j])
                if kind == "temperature":
                    value = reference.temp_extrapolate(column[low], target, p[low], ps, phi)
                elif kind == "geopotential":
                    t_bot = float(f["ta"][t, low, i, j])
                    value = reference.geo_height_extrapolate(t_bot, target, p[low], ps, phi)
                else:
                    value = column[low]
            out[t, k, i, j] = value
    return out
