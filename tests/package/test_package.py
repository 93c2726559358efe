"""The tamrix package on numbers and NumPy arrays: same values, bit for bit, as
the direct kernel call, for any shape, dtype and layout."""

import math

import numpy as np
import pytest

import _tamrix_rs
import tamrix
from bitwise import assert_same_bits
from package_cases import CASE_IDS, CASES, call

interp = _tamrix_rs.interpolation


@pytest.fixture
def rng():
    return np.random.default_rng(7)


@pytest.mark.parametrize("case", CASES, ids=CASE_IDS)
def test_python_numbers_use_the_scalar_kernel(case, rng):
    for values in zip(*case.sample(rng, (12,))):
        args = [float(v) for v in values]
        result = call(case, *args)
        assert type(result) is float
        assert_same_bits(result, case.scalar_kernel()(*args, *case.fixed))


@pytest.mark.parametrize("case", CASES, ids=CASE_IDS)
@pytest.mark.parametrize("scalar", [np.float32, np.float64])
def test_numpy_scalars_give_a_numpy_scalar_of_their_type(case, rng, scalar):
    args = [scalar(v[0]) for v in case.sample(rng, (1,))]
    result = call(case, *args)
    assert type(result) is scalar
    expected = case.scalar_kernel()(*map(float, args), *case.fixed)
    assert_same_bits(float(result), float(scalar(expected)))


@pytest.mark.parametrize("case", CASES, ids=CASE_IDS)
def test_nd_arrays_broadcast_and_keep_their_shape(case, rng):
    full = case.sample(rng, (3, 4, 5))
    # The first argument full size, the others reduced to broadcastable shapes.
    args = [full[0]] + [a[:1, :, :1] if i % 2 else a[0, 0, :] for i, a in enumerate(full[1:])]
    result = call(case, *args)
    assert result.shape == (3, 4, 5)
    assert_same_bits(result.ravel(), case.reference(*args).ravel())


@pytest.mark.parametrize("case", CASES, ids=CASE_IDS)
def test_strided_fortran_and_non_float64_inputs(case, rng):
    base = case.sample(rng, (6, 8, 4))
    layouts = [
        lambda a: a[::2, 1::3, ::-1],                               # strided, reversed
        lambda a: np.asfortranarray(a[:3, :3, :4]),                 # Fortran order
        lambda a: a[:3, :3, :4].astype(np.float32),                 # another dtype
        lambda a: np.round(a[:3, :3, :4]).astype(np.int64) if np.isfinite(a).all() else a[:3, :3, :4],
    ]
    for i, layout in enumerate(layouts):
        args = [layout(a) for a in base]
        result = call(case, *args)
        assert result.shape == args[0].shape, i
        # Computed in float64, returned in the inputs' result type.
        assert result.dtype == np.result_type(np.float64 if i == 3 else args[0].dtype), i
        assert_same_bits(np.ravel(result), np.ravel(case.reference(*args)).astype(result.dtype))


@pytest.mark.parametrize("case", CASES, ids=CASE_IDS)
def test_empty_and_zero_dimensional_arrays(case, rng):
    empty = [np.empty((0, 3)) for _ in case.ranges]
    assert call(case, *empty).shape == (0, 3)
    zero_d = [np.asarray(v[0]) for v in case.sample(rng, (1,))]
    result = call(case, *zero_d)
    assert isinstance(result, np.ndarray) and result.shape == ()
    assert_same_bits(float(result), case.scalar_kernel()(*map(float, zero_d), *case.fixed))


def test_masked_inputs_keep_their_mask():
    t = np.ma.masked_array([300.0, 280.0, 290.0], mask=[False, True, False])
    w = np.ma.masked_array([0.01, 0.005, 0.008], mask=[False, False, True])
    result = tamrix.relhum(t, w, 1e5)
    assert isinstance(result, np.ma.MaskedArray)
    assert result.mask.tolist() == [False, True, True]
    assert_same_bits(float(result[0]), _tamrix_rs.meteorology.relhum_scalar(300.0, 0.01, 1e5))


def test_contiguous_float64_reaches_the_kernel_without_a_copy(kernel_calls):
    c_order = np.linspace(40.0, 100.0, 24).reshape(4, 6)
    f_order = np.asfortranarray(c_order)
    for array in (c_order, f_order):
        kernel_calls.clear()
        result = tamrix.saturation_vapor_pressure(array)
        assert np.shares_memory(kernel_calls[0][1][0], array)
        assert_same_bits(result.ravel(), tamrix.saturation_vapor_pressure(c_order.copy()).ravel())


@pytest.mark.parametrize("values, error, text", [
    ((np.array([1 + 2j]), 1.0, 1.0), TypeError, "complex"),
    ((np.array(["300"]), 1.0, 1.0), TypeError, "real numbers"),
    ((np.ones(3), np.ones(4), 1.0), ValueError, "broadcast"),
])
def test_unusable_array_inputs_are_refused(values, error, text):
    with pytest.raises(error, match=text):
        tamrix.relhum(*values)


