"""Maximum daylight hours: the formula, polar clamps and the day-major grid layout."""

import math
import tempfile

import numpy as np
import pytest
from bitwise import SPECIAL_VALUES, assert_same_bits
from bitwise import assert_matches_formula
from reference import acos, sin, tan
from support import around, wide_random

import _tamrix_rs

met = _tamrix_rs.meteorology


def declination(jday):
    return sin(jday * 0.01721420632103996 + (-1.39)) * 0.409


def max_daylight_ref(jday, lat):
    lat_term = -tan(lat * 0.017453292519943295)
    x = tan(declination(jday)) * lat_term
    if x < -1.0:
        x = -1.0
    elif x > 1.0:
        x = 1.0
    return acos(x) * 7.639437268410976


def polar_boundary_latitudes():
    # Where tan(declination) * -tan(lat) crosses -1 and 1 on the solstices.
    lats = []
    for jday in (172.0, 355.0):
        boundary = math.degrees(math.atan(1.0 / abs(math.tan(declination(jday)))))
        for lat in (boundary, -boundary):
            lats += around(lat, 4)
    return lats


DAYS = [172.0, 355.0, 1.0, 80.0, 365.0, 366.0, 0.0, -0.0, 0.5, 1000.0, -50.0, 1e300, -1e300,
        math.nan, math.inf, -math.inf]
LATS = (polar_boundary_latitudes() + around(90.0) + around(-90.0)
        + [0.0, -0.0, 45.0, -45.0, 70.0, -70.0, 180.0, 1000.0, 1e300, math.nan, math.inf,
           -math.inf])


def grid_reference(jday, lat):
    return np.array([max_daylight_ref(d, a) for d in jday.tolist() for a in lat.tolist()])


INPUTS = {
    "edges": lambda rng: (np.array(DAYS), np.array(LATS)),
    "specials": lambda rng: (np.array(SPECIAL_VALUES), np.array(SPECIAL_VALUES)),
    "random": lambda rng: (np.concatenate([rng.uniform(-10, 400, 100), wide_random(rng, 30)]),
                           np.concatenate([rng.uniform(-100, 100, 100), wide_random(rng, 30)])),
}


@pytest.mark.parametrize("case", INPUTS)
def test_matches_the_formula_and_scalar_matches_grid(case):
    jday, lat = INPUTS[case](np.random.default_rng(365))
    result = met.max_daylight_grid(jday, lat)
    assert_matches_formula(result, grid_reference(jday, lat))
    scalars = [met.max_daylight_scalar(d, a) for d in jday.tolist() for a in lat.tolist()]
    assert_same_bits(np.array(scalars), result)


def test_polar_clamps_give_exactly_24_and_0():
    lats = np.array(polar_boundary_latitudes())
    result = met.max_daylight_grid(np.array([172.0, 355.0]), lats)
    assert {24.0, 0.0} <= set(result.tolist())
    assert result.min() >= 0.0 and result.max() <= 24.0


@pytest.mark.parametrize(
    ("jday", "lat", "expected", "tolerance"),
    [(172.0, 45.0, 15.4, 0.05), (355.0, 45.0, 8.58, 0.005), (172.0, -45.0, 8.58, 0.005),
     (172.0, 0.0, 12.0, 0.0), (172.0, 70.0, 24.0, 0.0), (355.0, 70.0, 0.0, 0.0),
     (172.0, 90.0, 24.0, 0.0), (355.0, 90.0, 0.0, 0.0), (172.0, -90.0, 0.0, 0.0),
     (355.0, -90.0, 24.0, 0.0)],
)
def test_known_values(jday, lat, expected, tolerance):
    assert met.max_daylight_scalar(jday, lat) == pytest.approx(expected, abs=tolerance)


def test_grid_is_day_major():
    result = met.max_daylight_grid(np.array([172.0, 355.0]), np.array([0.0, 45.0, 70.0]))
    expected = [met.max_daylight_scalar(d, a) for d in (172.0, 355.0) for a in (0.0, 45.0, 70.0)]
    assert_same_bits(result, np.array(expected))


@pytest.mark.parametrize(("nj", "nl"), [(0, 5), (5, 0), (0, 0), (3, 5), (5, 3), (1, 1)])
def test_grid_lengths_are_independent(nj, nl):
    result = met.max_daylight_grid(np.linspace(1, 365, nj), np.linspace(-80, 80, nl))
    assert result.shape == (nj * nl,) and result.dtype == np.float64


def test_large_grid_split_over_the_pool_matches_rows_and_columns():
    rng = np.random.default_rng(11)
    jday, lat = rng.uniform(1, 366, 1001), rng.uniform(-90, 90, 1003)
    table = met.max_daylight_grid(jday, lat).reshape(1001, 1003)
    for i in (0, 500, 1000):
        assert_same_bits(table[i], met.max_daylight_grid(jday[i : i + 1], lat))
    for j in (0, 501, 1002):
        column = np.ascontiguousarray(table[:, j])
        assert_same_bits(column, met.max_daylight_grid(jday, lat[j : j + 1]))
    rows, cols = rng.integers(0, 1001, 300), rng.integers(0, 1003, 300)
    picked = [met.max_daylight_scalar(jday[i], lat[j]) for i, j in zip(rows, cols)]
    assert_same_bits(table[rows, cols], np.array(picked))


def test_grid_whose_size_overflows_is_a_memory_error():
    # Two 2**32-element views of a sparse file: 2**64 results cannot exist.
    with tempfile.TemporaryFile() as backing:
        try:
            backing.truncate(8 * 2**32)
            huge = np.memmap(backing, dtype=np.float64, mode="r", shape=(2**32,))
        except (OSError, ValueError, OverflowError):
            pytest.skip("no sparse 32 GiB file here")
        with pytest.raises(MemoryError):
            met.max_daylight_grid(huge, huge)
