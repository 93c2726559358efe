"""Heat index against a transcription of its formula, for both coefficient sets."""

import math

import numpy as np
import pytest
from bitwise import SPECIAL_VALUES, assert_same_bits
from bitwise import assert_matches_formula
from support import around, grid, wide_random

import _tamrix_rs

met = _tamrix_rs.meteorology

STANDARD = (-42.379, 2.04901523, 10.14333127, -0.22475541, -0.00683783, -0.05481717,
            0.00122874, 0.00085282, -1.99e-06)
ALTERNATE = (0.363445176, 0.988622465, 4.777114035, -0.114037667, -0.000850208, -0.020716198,
             0.000687678, 0.000274954, 0.0)


def simple_index(t, rh):
    return (0.094 * rh + ((t - 68.0) * 1.2 + 61.0) + t) * 0.5


def regression(coefficients, t, rh):
    c1, c2, c3, c4, c5, c6, c7, c8, c9 = coefficients
    hi = c1 + c2 * t
    hi = hi + c3 * rh
    hi = hi + c4 * t * rh
    hi = hi + c5 * t * t
    hi = hi + c6 * rh * rh
    hi = hi + c7 * t * t * rh
    hi = hi + c8 * t * rh * rh
    hi = hi + c9 * t * t * rh * rh
    return hi


def heat_index_ref(t, rh, alternate):
    if t < 40.0:
        return t
    s = simple_index(t, rh)
    if s < (70.0 if alternate else 79.0):
        return s
    hi = regression(ALTERNATE if alternate else STANDARD, t, rh)
    if alternate:
        return hi
    if 80.0 <= t <= 112.0 and rh <= 13.0:
        hi = hi + math.sqrt((17.0 - abs(t - 95.0)) / 17.0) * ((13.0 - rh) * -0.25)
    if 80.0 <= t <= 87.0 and rh > 85.0:
        hi = hi + ((rh - 85.0) / 10.0) * ((87.0 - t) / 5.0)
    return hi


# The 40 degF cut, the adjustment windows and their corners, and beyond.
EDGE_T = (around(40.0) + around(80.0) + around(87.0) + around(112.0) + around(95.0)
          + [30.0, 75.0, 85.0, 90.0, 150.0, 1e300, -1e300, 0.0, -0.0]
          + [math.nan, math.inf, -math.inf])
EDGE_RH = (around(13.0) + around(85.0)
           + [0.0, -0.0, 10.0, 40.0, 50.0, 90.0, 100.0, 150.0, -5.0, 1e300, math.nan, math.inf,
              -math.inf])


def threshold_crossings(threshold):
    """Humidities putting the simple index on either side of (and often exactly at) a threshold."""
    t_values, rh_values = [], []
    for t in np.arange(60.0, 100.0, 0.25).tolist():
        rh0 = (2.0 * threshold - ((t - 68.0) * 1.2 + 61.0) - t) / 0.094
        for rh in around(rh0, 3):
            t_values.append(t)
            rh_values.append(rh)
    return [np.array(t_values), np.array(rh_values)]


def random_inputs(rng, n):
    plausible = [rng.uniform(30, 130, n), rng.uniform(-5, 110, n)]
    dry_or_humid = np.where(rng.random(n) < 0.5, rng.uniform(0, 14, n), rng.uniform(84, 100, n))
    windows = [rng.uniform(79, 113, n), dry_or_humid]
    wide = [wide_random(rng, n), wide_random(rng, n)]
    return [np.concatenate(axis) for axis in zip(plausible, windows, wide)]


INPUTS = {
    "edges": lambda rng: grid(EDGE_T, EDGE_RH),
    "specials": lambda rng: grid(SPECIAL_VALUES, SPECIAL_VALUES),
    "threshold 79": lambda rng: threshold_crossings(79.0),
    "threshold 70": lambda rng: threshold_crossings(70.0),
    "random": lambda rng: random_inputs(rng, 2000),
}


@pytest.mark.parametrize("alternate", [False, True])
@pytest.mark.parametrize("case", INPUTS)
def test_matches_the_formula_and_scalar_matches_array(case, alternate):
    t, rh = INPUTS[case](np.random.default_rng(7))
    rows = list(zip(t.tolist(), rh.tolist()))
    expected = np.array([heat_index_ref(a, b, alternate) for a, b in rows])
    result = met.heat_index_array(t, rh, alternate)
    assert_matches_formula(result, expected)
    assert_same_bits(np.array([met.heat_index_scalar(a, b, alternate) for a, b in rows]), result)


@pytest.mark.parametrize("threshold", [79.0, 70.0])
def test_threshold_cases_reach_the_threshold_exactly(threshold):
    # Guards the crossing inputs above: at least one sits exactly on the threshold.
    t, rh = threshold_crossings(threshold)
    assert any(simple_index(a, b) == threshold for a, b in zip(t.tolist(), rh.tolist()))


@pytest.mark.parametrize(
    ("t", "rh", "alternate", "expected"),
    [
        (40.0, 0.0, False, 33.7),
        (75.0, 50.0, False, 74.55),
        (80.0, 40.0, False, 79.9),
        (70.0, 60.0, True, 69.52),
        (70.0, 60.0, False, 69.52),
        (90.0, 50.0, False, 94.6),
        (90.0, 50.0, True, 96.7),
        (90.0, 10.0, False, 85.3),
        (85.0, 90.0, False, 102.0),
    ],
)
def test_known_values(t, rh, alternate, expected):
    # The expected values are rounded to the digits shown.
    digits = len(repr(expected).split(".")[1].rstrip("0"))
    assert met.heat_index_scalar(t, rh, alternate) == pytest.approx(expected, abs=0.5 * 10**-digits)


@pytest.mark.parametrize(("t", "rh"), [(112.0, 10.0), (100.0, 13.0), (87.0, 90.0)])
def test_adjustments_vanish_at_their_window_edges(t, rh):
    assert_same_bits(met.heat_index_scalar(t, rh, False), regression(STANDARD, t, rh))


def test_numpy_bool_selects_the_coefficients():
    t, rh = np.array([90.0]), np.array([50.0])
    assert_same_bits(met.heat_index_array(t, rh, np.True_), met.heat_index_array(t, rh, True))
    assert_same_bits(met.heat_index_scalar(90.0, 50.0, np.False_),
                     met.heat_index_scalar(90.0, 50.0, False))
