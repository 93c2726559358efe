"""Below-ground extrapolation of temperature and geopotential height."""

import itertools
import math

import numpy as np
import pytest
from bitwise import SPECIAL_VALUES, assert_same_bits
from reference import ALPHA, INV_G, geo_height_extrapolate, temp_extrapolate

from _tamrix_rs import interpolation as it

nan = math.nan

def up(x, steps=1):
    for _ in range(steps):
        x = math.nextafter(x, math.inf)
    return x


def down(x):
    return math.nextafter(x, -math.inf)


PHI_2500 = 24515.4  # 0.10197671667604852 * 24515.4 == 2500.0 exactly
PHI_2000 = 19612.32  # gives 1999.9999999999998; the next double gives 2000.0000000000002
PHIS = [0.0, 4900.0, down(PHI_2000), PHI_2000, up(PHI_2000), down(PHI_2500), PHI_2500,
        up(PHI_2500), 22000.0, 30000.0, 60000.0, -5000.0]


def boundary_rows():
    """Inputs around every threshold: H near 2000 and 2500 m, T* and T0 near 255, 290.5, 298 K."""
    for phi in PHIS:
        h = INV_G * phi
        for threshold, shift in itertools.product((255.0, 290.5, 298.0), (0.0, 0.0065 * h)):
            base = threshold - shift  # with ps == p_sfc, T* is t_bot and T0 is t_bot + 0.0065 H
            for t_bot in (down(base), base, up(base), base - 0.5, base + 0.5):
                for lev in (98000.0, 100000.0, 50000.0):
                    yield t_bot, lev, 98000.0, 98000.0, phi
                    yield t_bot, lev, 95000.0, 98000.0, phi


ROWS = list(boundary_rows())


REFERENCES = {"temp": temp_extrapolate, "geo_height": geo_height_extrapolate}


@pytest.mark.parametrize(("name", "branches"), [
    ("temp", {"low", "blend+lapse", "blend+flat", "plateau+lapse", "plateau+flat"}),
    ("geo_height", {"A and B", "A only", "not A", "not A+cold", "A only+cold"}),
])
def test_boundaries_match_the_formula(name, branches):
    tags = set()
    expected = np.array([REFERENCES[name](*row, tags) for row in ROWS])
    assert branches <= tags
    scalar = getattr(it, name + "_extrapolate_scalar")
    for row, e in zip(ROWS, expected):
        assert_same_bits(scalar(*row), e)
    columns = [np.array(c) for c in zip(*ROWS)]
    for lev in (98000.0, 50000.0):
        subset = [i for i, row in enumerate(ROWS) if row[1] == lev]
        arrays = [c[subset] for c in columns]
        arrays[1] = lev
        assert_same_bits(getattr(it, name + "_extrapolate_array")(*arrays), expected[subset])


def test_heights_at_the_band_edges_are_exact():
    assert INV_G * PHI_2500 == 2500.0
    assert INV_G * PHI_2000 < 2000.0 < INV_G * up(PHI_2000)


@pytest.mark.parametrize("position", range(5))
@pytest.mark.parametrize("name", ["temp", "geo_height"])
def test_special_values(name, position):
    reference = REFERENCES[name]
    scalar = getattr(it, name + "_extrapolate_scalar")
    for value in SPECIAL_VALUES:
        row = [285.0, 100000.0, 80000.0, 82000.0, 22000.0]
        row[position] = value
        assert_same_bits(scalar(*row), reference(*row))


def test_surface_values():
    t_bot, p_sfc, ps, phi = 281.3, 91234.5, 93456.7, 12345.6
    t_star = ((ps / p_sfc - 1.0) * ALPHA + 1.0) * t_bot
    assert_same_bits(it.temp_extrapolate_scalar(t_bot, ps, p_sfc, ps, phi), t_star)  # lev = ps
    assert_same_bits(it.geo_height_extrapolate_scalar(t_bot, ps, p_sfc, ps, phi), INV_G * phi)
    # Terrain above 2500 m warmer than 298 K: no lapse correction at all.
    t_star = ((7.2e4 / 7e4 - 1) * ALPHA + 1) * 300
    assert it.temp_extrapolate_scalar(300.0, 1e5, 7e4, 7.2e4, 3e4) == t_star
    # An unknown surface height gives T* and no height.
    t_star = ((9.5e4 / 9e4 - 1) * ALPHA + 1) * 280
    assert it.temp_extrapolate_scalar(280.0, 1e5, 9e4, 9.5e4, nan) == t_star
    assert math.isnan(it.geo_height_extrapolate_scalar(280.0, 1e5, 9e4, 9.5e4, nan))


@pytest.mark.parametrize(("row", "t", "z"), [
    ((280, 100000, 95000, 98000, 4900), 283, 333),
    ((285, 100000, 80000, 82000, 22000), 296, 571),
    ((300, 100000, 70000, 72000, 30000), 302, 212),
    ((250, 100000, 90000, 95000, 1000), 255, -281),
])
def test_worked_values(row, t, z):
    assert it.temp_extrapolate_scalar(*row) == pytest.approx(t, rel=2e-3)
    assert it.geo_height_extrapolate_scalar(*row) == pytest.approx(z, rel=2e-3)


def test_random_arrays_on_the_pool():
    rng = np.random.default_rng(7)
    n = 4000
    t_bot = rng.uniform(230.0, 320.0, n)
    ps = rng.uniform(50000.0, 105000.0, n)
    p_sfc = ps * rng.uniform(0.85, 1.0, n)
    phi = rng.uniform(-1000.0, 50000.0, n)
    phi[::97] = 0.0
    for name, reference in REFERENCES.items():
        result = getattr(it, name + "_extrapolate_array")(t_bot, 101325.0, p_sfc, ps, phi)
        expected = [reference(*row) for row in zip(t_bot.tolist(), [101325.0] * n,
                                                    p_sfc.tolist(), ps.tolist(), phi.tolist())]
        assert_same_bits(result, np.array(expected))


@pytest.mark.parametrize("name", ["temp_extrapolate_array", "geo_height_extrapolate_array"])
@pytest.mark.parametrize("lengths", [(3, 3, 2, 3), (2, 3, 3, 3), (3, 2, 3, 3), (3, 3, 3, 4)])
def test_length_rule(name, lengths):
    t_bot, p_sfc, ps, phi = (np.ones(n) for n in lengths)
    with pytest.raises(ValueError) as info:
        getattr(it, name)(t_bot, 1.0, p_sfc, ps, phi)
    expected = "All arrays must have the same length (got {}, {}, {}, {})".format(*lengths)
    assert str(info.value) == expected


def test_array_edge_cases():
    e = np.zeros(0)
    assert it.temp_extrapolate_array(e, 1.0, e, e, e).shape == (0,)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        it.geo_height_extrapolate_array(np.ones(3), 1.0, np.ones(3), np.ones(8)[::2], np.ones(2))
    with pytest.raises(TypeError, match="^argument 'lev': "):
        it.temp_extrapolate_array(np.ones(3), np.ones(3), np.ones(3), np.ones(3), np.ones(3))
