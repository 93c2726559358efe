"""Model levels to pressure levels on real-sized layouts: log-pressure
interpolation with honest coordinate labels, bounded dask chunks, and
hybrid_to_pressure."""

import math

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import tamrix  # noqa: E402
from bitwise import assert_same_bits  # noqa: E402
from reference import log_array  # noqa: E402

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


def lowest(field, p):
    k = p.argmax("lev")
    return field.isel(lev=k), p.isel(lev=k)


@pytest.mark.parametrize("variable", ["temperature", "geopotential", "other"])
def test_hybrid_to_pressure_interpolates_and_extrapolates_with_the_kernels(variable):
    ta, p, ps, hyam, hybm = model()
    phis = xr.full_like(ps, 900.0).assign_attrs(units="m2 s-2")
    data = ta if variable != "geopotential" else (ta * 10.0).assign_attrs(units="m")
    # One target above every surface, one between the lowest level and some
    # surfaces, one below every surface.
    targets = np.array([50000.0, float(lowest(ta, p)[1].min()) + 1.0, 105000.0])
    result = tamrix.hybrid_to_pressure(data, ps, hyam, hybm, targets, variable=variable,
                                       extrapolate=True, phi_sfc=phis, t_bot=ta)
    inside = tamrix.interp_to_levels(data, p, targets, dim="lev", method="log")
    assert_same_bits(result.isel(plev=0).values, inside.isel(lev=0).values)
    d_low, p_low = lowest(data, p)
    t_low = lowest(ta, p)[0]
    band = result.isel(plev=1).values
    outside = targets[1] > p_low.values
    assert outside.any() and not outside.all()
    assert_same_bits(band[outside], d_low.values[outside])
    assert_same_bits(band[~outside], inside.isel(lev=1).values[~outside])
    below = {"temperature": tamrix.temp_extrapolate, "geopotential": tamrix.geo_height_extrapolate}
    if variable in below:
        expected = below[variable](t_low.values, targets[2], p_low.values, ps.values, 900.0)
    else:
        expected = d_low.values
    assert_same_bits(result.isel(plev=2).values, expected)
    plain = tamrix.hybrid_to_pressure(data, ps, hyam, hybm, targets, variable=variable)
    assert np.isnan(plain.isel(plev=2).values).all()


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