def test_repeated_levels_and_latitudes_are_grouped_exactly():
    # Few distinct keys (scanned) and many (sorted), with signed zeros and NaN.
    lat = np.array([0.0, -0.0, math.nan, 45.0, 45.0, -90.0] * 5)
    jday = np.arange(lat.size, dtype=np.float64)
    expected = [_tamrix_rs.meteorology.max_daylight_scalar(d, la) for d, la in zip(jday, lat)]
    assert_same_bits(tamrix.max_daylight(jday, lat), np.array(expected))
    assert_same_bits(tamrix.max_daylight(jday[:, None], lat[None, :5])[:, 3],
                     tamrix.max_daylight(jday, lat[3]))


@pytest.mark.parametrize("name", ["temp_extrapolate", "geo_height_extrapolate"])
def test_a_level_per_element_is_one_kernel_call(name, kernel_calls):
    rng = np.random.default_rng(4)
    t_bot, lev, p_sfc, ps, phi = (rng.uniform(250, 300, 10_000), rng.uniform(9e4, 1.1e5, 10_000),
                                  rng.uniform(8e4, 9e4, 10_000), rng.uniform(9e4, 1e5, 10_000),
                                  rng.uniform(0, 3e4, 10_000))
    result = getattr(tamrix, name)(t_bot, lev, p_sfc, ps, phi)
    assert [called for called, _ in kernel_calls] == [name]
    scalar = getattr(interp, name + "_scalar")
    assert_same_bits(result[::97], np.array([scalar(*map(float, args)) for args in zip(
        t_bot[::97], lev[::97], p_sfc[::97], ps[::97], phi[::97])]))


def test_extrapolation_to_several_levels_at_once():
    rng = np.random.default_rng(3)
    t_bot, p_sfc, ps, phi = (rng.uniform(250, 300, (3, 4)), rng.uniform(8e4, 9e4, (3, 4)),
                             rng.uniform(9e4, 1e5, (3, 4)), rng.uniform(0, 3e4, (3, 4)))
    levels = np.array([100000.0, 92500.0, 85000.0])
    result = tamrix.temp_extrapolate(t_bot, levels[:, None, None], p_sfc, ps, phi)
    assert result.shape == (3, 3, 4)
    for k, level in enumerate(levels):
        assert_same_bits(result[k].ravel(), interp.temp_extrapolate_array(
            t_bot.ravel(), level, p_sfc.ravel(), ps.ravel(), phi.ravel()))


# --- column functions ---


def columns(rng, shape=(2, 6, 3, 4), axis=1):
    """Pressure (some columns surface-first) and temperature on levels."""
    nlev = shape[axis]
    levels = np.linspace(100.0, 1000.0, nlev)
    pressure = np.moveaxis(np.broadcast_to(levels, shape[:axis] + shape[axis + 1:] + (nlev,)),
                           -1, axis) * rng.uniform(0.95, 1.05, shape)
    pressure = np.where(rng.uniform(size=shape[:axis] + (1,) + shape[axis + 1:]) < 0.3,
                        np.flip(pressure, axis), pressure)
    return pressure, rng.uniform(200.0, 300.0, shape)


def test_delta_pressure_matches_one_kernel_call_per_column(rng):
    pressure, _ = columns(rng)
    surface = rng.uniform(500.0, 1050.0, (2, 3, 4))
    top = rng.uniform(0.0, 50.0, (3, 1))
    for pressure_top in (None, 10.0, top):
        result = tamrix.delta_pressure(pressure, surface, pressure_top, axis=1)
        assert result.shape == pressure.shape
        tops = np.broadcast_to(np.asarray(pressure_top if pressure_top is not None else math.nan),
                               (2, 3, 4))
        for i, j, k in np.ndindex(2, 3, 4):
            column_top = None if pressure_top is None else float(tops[i, j, k])
            expected = interp.delta_pressure_1d(np.ascontiguousarray(pressure[i, :, j, k]),
                                                surface[i, j, k], column_top)
            assert_same_bits(result[i, :, j, k], expected)


def test_delta_pressure_with_shared_levels(rng):
    levels = np.array([100.0, 200.0, 300.0, 400.0, 500.0], dtype=np.float32)
    surface = rng.uniform(50.0, 600.0, (3, 4))
    result = tamrix.delta_pressure(levels, surface, axis=-1)
    assert result.shape == (3, 4, 5)
    assert tamrix.delta_pressure(levels, surface).shape == (5, 3, 4)
    for j, k in np.ndindex(3, 4):
        assert_same_bits(result[j, k], interp.delta_pressure_1d(levels.astype(np.float64),
                                                                surface[j, k]))
    assert_same_bits(tamrix.delta_pressure(levels, 450.0),
                     interp.delta_pressure_1d(levels.astype(np.float64), 450.0))


