"""Argument binding, conversion and array acceptance: messages and order of checks."""


import numpy as np
import pytest

import _tamrix_rs

met = _tamrix_rs.meteorology
grad = _tamrix_rs.gradient
interp = _tamrix_rs.interpolation


def error_of(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), str(info.value)


# --- binding -----------------------------------------------------------------

@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: grad.rad_lat_wgs84_scalar(1.0, 2.0),
         "rad_lat_wgs84_scalar() takes 1 positional arguments but 2 were given"),
        (lambda: met.dewtemp_scalar(1.0, 2.0, 3.0),
         "dewtemp_scalar() takes 2 positional arguments but 3 were given"),
        (lambda: interp.delta_pressure_1d(np.zeros(1), 1.0, None, 3),
         "delta_pressure_1d() takes from 2 to 3 positional arguments but 4 were given"),
        # surplus positionals win over bad keywords
        (lambda: met.dewtemp_scalar(1.0, 2.0, 3.0, bogus=1),
         "dewtemp_scalar() takes 2 positional arguments but 3 were given"),
        (lambda: met.dewtemp_scalar(300.0, tk=1.0),
         "dewtemp_scalar() got multiple values for argument 'tk'"),
        (lambda: met.dewtemp_scalar(rh=1.0, **{"rh ": 2.0}),
         "dewtemp_scalar() got an unexpected keyword argument 'rh '"),
        (lambda: grad.arc_lat_wgs84_scalar(lat=1.0, latitude=2.0),
         "arc_lat_wgs84_scalar() got an unexpected keyword argument 'latitude'"),
        # the unknown keyword is reported even though 'lon' is missing
        (lambda: grad.arc_lon_wgs84_scalar(LAT=1.0),
         "arc_lon_wgs84_scalar() got an unexpected keyword argument 'LAT'"),
        (lambda: met.relhum_scalar(),
         "relhum_scalar() missing 3 required positional arguments: "
         "'temperature', 'mixing_ratio', and 'pressure'"),
        (lambda: met.relhum_scalar(1.0),
         "relhum_scalar() missing 2 required positional arguments: 'mixing_ratio' and 'pressure'"),
        (lambda: met.relhum_scalar(mixing_ratio=1.0),
         "relhum_scalar() missing 2 required positional arguments: 'temperature' and 'pressure'"),
        (lambda: met.dewtemp_scalar(rh=1.0),
         "dewtemp_scalar() missing 1 required positional argument: 'tk'"),
        (lambda: interp.temp_extrapolate_scalar(1.0, p_sfc=1.0, ps=1.0),
         "temp_extrapolate_scalar() missing 2 required positional arguments: 'lev' and 'phi_sfc'"),
        (lambda: interp.delta_pressure_1d(pressure_top=1.0),
         "delta_pressure_1d() missing 2 required positional arguments: "
         "'pressure_lev' and 'surface_pressure'"),
    ],
)
def test_binding_errors(call, message):
    assert error_of(call) == (TypeError, message)


def test_keywords_bind_in_any_order():
    positional = met.relhum_scalar(290.0, 0.01, 90000.0)
    assert met.relhum_scalar(pressure=90000.0, temperature=290.0, mixing_ratio=0.01) == positional
    assert met.relhum_scalar(290.0, pressure=90000.0, mixing_ratio=0.01) == positional


def test_optional_parameter_absent_or_none():
    levels = np.array([100.0, 200.0, 300.0])
    omitted = interp.delta_pressure_1d(levels, 250.0)
    given_none = interp.delta_pressure_1d(levels, 250.0, pressure_top=None)
    np.testing.assert_array_equal(omitted, given_none)


# --- conversion --------------------------------------------------------------

class FloatLike:
    def __float__(self):
        return 2.5


class IndexLike:
    def __index__(self):
        return 3


class BadFloat:
    def __float__(self):
        raise ValueError("no float here")


@pytest.mark.parametrize("value, expected", [
    (1, 1.0), (True, 1.0), (np.float32(0.5), 0.5), (np.int16(7), 7.0), (FloatLike(), 2.5),
    (IndexLike(), 3.0), (-1.0, -1.0), (-1, -1.0),
])
def test_float_conversion_accepts_numbers(value, expected):
    assert met.psychrometric_constant_scalar(value) == expected * 0.00066474


