"""Model levels to pressure levels on real-sized layouts: log-pressure
interpolation with honest coordinate labels, bounded dask chunks, and
hybrid_to_pressure."""

import math

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import model_files  # noqa: E402
import tamrix  # noqa: E402
from bitwise import assert_same_bits  # noqa: E402
from reference import log_array  # noqa: E402
from remap_composition import compose  # noqa: E402

INVERSE_GRAVITY = 0.10197671667604852  # the kernels' 1/g

DIMS = ("time", "lev", "lat", "lon")


def model(shape=(2, 6, 3, 4), seed=3):
    rng = np.random.default_rng(seed)
    hyam = np.linspace(0.2, 0.0, shape[1])
    hybm = np.linspace(0.0, 0.98, shape[1])
    ps = xr.DataArray(rng.uniform(9.2e4, 1.03e5, shape[:1] + shape[2:]),
                      dims=("time", "lat", "lon"), attrs={"units": "Pa"})
    p = tamrix.pressure_at_hybrid_levels(hyam, hybm, ps, 1e5).transpose(*DIMS)
    ta = (180.0 + 0.001 * p + rng.uniform(-1.0, 1.0, shape)).assign_attrs(
        units="K", standard_name="air_temperature", comment="synthetic")
    return ta.rename("ta"), p, ps, hyam, hybm


def test_log_interpolation_keeps_the_target_coordinate_in_the_callers_unit():
    ta, p, *_ = model()
    result = tamrix.interp_to_levels(ta, p, [85000.0, 50000.0], dim="lev", method="log")
    assert result["lev"].values.tolist() == [85000.0, 50000.0]
    assert result["lev"].attrs["units"] == "Pa"
    # ln p with the C library's bits, as the kernels and the remap engine take it.
    expected = tamrix.interp_to_levels(ta.values, log_array(p.values),
                                       log_array([85000.0, 50000.0]), axis=1)
    assert_same_bits(result.values.ravel(), expected.ravel())
    with pytest.warns(DeprecationWarning, match="log= is deprecated, use method="):
        numpy = tamrix.interp_to_levels(ta.values, p.values, [85000.0, 50000.0], axis=1, log=True)
    assert_same_bits(numpy.ravel(), expected.ravel())


def test_rechunking_the_level_axis_keeps_chunks_near_the_input_chunk_size():
    pytest.importorskip("dask.array")
    ta, p, *_ = model((4, 30, 40, 50))
    # One level per chunk, everything else whole: the common on-disk layout.
    ta, p = (v.chunk({"time": -1, "lev": 1, "lat": -1, "lon": -1}) for v in (ta, p))
    input_chunk = math.prod(ta.data.chunksize) * 8
    result = tamrix.interp_to_levels(ta, p, [85000.0, 50000.0], dim="lev")
    columns_per_chunk = math.prod(result.data.chunksize) // result.sizes["lev"]
    assert columns_per_chunk * 30 * 8 <= input_chunk
    expected = tamrix.interp_to_levels(ta.values, p.values, [85000.0, 50000.0], axis=1)
    assert_same_bits(result.values.ravel(), expected.ravel())


LAYOUTS = [(("time", "lev", "lat", "lon"), (2, 6, 3, 4)), (("lev", "ncol"), (6, 7)),
           (("ncol", "lev"), (5, 6))]


def composed(data, axis, ps, hyam, hybm, targets, dtype, **options):
    """The kernels composed column by column (remap_composition) for data
    whose level axis is `axis`, in the data's layout."""
    shape = data.shape
    outer, inner = math.prod(shape[:axis]), math.prod(shape[axis + 1:])
    surface = {k: None if v is None else np.broadcast_to(v, shape[:axis] + shape[axis + 1:])
               .reshape(outer, inner) for k, v in options.pop("surface").items()}
    (result,) = compose([data.reshape(outer, shape[axis], inner)], [options.pop("kind")],
                        np.broadcast_to(ps, shape[:axis] + shape[axis + 1:]).reshape(outer, inner),
                        hyam, hybm, 1e5, targets, out_dtypes=[dtype], **surface, **options)
    return result.reshape(shape[:axis] + (len(targets),) + shape[axis + 1:])


