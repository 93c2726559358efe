"""Psychrometric constant and saturation vapour pressure, bit for bit."""

import math

import numpy as np
import pytest

import _tamrix_rs
from bitwise import SPECIAL_VALUES, assert_same_bits, bits
from reference import (psychrometric_constant, saturation_vapor_pressure,
                       saturation_vapor_pressure_slope)

met = _tamrix_rs.meteorology
DEFAULT_NAN_BITS = 0x7FF8000000000000

QUANTITIES = [
    (met.psychrometric_constant_scalar, met.psychrometric_constant_array, psychrometric_constant),
    (met.saturation_vapor_pressure_scalar, met.saturation_vapor_pressure_array,
     saturation_vapor_pressure),
    (met.saturation_vapor_pressure_slope_scalar, met.saturation_vapor_pressure_slope_array,
     saturation_vapor_pressure_slope),
]
BOUNDARY_INPUTS = [32.0, math.nextafter(32.0, math.inf), math.nextafter(32.0, -math.inf), 31.0,
                   -40.0, 50.0, 68.0, 212.0, 100.0, -1.0, 1e10, -1e10, 600.0, 1000.0]


def sample_inputs():
    rng = np.random.default_rng(2024)
    return np.concatenate([
        BOUNDARY_INPUTS, SPECIAL_VALUES, rng.uniform(-100.0, 300.0, 2000),
        rng.normal(0.0, 1e6, 200), np.float64(2.0) ** rng.integers(-1074, 1023, 200),
    ])


@pytest.mark.parametrize("scalar, array, reference", QUANTITIES)
def test_bit_exact_against_transcription(scalar, array, reference):
    inputs = sample_inputs()
    expected = np.array([reference(float(x)) for x in inputs])
    assert_same_bits(array(inputs), expected)
    for x, e in zip(inputs, expected):
        assert_same_bits(scalar(float(x)), float(e))


@pytest.mark.parametrize("scalar", [met.saturation_vapor_pressure_scalar,
                                    met.saturation_vapor_pressure_slope_scalar])
@pytest.mark.parametrize("t", [32.0, 31.0, -40.0, math.nan, -math.inf])
def test_rejected_temperatures_give_the_default_nan(scalar, t):
    assert bits(scalar(t)) == DEFAULT_NAN_BITS


def test_worked_values():
    assert met.psychrometric_constant_scalar(100.0) == 100.0 * 0.00066474
    assert met.psychrometric_constant_scalar(-1.0) == -0.00066474
    assert met.saturation_vapor_pressure_scalar(68.0) == pytest.approx(2.338, abs=1e-3)
    assert met.saturation_vapor_pressure_scalar(50.0) == pytest.approx(1.228, abs=1e-3)
    assert met.saturation_vapor_pressure_scalar(212.0) == pytest.approx(102.0, abs=0.5)
    assert met.saturation_vapor_pressure_slope_scalar(68.0) == pytest.approx(0.1447, abs=1e-4)
    assert met.saturation_vapor_pressure_slope_scalar(50.0) == pytest.approx(0.0822, abs=1e-4)
    just_above = math.nextafter(32.0, math.inf)
    assert met.saturation_vapor_pressure_scalar(just_above) > 0.6108
    assert met.saturation_vapor_pressure_slope_scalar(just_above) == pytest.approx(0.0444, abs=1e-4)


@pytest.mark.parametrize("scalar, array, reference", QUANTITIES)
def test_large_arrays_split_across_workers_match_scalar(scalar, array, reference):
    a = np.random.default_rng(5).uniform(0.0, 150.0, 1_000_003)
    a[::7919] = np.nan
    result = array(a)
    picks = np.r_[0:50, 499_980:500_020, len(a) - 50:len(a), 0:len(a):7919]
    assert_same_bits(result[picks], np.array([scalar(float(a[i])) for i in picks]))


@pytest.mark.parametrize("array", [q[1] for q in QUANTITIES])
def test_mixed_accepted_and_rejected_positions(array):
    a = np.array([10.0, 68.0, 32.0, 100.0, np.nan, 50.0])
    result = array(a)
    if array is met.psychrometric_constant_array:
        assert np.isnan(result).tolist() == [False, False, False, False, True, False]
    else:
        assert np.isnan(result).tolist() == [True, False, True, False, True, False]