def test_float_conversion_errors():
    assert error_of(lambda: met.relhum_scalar("a", 1.0, 1.0))[1].startswith(
        "argument 'temperature': ")
    assert error_of(lambda: met.relhum_scalar(1.0, None, 1.0)) == (
        TypeError, "argument 'mixing_ratio': must be real number, not NoneType")
    # other exception types pass through without the prefix
    assert error_of(lambda: met.relhum_scalar(10**400, 1.0, 1.0))[0] is OverflowError
    assert error_of(lambda: met.psychrometric_constant_scalar(BadFloat())) == (
        ValueError, "no float here")
    assert met.relhum_scalar(1, True, 2.5) > 0


def test_type_error_cause_is_kept():
    class Chained:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("outer") from inner

    with pytest.raises(TypeError) as info:
        met.psychrometric_constant_scalar(Chained())
    assert str(info.value) == "argument 'pressure_kpa': outer"
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize("flag, expected_alternate", [
    (True, True), (False, False), (np.bool_(True), True), (np.bool_(False), False)])
def test_flag_conversion(flag, expected_alternate):
    assert met.heat_index_scalar(90.0, 50.0, flag) == met.heat_index_scalar(
        90.0, 50.0, expected_alternate)


@pytest.mark.parametrize("flag, type_name", [(1, "int"), (0, "int"), (None, "NoneType"),
                                              (1.0, "float"), ("yes", "str"),
                                              (np.int64(1), "int64")])
def test_flag_rejects_non_booleans(flag, type_name):
    assert error_of(lambda: met.heat_index_scalar(90.0, 50.0, flag)) == (
        TypeError,
        f"argument 'alternate_coeffs': '{type_name}' object cannot be converted to 'PyBool'")


def test_count_conversion():
    x = np.array([1.0, 2.0])
    d = np.array([10.0, 20.0])
    n = np.array([1.5])
    assert error_of(lambda: interp.interpolate_columns(x, d, n, -1, 2))[0] is OverflowError
    assert error_of(lambda: interp.interpolate_columns(x, d, n, 2**64, 1))[0] is OverflowError
    kind, message = error_of(lambda: interp.interpolate_columns(x, d, n, 2.0, 2))
    assert kind is TypeError and message.startswith("argument 'nlev_in': ")
    expected = interp.interpolate_columns(x, d, n, 2, 1)
    # __index__ objects and bools (ints) are counts too
    np.testing.assert_array_equal(interp.interpolate_columns(x, d, n, np.uint8(2), True), expected)


# --- arrays ------------------------------------------------------------------

ARRAY_TYPE_ERROR = "argument 'pressure': '{}' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize("value, type_name", [
    (np.zeros(3, dtype=np.float32), "ndarray"),
    (np.zeros(3, dtype=np.int64), "ndarray"),
    (np.zeros((2, 2)), "ndarray"),
    (np.array(1.0), "ndarray"),
    (np.zeros(3, dtype=">f8"), "ndarray"),
    ([1.0, 2.0], "list"),
    (1.0, "float"),
    (None, "NoneType"),
])
def test_array_acceptance_errors(value, type_name):
    assert error_of(lambda: met.psychrometric_constant_array(value)) == (
        TypeError, ARRAY_TYPE_ERROR.format(type_name))


def test_subclass_and_equivalent_dtype_accepted():
    class Sub(np.ndarray):
        pass

    base = np.array([1.0, 2.0, 3.0])
    expected = base * 0.00066474
    np.testing.assert_array_equal(met.psychrometric_constant_array(base.view(Sub)), expected)
    np.testing.assert_array_equal(met.psychrometric_constant_array(base.astype("=f8")), expected)


@pytest.mark.parametrize("view", [
    lambda a: a[::2], lambda a: a[::-1], lambda a: a.reshape(2, 4)[:, 0],
])
def test_non_contiguous_rejected(view):
    a = np.arange(8.0)
    assert error_of(lambda: met.psychrometric_constant_array(view(a))) == (
        TypeError, "The given array is not contiguous")


