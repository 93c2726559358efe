"""tamrix on xarray DataArrays (NumPy- and dask-backed): labels kept, units
set and checked, values identical to the NumPy path."""

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import tamrix  # noqa: E402
from bitwise import assert_same_bits  # noqa: E402
from package_cases import CASE_IDS, CASES, call  # noqa: E402

DIMS = ("time", "lat", "lon")
COORDS = {"time": [0, 6], "lat": [10.0, 20.0, 30.0], "lon": [0.0, 90.0, 180.0, 270.0]}


def labelled(values, **attrs):
    return xr.DataArray(values, dims=DIMS, coords=COORDS, attrs=attrs)


@pytest.mark.parametrize("case", CASES, ids=CASE_IDS)
def test_dataarrays_keep_labels_and_values(case):
    arrays = case.sample(np.random.default_rng(11), (2, 3, 4))
    # The last argument varies along latitude only: broadcast by name.
    inputs = [labelled(a) for a in arrays[:-1]]
    last = xr.DataArray(arrays[-1][0, :, 0], dims=("lat",), coords={"lat": COORDS["lat"]})
    inputs.append(last if len(arrays) > 1 else labelled(arrays[-1]))
    result = call(case, *inputs)
    assert result.dims == DIMS
    for name, values in COORDS.items():
        assert result[name].values.tolist() == values
    assert result.name == case.function.__name__
    assert "units" in result.attrs
    expected = call(case, *arrays[:-1], arrays[-1][:1, :, :1] if len(arrays) > 1 else arrays[-1])
    assert_same_bits(result.values.ravel(), expected.ravel())


@pytest.mark.parametrize("case", CASES, ids=CASE_IDS)
def test_dask_backed_dataarrays_stay_lazy(case):
    pytest.importorskip("dask.array")
    arrays = case.sample(np.random.default_rng(12), (2, 3, 4))
    inputs = [labelled(a).chunk({"lat": 2, "time": 1}) for a in arrays]
    inputs[-1] = inputs[-1].chunk({"lon": 3})  # chunks that differ between arguments
    result = call(case, *inputs)
    assert result.chunks is not None
    assert_same_bits(result.values.ravel(), call(case, *arrays).ravel())


def test_scalars_mix_with_dataarrays():
    t = labelled(np.full((2, 3, 4), 290.0), units="K")
    result = tamrix.relhum(t, 0.008, np.float32(90000.0))
    assert result.dims == DIMS and result.attrs["units"] == "%"
    assert_same_bits(result.values.ravel(), tamrix.relhum(t.values, 0.008, 90000.0).ravel())


def test_unlabelled_arrays_do_not_mix_with_dataarrays():
    with pytest.raises(TypeError, match="wrap it in a DataArray"):
        tamrix.relhum(labelled(np.full((2, 3, 4), 290.0)), np.full((2, 3, 4), 0.01), 1e5)


# Units of the right dimension are converted (tests/test_package_units.py);
# these cannot be.
@pytest.mark.parametrize("function, args, bad, units", [
    (tamrix.relhum, (290.0, 0.01, 1e5), 0, "Pa"),
    (tamrix.relhum, (290.0, 0.01, 1e5), 1, "g/m3"),
    (tamrix.relhum, (290.0, 0.01, 1e5), 2, "K"),
    (tamrix.relhum_ice, (250.0, 0.001, 1e5), 2, "m"),
    (tamrix.dewtemp, (290.0, 50.0), 0, "hPa"),
    (tamrix.dewtemp, (290.0, 50.0), 1, "K"),
    (tamrix.heat_index, (90.0, 50.0), 0, "Pa"),
    (tamrix.saturation_vapor_pressure, (68.0,), 0, "kg"),
    (tamrix.psychrometric_constant, (100.0,), 0, "K"),
    (tamrix.max_daylight, (172.0, 45.0), 1, "m"),
    (tamrix.arc_lon_wgs84, (1.0, 45.0), 0, "kelvins"),
    (tamrix.relhum, (290.0, 0.01, 1e5), 0, "not a unit"),
    (tamrix.temp_extrapolate, (280.0, 1e5, 9.5e4, 9.8e4, 4900.0), 4, "m"),
    (tamrix.temp_extrapolate, (280.0, 1e3, 9.5e4, 9.8e4, 4900.0), 1, "hPa"),
])
def test_a_wrong_unit_is_a_value_error(function, args, bad, units):
    inputs = [labelled(np.full((2, 3, 4), v)) for v in args]
    other = 3 - bad if len(args) > 3 and bad in (1, 2, 3) else None
    if other is not None:
        inputs[other].attrs["units"] = "Pa"  # a pressure to disagree with
    inputs[bad].attrs["units"] = units
    with pytest.raises(ValueError, match=f"has units '{units}'"):
        function(*inputs)