def test_delta_pressure_needs_the_level_axis_of_a_field(rng):
    pressure, _ = columns(rng)
    with pytest.raises(TypeError, match="axis="):
        tamrix.delta_pressure(pressure, np.ones((2, 3, 4)))
    with pytest.raises(ValueError, match="level axis"):
        tamrix.delta_pressure(500.0, 1000.0)
    with pytest.raises(np.exceptions.AxisError):
        tamrix.delta_pressure(pressure, np.ones((2, 3, 4)), axis=4)


def test_interp_to_levels_is_one_kernel_call_over_all_columns(rng):
    pressure, temperature = columns(rng)
    targets = np.array([950.0, 850.0, 500.0, 300.0, 120.0, 50.0])
    result = tamrix.interp_to_levels(temperature, pressure, targets, axis=1)
    assert result.shape == (2, 6, 3, 4)
    flat_coord = np.ascontiguousarray(np.moveaxis(pressure, 1, -1)).ravel()
    flat_data = np.ascontiguousarray(np.moveaxis(temperature, 1, -1)).ravel()
    expected = interp.interpolate_columns(flat_coord, flat_data, targets, 6, 24)
    assert_same_bits(np.moveaxis(result, 1, -1).ravel(), expected)
    # Each column alone gives the same values.
    assert_same_bits(result[1, :, 2, 3], interp.interpolate_columns(
        np.ascontiguousarray(pressure[1, :, 2, 3]), np.ascontiguousarray(temperature[1, :, 2, 3]),
        targets, 6, 1))


def test_interp_to_levels_with_shared_levels_and_other_layouts(rng):
    levels = np.array([1000.0, 850.0, 700.0, 500.0])
    data = np.asfortranarray(rng.uniform(200.0, 300.0, (3, 4, 5))).astype(np.float32)
    result = tamrix.interp_to_levels(data, levels, [900.0, 600.0], axis=1)
    assert result.shape == (3, 2, 5)
    for i, k in np.ndindex(3, 5):
        assert_same_bits(result[i, :, k], interp.interpolate_columns(
            levels, data[i, :, k].astype(np.float64), np.array([900.0, 600.0]), 4, 1))
    assert_same_bits(tamrix.interp_to_levels(data[0, :, 0], levels, [900.0]),
                     result[0, :1, 0])


def test_interp_to_levels_edge_shapes(rng):
    pressure, temperature = columns(rng)
    # No targets: an empty level axis instead of the kernel's failure.
    assert tamrix.interp_to_levels(temperature, pressure, [], axis=1).shape == (2, 0, 3, 4)
    assert tamrix.interp_to_levels(np.empty((0, 6)), np.linspace(100.0, 1000.0, 6), [500.0],
                                   axis=1).shape == (0, 1)
    with pytest.raises(ValueError, match="level axis of data is empty"):
        tamrix.interp_to_levels(np.empty((3, 0)), np.empty((3, 0)), [500.0], axis=1)
    with pytest.raises(TypeError, match="axis="):
        tamrix.interp_to_levels(temperature, pressure, [500.0])
    with pytest.raises(TypeError, match="masked"):
        tamrix.interp_to_levels(np.ma.masked_array(temperature), pressure, [500.0], axis=1)


def test_pressure_at_hybrid_levels(rng):
    hya, hyb = np.array([0.02, 0.01, 0.0]), np.array([0.0, 0.5, 1.0])
    psfc = rng.uniform(9e4, 1.03e5, (2, 3))
    result = tamrix.pressure_at_hybrid_levels(hya, hyb, psfc, 1e5)
    assert result.shape == (3, 2, 3)
    assert_same_bits(result.ravel(), interp.pressure_at_hybrid_levels_array(hya, hyb,
                                                                            psfc.ravel(), 1e5))
    moved = tamrix.pressure_at_hybrid_levels(hya, hyb, psfc, 1e5, axis=-1)
    assert_same_bits(np.moveaxis(moved, -1, 0).ravel(), result.ravel())
    single = tamrix.pressure_at_hybrid_levels(0.01, 0.5, psfc, 1e5)
    assert single.shape == (2, 3)
    assert_same_bits(single, result[1])
    assert_same_bits(tamrix.pressure_at_hybrid_levels(0.01, 0.5, 95000.0, 1e5),
                     interp.pressure_at_hybrid_level_scalar(0.01, 0.5, 95000.0, 1e5))


def test_hybrid_coefficients_of_unequal_length_are_a_value_error():
    # The kernel reads hyb by the length of hya and fails as a PanicException.
    with pytest.raises(ValueError, match="same length"):
        tamrix.pressure_at_hybrid_levels(np.ones(3), np.ones(2), np.ones(4), 1e5)


def test_import_needs_neither_xarray_nor_dask(python_subprocess):
    result = python_subprocess("""
        import sys
        sys.modules["xarray"] = None  # makes `import xarray` fail
        sys.modules["dask"] = None
        import numpy as np
        import tamrix
        print(tamrix.relhum(np.full((2, 2), 300.0), 0.01, 1e5).shape)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "(2, 2)"