def test_length_one_strided_view_accepted():
    a = np.arange(8.0)
    np.testing.assert_array_equal(met.psychrometric_constant_array(a[3:4:2]), [3.0 * 0.00066474])


def test_order_conversions_then_contiguity_then_lengths():
    x = np.arange(8.0)
    # contiguity wins over lengths
    assert error_of(lambda: met.dewtemp_array(x[::2], np.zeros(7))) == (
        TypeError, "The given array is not contiguous")
    # a wrongly typed later argument wins over an earlier non-contiguous array
    assert error_of(lambda: met.dewtemp_array(x[::2], [1.0]))[1] == (
        "argument 'rh': 'list' object cannot be converted to 'PyArray<T, D>'")
    # a bad flag is reported before the non-contiguous array
    assert error_of(lambda: met.heat_index_array(x[::2], x[::2], 1))[1].startswith(
        "argument 'alternate_coeffs'")


@pytest.mark.parametrize("lengths, message", [
    ((3, 3, 4), "temperature, mixing_ratio, and pressure must have the same length (3, 3, 4)"),
    ((3, 4, 4), "temperature, mixing_ratio, and pressure must have the same length (3, 4, 4)"),
])
def test_check_len3(lengths, message):
    arrays = [np.ones(n) for n in lengths]
    assert error_of(lambda: met.relhum_array(*arrays)) == (ValueError, message)


def test_check_len2():
    assert error_of(lambda: met.dewtemp_array(np.ones(3), np.ones(4))) == (
        ValueError, "tk and rh must have the same length (3 != 4)")


def test_same_array_for_two_parameters():
    a = np.linspace(250.0, 300.0, 101)
    np.testing.assert_array_equal(met.dewtemp_array(a, a), met.dewtemp_array(a, a.copy()))


# --- result arrays -----------------------------------------------------------

def test_result_array_owns_nothing_and_frees_through_its_base():
    a = np.linspace(40.0, 100.0, 1001)
    before = a.copy()
    result = met.saturation_vapor_pressure_array(a)
    assert result.dtype == np.float64 and result.shape == (1001,)
    assert type(result.base).__name__ == "PySliceContainer"
    assert not result.flags.owndata
    assert result.flags.writeable and result.flags.c_contiguous and result.flags.aligned
    result[:] = 0.0
    np.testing.assert_array_equal(a, before)


def test_empty_result_is_a_real_empty_array():
    result = met.psychrometric_constant_array(np.zeros(0))
    assert result.shape == (0,) and result.dtype == np.float64
    assert type(result.base).__name__ == "PySliceContainer"


def test_slice_container_has_no_constructor():
    container_type = type(met.psychrometric_constant_array(np.zeros(2)).base)
    assert error_of(container_type) == (TypeError, "No constructor defined for PySliceContainer")
    assert container_type.__doc__


def test_views_keep_the_buffer_alive():
    result = met.psychrometric_constant_array(np.arange(1000.0))
    tail = result[500:]
    del result
    np.testing.assert_array_equal(tail, np.arange(500.0, 1000.0) * 0.00066474)


def test_results_are_reported_to_tracemalloc():
    import tracemalloc

    tracemalloc.start()
    try:
        result = met.psychrometric_constant_array(np.zeros(100_000))
        current, _ = tracemalloc.get_traced_memory()
        assert current >= result.nbytes
        del result
        after, _ = tracemalloc.get_traced_memory()
        assert after < current
    finally:
        tracemalloc.stop()


def test_misaligned_array_is_read_correctly():
    raw = np.zeros(8 * 1001 + 4, dtype=np.uint8)
    misaligned = raw[4:].view(np.float64)
    assert misaligned.ctypes.data % 8 != 0
    misaligned[:] = np.linspace(40.0, 100.0, 1001)
    expected = met.saturation_vapor_pressure_array(misaligned.copy())
    np.testing.assert_array_equal(met.saturation_vapor_pressure_array(misaligned), expected)
    np.testing.assert_array_equal(
        met.dewtemp_array(misaligned, misaligned), met.dewtemp_array(misaligned.copy(), misaligned.copy()))
