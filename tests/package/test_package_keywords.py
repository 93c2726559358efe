"""One keyword set with one meaning on every function, old names with a
warning, and the metadata policy: coordinates keep their attributes, float32
stays float32, the level dimension is found and placed alike everywhere."""

import inspect

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import tamrix  # noqa: E402
from bitwise import assert_same_bits  # noqa: E402
from tamrix._generic import DESCRIPTIONS  # noqa: E402

HYA, HYB = np.array([0.2, 0.1, 0.02, 0.0]), np.array([0.0, 0.3, 0.7, 0.98])


@pytest.mark.parametrize("name", sorted(DESCRIPTIONS))
def test_every_function_takes_the_common_keywords(name):
    parameters = inspect.signature(getattr(tamrix, name)).parameters
    assert {"dtype", "keep_attrs", "name"} <= set(parameters)
    d = DESCRIPTIONS[name]
    assert ("axis" in parameters) is d.columns and ("dim" in parameters) is any(d.cores)
    assert ("new_dim" in parameters) is (bool(d.output) and d.output not in d.cores)
    with pytest.raises(TypeError, match=f"{name}: got an unexpected keyword argument 'bogus'"):
        getattr(tamrix, name)(bogus=1)


def fields():
    coords = {"lat": ("lat", [10.0, 20.0], {"units": "degrees_north", "bounds": "lat_bnds",
                                            "standard_name": "latitude"}),
              "lev": ("lev", [1, 2, 3, 4], {"axis": "Z", "positive": "down",
                                            "formula_terms": "a: hyam b: hybm ps: ps"})}
    ps = xr.DataArray(np.array([[95000.0, 101000.0]], dtype=np.float32), dims=("time", "lat"),
                      coords={"lat": coords["lat"]}, attrs={"units": "Pa"})
    p = tamrix.pressure_at_hybrid_levels(HYA, HYB, ps, 1e5)
    ta = (200.0 + 0.001 * p).assign_coords(lev=coords["lev"]).assign_attrs(
        units="K", standard_name="air_temperature").rename("ta")
    return ta, p.assign_coords(lev=coords["lev"]), ps


def test_old_names_work_with_a_deprecation_warning():
    ta, p, ps = fields()
    calls = [
        (tamrix.pressure_at_hybrid_levels, (HYA, HYB), {"psfc": ps, "p0": 1e5},
         {"ps": ps, "p0": 1e5}),
        (tamrix.pressure_at_hybrid_levels, (HYA, HYB, ps, 1e5), {"dim": "z"}, {"new_dim": "z"}),
        (tamrix.delta_pressure, (p,), {"surface_pressure": ps}, {"ps": ps}),
        (tamrix.interp_to_levels, (ta, p, [9e4]), {"log": True}, {"method": "log"}),
    ]
    for function, args, old, new in calls:
        with pytest.warns(DeprecationWarning, match=f"{list(old)[0]}= is deprecated"):
            before = function(*args, **old)
        after = function(*args, **new)
        assert before.dims == after.dims
        assert_same_bits(before.values.ravel().astype(float), after.values.ravel().astype(float))


def test_names_attributes_and_dtype_on_every_kind_of_function():
    ta, p, ps = fields()
    results = [tamrix.max_daylight(172.0, ta.lat, name="n"), tamrix.dewtemp(ta, 50.0, name="n"),
               tamrix.hybrid_to_pressure(ta, ps, HYA, HYB, [9e4], name="n"),
               tamrix.delta_pressure(p, ps, name="n"),
               tamrix.pressure_at_hybrid_levels(HYA, HYB, ps, 1e5, name="n")]
    for result in results:
        assert result.name == "n"
        # Coordinates keep all their attributes, bounds included.
        assert result["lat"].attrs["bounds"] == "lat_bnds"
    assert results[3]["lev"].attrs["formula_terms"] == "a: hyam b: hybm ps: ps"
    # float32 in, float32 out, hybrid_to_pressure included.
    assert [r.dtype for r in results[2:]] == [np.float32] * 3


@pytest.mark.parametrize("lev_coord", [{"axis": "Z"}, None])
def test_the_level_dimension_is_found_without_dim(lev_coord):
    ta, p, ps = fields()
    ta = ta.rename(lev="model_level").drop_vars("model_level")
    if lev_coord is not None:  # a vertical coordinate, or else the coefficients' length
        ta = ta.assign_coords(model_level=("model_level", np.arange(4), lev_coord))
    result = tamrix.hybrid_to_pressure(ta, ps, HYA, HYB, [90000.0, 50000.0])
    assert result.dims == ("time", "plev", "lat")
    if lev_coord is None:  # no coefficients, no vertical coordinate: say which
        with pytest.raises(TypeError, match="give the level dimension with dim="):
            tamrix.interp_to_levels(ta, ta, [1.0])
