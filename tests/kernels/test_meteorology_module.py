"""The meteorology submodule: registration order, signatures, length rules, large arrays."""

import numpy as np
import pytest
from bitwise import assert_same_bits

import _tamrix_rs

met = _tamrix_rs.meteorology

SIGNATURES = {
    "dewtemp_scalar": "(tk, rh)",
    "heat_index_scalar": "(temperature, relative_humidity, alternate_coeffs)",
    "relhum_ice_scalar": "(t, w, p)",
    "relhum_water_scalar": "(t, w, p)",
    "relhum_scalar": "(temperature, mixing_ratio, pressure)",
    "max_daylight_scalar": "(jday, lat)",
    "saturation_vapor_pressure_scalar": "(temperature_f)",
    "saturation_vapor_pressure_slope_scalar": "(temperature_f)",
    "psychrometric_constant_scalar": "(pressure_kpa)",
    "dewtemp_array": "(tk, rh)",
    "heat_index_array": "(temperature, relative_humidity, alternate_coeffs)",
    "relhum_ice_array": "(t, w, p)",
    "relhum_water_array": "(t, w, p)",
    "relhum_array": "(temperature, mixing_ratio, pressure)",
    "max_daylight_grid": "(jday, lat)",
    "saturation_vapor_pressure_array": "(temperature)",
    "saturation_vapor_pressure_slope_array": "(temperature)",
    "psychrometric_constant_array": "(pressure)",
}


def test_functions_are_registered_in_order():
    assert met.__all__ == list(SIGNATURES)


@pytest.mark.parametrize("name", SIGNATURES)
def test_text_signature_and_no_docstring(name):
    function = getattr(met, name)
    assert function.__text_signature__ == SIGNATURES[name]
    assert function.__doc__ is None
    assert function.__module__ == "meteorology"


def arrays(*lengths):
    return [np.linspace(250.0, 300.0, n) for n in lengths]


@pytest.mark.parametrize(
    ("function", "lengths", "extra", "message"),
    [
        (met.dewtemp_array, (3, 4), (), "tk and rh must have the same length (3 != 4)"),
        (met.heat_index_array, (2, 1), (False,),
         "temperature and relative_humidity must have the same length (2 != 1)"),
        (met.relhum_ice_array, (2, 2, 3), (), "t, w, and p must have the same length (2, 2, 3)"),
        (met.relhum_water_array, (2, 3, 3), (), "t, w, and p must have the same length (2, 3, 3)"),
        (met.relhum_array, (3, 3, 4), (),
         "temperature, mixing_ratio, and pressure must have the same length (3, 3, 4)"),
        (met.relhum_array, (3, 4, 4), (),
         "temperature, mixing_ratio, and pressure must have the same length (3, 4, 4)"),
        (met.relhum_array, (0, 0, 1), (),
         "temperature, mixing_ratio, and pressure must have the same length (0, 0, 1)"),
    ],
)
def test_unequal_lengths(function, lengths, extra, message):
    with pytest.raises(ValueError) as raised:
        function(*arrays(*lengths), *extra)
    assert str(raised.value) == message


def test_heat_index_array_converts_the_flag_before_checking_arrays():
    strided, short = np.arange(8.0)[::2], np.arange(3.0)
    message = "argument 'alternate_coeffs': 'int' object cannot be converted to 'PyBool'"
    for t, rh in [(strided, short), (short, np.arange(5.0)), (np.empty(0), np.empty(0))]:
        with pytest.raises(TypeError) as raised:
            met.heat_index_array(t, rh, 1)
        assert str(raised.value) == message
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        met.heat_index_array(strided, short, True)


def test_grid_rejects_a_non_contiguous_day_array_first():
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        met.max_daylight_grid(np.arange(8.0)[::2], np.arange(8.0)[::-1])
    with pytest.raises(TypeError, match="^argument 'lat': 'list' object"):
        met.max_daylight_grid(np.arange(8.0)[::2], [1.0])


ELEMENTWISE = [
    (met.dewtemp_array, met.dewtemp_scalar, [(150, 350), (1, 120)], ()),
    (met.heat_index_array, met.heat_index_scalar, [(30, 130), (0, 100)], (False,)),
    (met.heat_index_array, met.heat_index_scalar, [(30, 130), (0, 100)], (True,)),
    (met.relhum_ice_array, met.relhum_ice_scalar, [(200, 300), (0, 0.02), (1e4, 1.1e5)], ()),
    (met.relhum_water_array, met.relhum_water_scalar, [(230, 320), (0, 0.03), (1e4, 1.1e5)], ()),
    (met.relhum_array, met.relhum_scalar, [(150, 400), (0, 0.03), (1e4, 1.1e5)], ()),
]


@pytest.mark.parametrize(("array", "scalar", "ranges", "extra"), ELEMENTWISE)
def test_empty_arrays(array, scalar, ranges, extra):
    result = array(*(np.empty(0) for _ in ranges), *extra)
    assert result.shape == (0,) and result.dtype == np.float64


@pytest.mark.parametrize(("array", "scalar", "ranges", "extra"), ELEMENTWISE)
def test_large_arrays_split_over_the_pool_match_small_calls_and_scalars(array, scalar, ranges,
                                                                         extra):
    rng = np.random.default_rng(1_000_003)
    n = 1_000_003
    inputs = [rng.uniform(lo, hi, n) for lo, hi in ranges]
    inputs[0][rng.integers(0, n, 100)] = np.nan
    result = array(*inputs, *extra)
    # Pieces of 1000 are evaluated on the calling thread, in one go each.
    pieces = [array(*(a[k : k + 1000] for a in inputs), *extra) for k in range(0, n, 1000)]
    assert_same_bits(result, np.concatenate(pieces))
    picked = np.concatenate([rng.integers(0, n, 300), [0, n - 2, n - 1]])
    expected = [scalar(*(a[k] for a in inputs), *extra) for k in picked.tolist()]
    assert_same_bits(result[picked], np.array(expected))