@pytest.mark.parametrize("dims, shape", LAYOUTS)
@pytest.mark.parametrize("kind", ["numpy", "dask", "dataarray", "dask-backed"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_hybrid_to_pressure_is_the_composition_of_the_kernels(dims, shape, kind, dtype):
    rng = np.random.default_rng(5)
    axis, nlev = dims.index("lev"), shape[dims.index("lev")]
    hyam, hybm = np.linspace(0.2, 0.0, nlev), np.linspace(0.0, 0.98, nlev)
    loop = shape[:axis] + shape[axis + 1:]
    ps = rng.uniform(8.0e4, 1.04e5, loop)
    p_low = hybm[-1] * ps
    # Above the top, on and between levels, between the lowest level and the
    # surface in some columns, below every surface.
    targets = np.array([1.0e4, 2.0e4 + hybm[2] * 9e4, 5.0e4, float(p_low.min()) + 10.0, 1.05e5])
    phis, t_bot = rng.uniform(0.0, 9000.0, loop), rng.uniform(250.0, 300.0, loop)
    data = (200.0 + 0.001 * np.moveaxis(hyam[:, None] * 1e5 + hybm[:, None] * ps.reshape(-1),
                                        0, -1).reshape(loop + (nlev,))
            + rng.uniform(-1.0, 1.0, loop + (nlev,)))
    data = np.ascontiguousarray(np.moveaxis(data, -1, axis), dtype=dtype)
    loop_dims = dims[:axis] + dims[axis + 1:]
    for variable, engine_kind, method in (("temperature", "temperature", "log"),
                                          ("geopotential", "geopotential", "linear"),
                                          ("other", "plain", "log")):
        args = [data, ps, phis, t_bot]
        if kind in ("dataarray", "dask-backed"):
            args = [xr.DataArray(data, dims=dims)] + [xr.DataArray(a, dims=loop_dims)
                                                       for a in args[1:]]
            if kind == "dask-backed":
                pytest.importorskip("dask.array")
                args = [a.chunk(2) for a in args]
        elif kind == "dask":
            da = pytest.importorskip("dask.array")
            args = [da.from_array(a, chunks=2) for a in args]
        result = tamrix.hybrid_to_pressure(
            args[0], args[1], hyam, hybm, targets, method=method, variable=variable,
            extrapolate=True, phi_sfc=args[2], t_bot=args[3],
            **({} if kind in ("dataarray", "dask-backed") else {"axis": axis}))
        assert result.dtype == dtype
        expected = composed(data, axis, ps, hyam, hybm, targets, dtype, kind=engine_kind,
                            log=method == "log", extrapolate=True,
                            surface={"phi_sfc": phis, "t_bot": t_bot})
        assert np.isnan(expected[(slice(None),) * axis + (0,)]).all()
        assert_same_bits(np.asarray(result).ravel(), expected.ravel())


@pytest.mark.parametrize("make", [
    lambda a: a, lambda a: np.asfortranarray(a), lambda a: np.moveaxis(a, 1, 0),
    lambda a: xr.DataArray(a, dims=DIMS).transpose("time", "lat", "lon", "lev").values])
def test_the_engine_sees_the_callers_memory_without_a_copy(make):
    from tamrix import _blocks

    data = make(np.ones((2, 6, 3, 4), dtype=np.float32))
    axis = 1 if data.shape[1] == 6 else (0 if data.shape[0] == 6 else -1)
    last = np.moveaxis(data, axis, -1)
    columns, order = _blocks._columns_in_memory_order(last, last.shape[:-1])
    assert np.shares_memory(columns, data) and columns.dtype == np.float32
    result = tamrix.hybrid_to_pressure(data, 1e5, [0.0] * 6, np.linspace(0.2, 1, 6),
                                       [5e4, 9e4], axis=axis)
    # The result is laid out as the data is.
    assert np.moveaxis(result, axis, -1).transpose(order).flags.c_contiguous


def test_profiles_are_continuous_at_the_lowest_level_and_the_surface():
    f = model_files.fields()
    ps, phis = f["ps"][1], f["phis"]  # a (lat, lon) field of time 1
    p_low = model_files.A[-1] * model_files.P0 + model_files.B[-1] * ps
    # Where the scheme keeps the standard lapse rate (surface below 2000 m and
    # cooler than 290.5 K; elsewhere Trenberth et al. change it on purpose).
    plain = (phis * INVERSE_GRAVITY < 2000.0) & (f["ta"][1][-1] < 289.0)
    assert plain.sum() > 10
    for column in zip(*np.nonzero(plain)):
        targets = [p_low[column] * (1 - 1e-9), p_low[column] * (1 + 1e-9), ps[column]]
        t, z = (tamrix.hybrid_to_pressure(
            f[name][1], ps, model_files.A, model_files.B, targets, axis=0, extrapolate=True,
            variable=variable, phi_sfc=phis, t_bot=f["ta"][1][-1])[(slice(None), *column)]
            for name, variable in (("ta", "temperature"), ("zg", "geopotential")))
        assert abs(t[1] - t[0]) < 0.02 and abs(z[1] - z[0]) < 0.5, (t, z)
        assert z[2] == pytest.approx(phis[column] * INVERSE_GRAVITY, abs=1e-6)  # the surface's


@pytest.mark.parametrize("kind", ["numpy", "dask", "dask-backed"])
def test_hybrid_to_pressure_numpy_and_dask_match_the_dataarray_result(kind):
    pytest.importorskip("pint")  # the target levels are in hPa
    ta, p, ps, hyam, hybm = model()
    phis = xr.full_like(ps, 500.0).assign_attrs(units="m2 s-2")
    levels = xr.DataArray([1000.0, 850.0, 300.0], dims="plev", attrs={"units": "hPa"})
    expected = tamrix.hybrid_to_pressure(ta, ps, hyam, hybm, levels, extrapolate=True,
                                         phi_sfc=phis, method="linear")
    if kind == "dask-backed":
        result = tamrix.hybrid_to_pressure(ta.chunk({"lev": 1, "time": 1}), ps, hyam, hybm, levels,
                                           extrapolate=True, phi_sfc=phis, method="linear")
        assert result.chunks is not None
        assert result.dims == expected.dims
        result = result.values
    else:
        args = [ta.values, ps.values, phis.values]
        if kind == "dask":
            da = pytest.importorskip("dask.array")
            args = [da.from_array(a, chunks=1) for a in args]
        result = tamrix.hybrid_to_pressure(args[0], args[1], hyam, hybm, [1e5, 85000.0, 3e4],
                                           axis=1, extrapolate=True, phi_sfc=args[2],
                                           method="linear")
        assert type(result).__name__ == ("ndarray" if kind == "numpy" else "Array")
    assert_same_bits(np.asarray(result).ravel(), expected.values.ravel())


def test_hybrid_to_pressure_labels_and_attributes():
    pytest.importorskip("pint")  # the target levels are in hPa
    ta, p, ps, hyam, hybm = model()
    levels = xr.DataArray([850.0, 500.0], dims="plev", attrs={"units": "hPa"})
    celsius = (ta - 273.15).assign_attrs(units="degC", standard_name="air_temperature")
    result = tamrix.hybrid_to_pressure(celsius, ps, hyam, hybm, levels, name="ta_plev")
    np.testing.assert_allclose(result.values, tamrix.hybrid_to_pressure(
        ta, ps, hyam, hybm, levels).values, rtol=1e-13)
    assert result.name == "ta_plev" and result.dims == ("time", "plev", "lat", "lon")
    assert result["plev"].values.tolist() == [850.0, 500.0]
    assert result["plev"].attrs["units"] == "hPa"
    assert result["plev"].attrs["standard_name"] == "air_pressure"
    assert result.attrs["units"] == "K" and result.attrs["standard_name"] == "air_temperature"
    assert result.attrs["comment"] == "synthetic"  # the same variable, on other levels
    bare = tamrix.hybrid_to_pressure(ta, ps, hyam, hybm, levels, keep_attrs=False)
    assert "comment" not in bare.attrs and bare.attrs["standard_name"] == "air_temperature"


@pytest.mark.parametrize("kwargs, error, match", [
    ({"dim": "level"}, ValueError, "no dimension 'level'"),
    ({"method": "cubic"}, ValueError, "method"),
    ({"extrapolate": True}, TypeError, "phi_sfc"),
    ({"variable": "humidity"}, ValueError, "variable"),
])
def test_hybrid_to_pressure_errors(kwargs, error, match):
    ta, p, ps, hyam, hybm = model()
    with pytest.raises(error, match=match):
        tamrix.hybrid_to_pressure(ta, ps, hyam, hybm, [85000.0], **kwargs)


@pytest.mark.parametrize("units, variable, expected_units", [
    ("degC", "temperature", "kelvin"), ("km", "geopotential", "meter"),
    ("g/kg", "other", "gram / kilogram")])
def test_hybrid_to_pressure_quantities_carry_the_unit_of_their_values(units, variable,
                                                                      expected_units):
    pint = pytest.importorskip("pint")
    ta, p, ps, hyam, hybm = model()
    values = ta.values  # K, m or g/kg: the unit of the result
    given = {"degC": values - 273.15, "km": values * 1e-3, "g/kg": values}[units]
    result = tamrix.hybrid_to_pressure(pint.UnitRegistry().Quantity(given, units), ps.values,
                                       hyam, hybm, [85000.0, 50000.0], axis=1, variable=variable)
    assert str(result.units) == expected_units
    np.testing.assert_allclose(result.magnitude, tamrix.hybrid_to_pressure(
        values, ps.values, hyam, hybm, [85000.0, 50000.0], axis=1), rtol=1e-12)


@pytest.mark.parametrize("convention, decode_all", [
    ("cf", True), ("cf-ap", True), ("cf", False), ("cf-hpa", False), ("cam", False),
    ("echam", False), ("era5", False)])
def test_hybrid_to_pressure_reads_the_coordinate_of_each_convention(tmp_path, convention,
                                                                   decode_all):
    pytest.importorskip("netCDF4")
    f = model_files.write(tmp_path / "in.nc", convention)
    targets = [100000.0, 85000.0, 50000.0, 3000.0]
    # decode_coords="all" makes CF's formula terms coordinates of the data;
    # else they come from the Dataset.
    with xr.open_dataset(tmp_path / "in.nc", decode_coords="all" if decode_all else True) as ds:
        more = {} if decode_all else {"coordinates": ds}
        results = {name: tamrix.hybrid_to_pressure(ds[name], new_levels=targets, extrapolate=True,
                                                   phi_sfc=ds.phis, t_bot=ds.ta, **more)
                   for name in ("ta", "zg")}
    for name, kind in (("ta", "temperature"), ("zg", "geopotential")):
        assert results[name].dims == ("time", "plev", "lat", "lon")
        expected = model_files.expected(f, name, targets, kind, extrapolate=True)
        assert_same_bits(results[name].values.ravel(), expected.astype(np.float32).ravel())


@pytest.mark.parametrize("call, error, match", [
    (lambda ds: tamrix.hybrid_to_pressure(ds.ta, new_levels=[5e4], coordinates=ds.drop_vars("ps")),
     ValueError, "no variable 'ps' for the surface pressure"),
    (lambda ds: tamrix.hybrid_to_pressure(ds.ta, new_levels=[5e4]),
     ValueError, "no variable 'a' for the A coefficients.*pass the Dataset as coordinates="),
    (lambda ds: tamrix.hybrid_to_pressure(ds.ta.rename(lev="z").drop_vars("z"), new_levels=[5e4],
                                          coordinates=ds.drop_vars(["a", "b"])),
     ValueError, "no hybrid level dimension among"),
    (lambda ds: tamrix.hybrid_to_pressure(ds.ta, ds.ps, ds.a, new_levels=[5e4]),
     TypeError, "give ps, hyam, hybm"),
    (lambda ds: tamrix.hybrid_to_pressure(ds.ta.values, new_levels=[5e4], coordinates=ds),
     TypeError, "a DataArray whose coordinates"),
    (lambda ds: tamrix.hybrid_to_pressure(ds.ta, hyam=ds.a, hybm=ds.b, new_levels=[5e4]),
     TypeError, "missing required argument 'ps'"),
    (lambda ds: tamrix.hybrid_to_pressure(ds.ta, coordinates=ds),
     TypeError, "missing required argument 'new_levels'"),
])
def test_a_coordinate_that_cannot_be_read_is_named(tmp_path, call, error, match):
    pytest.importorskip("netCDF4")
    model_files.write(tmp_path / "in.nc", "cf")
    with xr.open_dataset(tmp_path / "in.nc") as ds:
        with pytest.raises(error, match=match):
            call(ds)
