"""Relative humidity (table, ice, water) and dew point against transcriptions of their formulas."""

import math

import numpy as np
import pytest
from bitwise import SPECIAL_VALUES, assert_same_bits
from bitwise import assert_matches_formula
from reference import dewtemp, relhum, relhum_ice, relhum_water
from support import around, grid, wide_random

import _tamrix_rs

met = _tamrix_rs.meteorology

SPECIALS = [0.0, -0.0, math.nan, math.inf, -math.inf]
MIXING = [0.0, -0.0, 0.003, 0.01, -0.001, 1e-300, math.nan, math.inf, -math.inf]
PRESSURE = [100000.0, 50000.0, 0.0, -0.0, -1.0, math.nan, math.inf, -math.inf]

# Clamp bounds, the freezing node, a few interior nodes and the far outside.
RELHUM_T = (around(173.16) + around(375.16) + around(273.16) + around(174.16) + around(374.16)
            + [100.0, 150.0, 300.0, 400.0, 1e300, -1e300] + SPECIALS)
# Freezing point (where ice and water agree) and the two exponent poles.
MAGNUS_T = (around(273.15) + around(-0.56) + around(35.86)
            + [0.0, 100.0, 250.0, 300.0, 1e300, -1e300] + SPECIALS)
DEW_TK = [300.0, 280.0, 273.0, 1.0, 1e308, -1e308] + SPECIALS
DEW_RH = [100.0, 80.0, 50.0, 1000.0, 1e300, -1.0, 5e-324] + SPECIALS


def relhum_random(rng, n):
    plausible = [rng.uniform(150, 420, n), rng.uniform(-0.005, 0.05, n), rng.uniform(0, 1.1e5, n)]
    return [np.concatenate([a, wide_random(rng, n)]) for a in plausible]


def dewtemp_random(rng, n):
    plausible = [rng.uniform(150, 350, n), rng.uniform(0, 120, n)]
    return [np.concatenate([a, wide_random(rng, n)]) for a in plausible]


def table_nodes():
    # Every node and every midpoint: a wrong table entry changes these values.
    nodes = [float(i) + 173.16 for i in range(203)]
    t = nodes + [x + 0.5 for x in nodes]
    return [np.array(t), np.full(len(t), 0.01), np.full(len(t), 1e5)]


FUNCTIONS = {
    "relhum": (relhum, met.relhum_scalar, met.relhum_array),
    "relhum_ice": (relhum_ice, met.relhum_ice_scalar, met.relhum_ice_array),
    "relhum_water": (relhum_water, met.relhum_water_scalar, met.relhum_water_array),
    "dewtemp": (dewtemp, met.dewtemp_scalar, met.dewtemp_array),
}

INPUTS = {
    "relhum edges": ("relhum", lambda rng: grid(RELHUM_T, MIXING, PRESSURE)),
    "relhum table": ("relhum", lambda rng: table_nodes()),
    "relhum random": ("relhum", lambda rng: relhum_random(rng, 3000)),
    "relhum specials": ("relhum", lambda rng: grid(SPECIAL_VALUES, SPECIAL_VALUES, PRESSURE[:2])),
    "relhum_ice edges": ("relhum_ice", lambda rng: grid(MAGNUS_T, MIXING, PRESSURE)),
    "relhum_ice random": ("relhum_ice", lambda rng: relhum_random(rng, 3000)),
    "relhum_water edges": ("relhum_water", lambda rng: grid(MAGNUS_T, MIXING, PRESSURE)),
    "relhum_water random": ("relhum_water", lambda rng: relhum_random(rng, 3000)),
    "dewtemp edges": ("dewtemp", lambda rng: grid(DEW_TK, DEW_RH)),
    "dewtemp specials": ("dewtemp", lambda rng: grid(SPECIAL_VALUES, SPECIAL_VALUES)),
    "dewtemp random": ("dewtemp", lambda rng: dewtemp_random(rng, 3000)),
}


@pytest.mark.parametrize("case", INPUTS)
def test_matches_the_formula_and_scalar_matches_array(case):
    name, make_inputs = INPUTS[case]
    reference, scalar, array = FUNCTIONS[name]
    inputs = make_inputs(np.random.default_rng(20240611))
    rows = list(zip(*(a.tolist() for a in inputs)))
    expected = np.array([reference(*row) for row in rows])
    result = array(*inputs)
    assert_matches_formula(result, expected)
    assert_same_bits(np.array([scalar(*row) for row in rows]), result)


@pytest.mark.parametrize(
    ("function", "args", "expected"),
    [
        (met.relhum_scalar, (300.0, 0.01, 100000.0), 44.9),
        (met.relhum_scalar, (273.16, 0.003, 100000.0), 78.8),
        (met.relhum_scalar, (150.0, 0.001, 100000.0), 1.15e7),
        (met.relhum_ice_scalar, (250.0, 0.0005, 50000.0), 52.9),
        (met.relhum_ice_scalar, (273.15, 0.003, 100000.0), 78.7),
        (met.relhum_water_scalar, (273.15, 0.003, 100000.0), 78.7),
        (met.relhum_water_scalar, (300.0, 0.015, 100000.0), 67.3),
        (met.dewtemp_scalar, (300.0, 50.0), 289.0),
        (met.dewtemp_scalar, (280.0, 80.0), 277.0),
    ],
)
def test_known_values(function, args, expected):
    assert function(*args) == pytest.approx(expected, rel=5e-3)


def test_relhum_clamps_to_the_end_entries_of_the_table():
    # Below 173.16 K es is 0.1 * 0.01403 Pa; above 375.16 K it is 0.1 * 1087740 Pa.
    for t, es in [(100.0, 0.1 * 0.01403), (-math.inf, 0.1 * 0.01403), (1e300, 0.1 * 1087740.0)]:
        expected = (0.01 * (1e5 + (-0.378 * es))) / (es * 0.622) * 100.0
        assert met.relhum_scalar(t, 0.01, 1e5) == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("args", [(math.nan, 0.01, 1e5), (300.0, math.nan, 1e5),
                                  (300.0, 0.01, math.nan), (300.0, 0.0, 1e5),
                                  (300.0, -0.01, 1e5)])
def test_relhum_floor(args):
    assert met.relhum_scalar(*args) == 0.0001
    assert_same_bits(met.relhum_array(*(np.array([a]) for a in args)), np.array([0.0001]))


@pytest.mark.parametrize(("tk", "rh", "expected"), [(300.0, 100.0, 300.0), (300.0, 0.0, 0.0)])
def test_dewtemp_saturated_and_dry(tk, rh, expected):
    assert_same_bits(met.dewtemp_scalar(tk, rh), expected)