@pytest.mark.parametrize("function, args, units", [
    (tamrix.relhum, (290.0, 0.01, 1e5), ("kelvin", "kg kg-1", "Pa")),
    (tamrix.dewtemp, (290.0, 50.0), ("degrees_K", "%")),
    (tamrix.heat_index, (90.0, 50.0), ("degF", "percent")),
    (tamrix.max_daylight, (172.0, 45.0), ("", "degrees_north")),
    (tamrix.temp_extrapolate, (280.0, 1e3, 9.5e2, 9.8e2, 4900.0),
     ("K", "hPa", "mbar", "hPa", "m2 s-2")),
])
def test_correct_units_are_accepted(function, args, units):
    inputs = [labelled(np.full((2, 3, 4), v), units=u) for v, u in zip(args, units)]
    assert_same_bits(function(*inputs).values.ravel(), function(*[
        np.full((2, 3, 4), v) for v in args]).ravel())


def model_fields(rng, chunks=None):
    shape = (2, 5, 3, 4)
    levels = np.linspace(1000.0, 200.0, 5)
    pressure = levels[None, :, None, None] * rng.uniform(0.97, 1.03, shape)
    dims = ("time", "lev", "lat", "lon")
    coords = {"lev": np.arange(5), "lat": COORDS["lat"], "time": COORDS["time"]}
    p = xr.DataArray(pressure, dims=dims, coords=coords, attrs={"units": "hPa"})
    t = xr.DataArray(rng.uniform(200.0, 300.0, shape), dims=dims, coords=coords, name="ta",
                     attrs={"units": "K", "long_name": "air temperature"})
    if chunks:
        pytest.importorskip("dask.array")
        p, t = p.chunk(chunks), t.chunk(chunks)
    return t, p


@pytest.mark.parametrize("chunks", [None, {"lev": 2, "time": 1}])
def test_interp_to_levels_on_dataarrays(chunks):
    t, p = model_fields(np.random.default_rng(5), chunks)
    targets = xr.DataArray([900.0, 700.0, 500.0], dims="plev", attrs={"units": "hPa"})
    result = tamrix.interp_to_levels(t, p, targets, dim="lev")
    assert result.dims == ("time", "plev", "lat", "lon")
    assert result.name == "ta" and result.attrs == t.attrs
    assert result["plev"].values.tolist() == [900.0, 700.0, 500.0]
    assert result["plev"].attrs["units"] == "hPa"
    assert result["lat"].values.tolist() == COORDS["lat"] and "lev" not in result.coords
    expected = tamrix.interp_to_levels(t.values, p.values, [900.0, 700.0, 500.0], axis=1)
    assert_same_bits(result.values.ravel(), expected.ravel())
    same_dim = tamrix.interp_to_levels(t, p, [900.0, 700.0, 500.0], dim="lev")
    assert same_dim.dims == t.dims and same_dim["lev"].attrs["units"] == "hPa"


def test_interp_to_levels_refuses_targets_in_another_unit():
    t, p = model_fields(np.random.default_rng(5))
    targets = xr.DataArray([90000.0, 50000.0], dims="plev", attrs={"units": "Pa"})
    with pytest.raises(ValueError, match="same unit"):
        tamrix.interp_to_levels(t, p, targets, dim="lev")
    with pytest.raises(TypeError, match="dim="):
        tamrix.interp_to_levels(t, p, [500.0])


@pytest.mark.parametrize("chunks", [None, {"lev": 2, "lat": 2}])
def test_delta_pressure_on_dataarrays(chunks):
    _, p = model_fields(np.random.default_rng(6), chunks)
    ps = xr.DataArray(np.full((2, 3, 4), 1010.0), dims=DIMS, attrs={"units": "hPa"})
    result = tamrix.delta_pressure(p, ps, dim="lev")
    assert result.dims == p.dims and result.attrs["units"] == "hPa"
    assert_same_bits(result.values.ravel(),
                     tamrix.delta_pressure(p.values, ps.values, axis=1).ravel())
    shared = tamrix.delta_pressure([200.0, 500.0, 850.0], ps, dim="plev")
    assert shared.dims == ("time", "plev", "lat", "lon")  # levels go after time
    with pytest.raises(ValueError, match="same unit"):
        tamrix.delta_pressure(p, ps.assign_attrs(units="Pa"), dim="lev")


def test_pressure_at_hybrid_levels_on_dataarrays():
    hya = xr.DataArray([0.02, 0.01, 0.0], dims="lev", coords={"lev": [1, 2, 3]})
    psfc = labelled(np.random.default_rng(1).uniform(9e4, 1.03e5, (2, 3, 4)), units="Pa")
    result = tamrix.pressure_at_hybrid_levels(hya, [0.0, 0.5, 1.0], psfc, 1e5)
    assert result.dims == ("time", "lev", "lat", "lon") and result.attrs["units"] == "Pa"
    assert result["lev"].values.tolist() == [1, 2, 3]
    assert_same_bits(result.transpose("lev", ...).values.ravel(), tamrix.pressure_at_hybrid_levels(
        hya.values, [0.0, 0.5, 1.0], psfc.values, 1e5).ravel())
