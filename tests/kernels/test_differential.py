"""Every function against its transcription, and every array form against its scalar form.

Inputs come from hypothesis: physical ranges, values on and next to every
branch boundary, NaNs with assorted payloads, infinities, signed zeros,
subnormals and extreme magnitudes, arrays of length 0 upward. Results must
equal the transcription bit for bit (a NaN may stand for any NaN); an array
form must equal its scalar form bit for bit, NaN payloads included, both on
the calling thread (short arrays) and split over the worker pool (long ones).
"""

import math
import struct
from dataclasses import dataclass

import numpy as np
import pytest
from bitwise import assert_same_bits
from reference import (ELEMENTWISE, EXAMPLES, INV_G, SCALAR, assert_outcome, outcome, reference,
                       sin, tan)
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from bitwise import assert_matches_formula
from support import around

import _tamrix_rs

SUBMODULES = [getattr(_tamrix_rs, name) for name in _tamrix_rs.__all__]
FUNCTIONS = {name: getattr(m, name) for m in SUBMODULES for name in m.__all__}

examples = settings(max_examples=EXAMPLES, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])


def from_bits(pattern):
    return struct.unpack("<d", struct.pack("<Q", pattern))[0]


NANS = [from_bits(b) for b in (0x7FF8000000000000, 0xFFF8000000000000, 0x7FF8000000000001,
                               0x7FF4000000000000, 0xFFFFFFFFFFFFFFFF)]
EXTREMES = [0.0, -0.0, math.inf, -math.inf, 5e-324, -5e-324, 2.2250738585072014e-308,
            -2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308, 1e-300,
            -1e-300, 1e300, -1e300]


@dataclass(frozen=True)
class Domain:
    """Where a parameter's values come from: its physical range, the points
    where a branch of some kernel turns (each taken with its neighbours two
    ulps either side), and the IEEE specials."""

    lo: float
    hi: float
    points: tuple = ()

    @property
    def boundaries(self):
        return [v for p in self.points for v in around(p, 2)]

    def strategy(self):
        parts = [st.floats(self.lo, self.hi), st.sampled_from(EXTREMES + NANS), st.floats()]
        if self.points:
            parts.insert(1, st.sampled_from(self.boundaries))
        return st.one_of(*parts)

    def sample(self, rng, n):
        values = rng.uniform(self.lo, self.hi, n)
        pool = np.array(self.boundaries + EXTREMES + NANS)
        special = rng.random(n) < 0.2
        values[special] = rng.choice(pool, special.sum())
        return values


KELVIN = Domain(150.0, 400.0)
PERCENT = Domain(-5.0, 110.0, (0.0, 13.0, 85.0, 100.0))
MIXING = Domain(-0.005, 0.05, (0.0,))
PASCAL = Domain(0.0, 110000.0, (0.0,))
LATITUDE = Domain(-100.0, 100.0, (0.0, 90.0, -90.0))
TABLE_NODES = tuple(173.16 + i for i in range(0, 204, 7)) + (375.16,)

DOMAINS = {
    "dewtemp_scalar": [Domain(150.0, 350.0, (0.0, 273.0)), PERCENT],
    "heat_index_scalar": [Domain(-20.0, 140.0, (40.0, 68.0, 80.0, 87.0, 95.0, 112.0)), PERCENT, None],
    "relhum_ice_scalar": [Domain(150.0, 350.0, (273.15, 273.15 - 273.71)), MIXING, PASCAL],
    "relhum_water_scalar": [Domain(150.0, 350.0, (35.86, 273.15)), MIXING, PASCAL],
    "relhum_scalar": [Domain(150.0, 400.0, TABLE_NODES), MIXING, PASCAL],
    "max_daylight_scalar": [Domain(-10.0, 400.0, (0.0, 172.0, 355.0)), LATITUDE],
    "saturation_vapor_pressure_scalar": [Domain(-500.0, 300.0, (32.0,))],
    "saturation_vapor_pressure_slope_scalar": [Domain(-500.0, 300.0, (32.0, -395.14))],
    "psychrometric_constant_scalar": [Domain(-200.0, 200.0, (0.0,))],
    "rad_lat_wgs84_scalar": [LATITUDE],
    "arc_lat_wgs84_scalar": [LATITUDE],
    "arc_lon_wgs84_scalar": [Domain(-400.0, 400.0, (0.0, 360.0)), LATITUDE],
    "pressure_at_hybrid_level_scalar": [Domain(-1.0, 2.0, (0.0,)), Domain(-1.0, 2.0, (0.0,)), PASCAL,
                                        Domain(0.0, 110000.0, (100000.0,))],
}
EXTRAPOLATION = [Domain(150.0, 350.0, (255.0, 290.5, 298.0)), Domain(10000.0, 110000.0),
                 Domain(30000.0, 110000.0), Domain(30000.0, 110000.0),
                 Domain(-5000.0, 60000.0, (0.0, 2000.0 / INV_G, 2500.0 / INV_G))]
DOMAINS["temp_extrapolate_scalar"] = DOMAINS["geo_height_extrapolate_scalar"] = EXTRAPOLATION


def plain_rows(name):
    parts = [d.strategy() if d else st.booleans() for d in DOMAINS[name]]
    return st.tuples(*parts)


@st.composite
def heat_index_thresholds(draw):
    """Inputs whose simple index lies within a few ulps of the regression threshold."""
    alternate = draw(st.booleans())
    t = draw(st.floats(40.0, 130.0))
    threshold = 70.0 if alternate else 79.0
    rh = (2.0 * threshold - ((t - 68.0) * 1.2 + 61.0) - t) / 0.094
    return t, draw(st.sampled_from(around(rh, 3))), alternate


@st.composite
def polar_boundaries(draw):
    """Latitudes where the sunrise equation crosses the clamp at -1 or +1."""
    jday = draw(st.floats(-10.0, 400.0))
    tan_declination = tan(sin(jday * 0.01721420632103996 + (-1.39)) * 0.409)
    if tan_declination == 0.0:
        return jday, 0.0
    lat = math.atan(1.0 / tan_declination) / 0.017453292519943295
    return jday, draw(st.sampled_from(around(lat, 3) + around(-lat, 3)))


@st.composite
def extrapolation_thresholds(draw):
    """lev = ps and ps = p_sfc (so T* = t_bot), with T0 = T* + 0.0065 H next to
    the warm-sea limit, and surface heights on the 2000 m and 2500 m edges."""
    phi = draw(st.one_of(st.floats(-5000.0, 60000.0), st.sampled_from(EXTRAPOLATION[4].boundaries)))
    limit = draw(st.sampled_from([290.5, 298.0, 255.0]))
    t_bot = draw(st.sampled_from(around(limit - 0.0065 * (INV_G * phi), 2) + around(limit, 2)))
    ps = draw(st.floats(30000.0, 110000.0))
    lev = draw(st.sampled_from([ps, 100000.0]))
    return t_bot, lev, ps, ps, phi


COUPLED = {
    "heat_index_scalar": heat_index_thresholds(),
    "max_daylight_scalar": polar_boundaries(),
    "temp_extrapolate_scalar": extrapolation_thresholds(),
    "geo_height_extrapolate_scalar": extrapolation_thresholds(),
}


def rows(name):
    """Strategy for one tuple of scalar arguments of a scalar function."""
    if name in COUPLED:
        return st.one_of(plain_rows(name), COUPLED[name])
    return plain_rows(name)


def as_array(values):
    return np.array(values, dtype=np.float64).reshape(-1)


# --- scalar functions ------------------------------------------------------------

@pytest.mark.parametrize("name", sorted(SCALAR))
@examples
@given(data=st.data())
def test_scalar_matches_transcription(name, data):
    args = data.draw(rows(name))
    assert_outcome(outcome(FUNCTIONS[name], *args), reference(name, args))


# --- element-wise array functions ---------------------------------------------------

@st.composite
def elementwise_arguments(draw, name):
    scalar_name, arrays = ELEMENTWISE[name]
    n = draw(st.integers(0, 24))
    table = draw(st.lists(rows(scalar_name), min_size=n, max_size=n))
    shared = draw(rows(scalar_name))  # the parameters that are one value for all elements
    return [as_array([row[i] for row in table]) if i in arrays else shared[i]
            for i in range(len(shared))]


def scalar_values(scalar, columns, count):
    """The scalar function at each of `count` argument tuples, as an array."""
    return as_array([scalar(*[c[k] if isinstance(c, np.ndarray) else c for c in columns])
                     for k in range(count)])


@pytest.mark.parametrize("name", sorted(ELEMENTWISE))
@examples
@given(data=st.data())
def test_elementwise_matches_transcription_and_scalar_form(name, data):
    args = data.draw(elementwise_arguments(name))
    actual = outcome(FUNCTIONS[name], *args)
    params = FUNCTIONS[name].__text_signature__.strip("()").split(", ")
    plain = [a.tolist() if isinstance(a, np.ndarray) else a for a in args]
    assert_outcome(actual, reference(name, plain, params))
    scalar_name, arrays = ELEMENTWISE[name]
    assert_same_bits(actual, scalar_values(FUNCTIONS[scalar_name], args, len(args[arrays[0]])))


# --- the other array functions -----------------------------------------------------

def column(domain, max_size=12):
    return st.lists(domain.strategy(), max_size=max_size).map(as_array)


@st.composite
def grid_arguments(draw):
    # The diagonal of the grid keeps the coupled (day, latitude) pairs.
    pairs = draw(st.lists(rows("max_daylight_scalar"), max_size=12))
    nj = draw(st.integers(0, len(pairs)))
    return as_array([d for d, _ in pairs[:nj]]), as_array([lat for _, lat in pairs])


@st.composite
def hybrid_arguments(draw):
    hya_domain, hyb_domain, psfc_domain, p0_domain = DOMAINS["pressure_at_hybrid_level_scalar"]
    hya = draw(column(hya_domain))
    # hyb mostly as long as hya; shorter (a failure when anything is computed) or longer too
    extra = draw(st.sampled_from([0, 0, 0, 2, -1, -len(hya)]))
    hyb = draw(st.lists(hyb_domain.strategy(), min_size=max(len(hya) + extra, 0),
                        max_size=max(len(hya) + extra, 0)).map(as_array))
    return hya, hyb, draw(column(psfc_domain)), draw(p0_domain.strategy())


@st.composite
def pressure_columns(draw):
    levels = draw(st.lists(st.one_of(PASCAL.strategy(), st.floats(100.0, 1000.0)), max_size=10))
    order = draw(st.sampled_from(["ascending", "descending", "as drawn"]))
    if order != "as drawn" and not any(map(math.isnan, levels)):
        levels.sort(reverse=order == "descending")
    if levels and draw(st.booleans()):
        ps = draw(st.sampled_from(levels))  # a level exactly at the ground
    else:
        ps = draw(st.one_of(st.floats(0.0, 1100.0), PASCAL.strategy()))
    top = draw(st.one_of(st.none(), st.floats(0.0, 500.0), PASCAL.strategy()))
    return (as_array(levels), ps) if top is None and draw(st.booleans()) else (as_array(levels), ps, top)


@st.composite
def interpolation_arguments(draw):
    nlev_in = draw(st.integers(0, 6))
    ncols = draw(st.integers(0, 5))
    coordinate = st.one_of(st.floats(-10.0, 10.0), st.sampled_from([0.0, -0.0, 1e-31, math.nan]),
                           st.floats())
    xp, data = [], []
    for _ in range(ncols):
        levels = draw(st.lists(coordinate, min_size=nlev_in, max_size=nlev_in))
        order = draw(st.sampled_from(["ascending", "descending", "as drawn"]))
        if order != "as drawn" and not any(map(math.isnan, levels)):
            levels.sort(reverse=order == "descending")
        xp += levels
        data += draw(st.lists(st.one_of(st.floats(-100.0, 100.0), st.floats()),
                              min_size=nlev_in, max_size=nlev_in))
    # Targets: on the levels, between them, outside, NaN.
    candidates = xp + [(a + b) / 2 for a, b in zip(xp, xp[1:])] + [-20.0, 20.0, math.nan]
    new_levels = draw(st.lists(st.one_of(st.sampled_from(candidates), coordinate), max_size=6))
    # Flat arrays mostly exact, sometimes longer, sometimes too short.
    xp += [7.0] * draw(st.sampled_from([0, 0, 0, 3]))
    data += [7.0] * draw(st.sampled_from([0, 0, 0, 2]))
    cut_xp, cut_data = draw(st.sampled_from([(0, 0), (0, 0), (0, 0), (1, 0), (0, 1), (nlev_in + 1, 0)]))
    xp = xp[:max(len(xp) - cut_xp, 0)]
    data = data[:max(len(data) - cut_data, 0)]
    return as_array(xp), as_array(data), as_array(new_levels), nlev_in, ncols


OTHER = {
    "max_daylight_grid": grid_arguments(),
    "pressure_at_hybrid_levels_array": hybrid_arguments(),
    "delta_pressure_1d": pressure_columns(),
    "interpolate_columns": interpolation_arguments(),
}


def table_from_scalar(name, args):
    """What the scalar form gives for every element of a table-shaped result."""
    if name == "max_daylight_grid":
        jday, lat = args
        return scalar_values(FUNCTIONS["max_daylight_scalar"],
                             [np.repeat(jday, len(lat)), np.tile(lat, len(jday))], len(jday) * len(lat))
    hya, hyb, psfc, p0 = args
    levels = np.arange(len(hya)).repeat(len(psfc))
    return scalar_values(FUNCTIONS["pressure_at_hybrid_level_scalar"],
                         [hya[levels], hyb[levels], np.tile(psfc, len(hya)), p0], len(levels))


@pytest.mark.parametrize("name", sorted(OTHER))
@examples
@given(data=st.data())
def test_table_and_column_functions_match_transcription(name, data):
    args = data.draw(OTHER[name])
    actual = outcome(FUNCTIONS[name], *args)
    plain = [a.tolist() if isinstance(a, np.ndarray) else a for a in args]
    expected = reference(name, plain)
    assert_outcome(actual, expected)
    if isinstance(expected, list) and name in ("max_daylight_grid", "pressure_at_hybrid_levels_array"):
        assert_same_bits(actual, table_from_scalar(name, args))
    if isinstance(expected, list) and name == "interpolate_columns":
        # each column alone gives the same bits as within the batch
        xp, values, new_levels, nlev_in, ncols = args
        for j in range(ncols):
            stretch = slice(j * nlev_in, (j + 1) * nlev_in)
            alone = FUNCTIONS[name](xp[stretch], values[stretch], new_levels, nlev_in, 1)
            assert_same_bits(alone, actual[j * len(new_levels):(j + 1) * len(new_levels)])


NAN = math.nan
COLUMN_CASES = [
    # single-level columns whose level is NaN: no level ever reaches a target
    ([NAN], [0.0], [-20.0, 0.0, 20.0, NAN, math.inf], 1, 1),
    ([NAN, 1.0, NAN, 2.0], [1.0, 2.0, 3.0, 4.0], [-1.0, 1.0, 1.5, 2.0, NAN], 1, 4),
    ([1.0, NAN], [1.0, 2.0], [1.0, 0.5], 2, 1),
    ([NAN, 1.0], [1.0, 2.0], [1.0, 0.5], 2, 1),
    ([3.0, 2.0, 1.0, NAN], [1.0, 2.0, 3.0, 4.0], [2.5, 1.0, 3.0], 4, 1),
    ([-0.0, 0.0, 0.0, -0.0], [1.0, 2.0, 3.0, 4.0], [0.0, -0.0], 2, 2),
    ([1.0, 1.0, 1.0], [5.0, 6.0, 7.0], [1.0, 1.0 + 1e-16, 0.9], 3, 1),
    ([-math.inf, 0.0, math.inf], [1.0, 2.0, 3.0], [-math.inf, -1.0, 1.0, math.inf], 3, 1),
]


@pytest.mark.parametrize("case", COLUMN_CASES)
def test_column_edge_cases_match_transcription(case):
    xp, values, new_levels, nlev_in, ncols = case
    actual = outcome(FUNCTIONS["interpolate_columns"], as_array(xp), as_array(values),
                     as_array(new_levels), nlev_in, ncols)
    assert_outcome(actual, reference("interpolate_columns", [xp, values, new_levels, nlev_in, ncols]))


# --- long arrays, split over the worker pool ---------------------------------------

LONG = 100_003  # above the inline cut-off of every element-wise function


@pytest.mark.parametrize("name", sorted(ELEMENTWISE))
def test_long_elementwise_arrays_match_scalar_form(name):
    rng = np.random.default_rng(sum(map(ord, name)))
    scalar_name, arrays = ELEMENTWISE[name]
    args = [d.sample(rng, LONG) if i in arrays else (d.sample(rng, 1)[0] if d else True)
            for i, d in enumerate(DOMAINS[scalar_name])]
    actual = FUNCTIONS[name](*args)
    assert_same_bits(actual, scalar_values(FUNCTIONS[scalar_name], args, LONG))


@pytest.mark.parametrize("name", ["max_daylight_grid", "pressure_at_hybrid_levels_array"])
def test_long_tables_match_scalar_form(name):
    rng = np.random.default_rng(5)
    domains = DOMAINS["max_daylight_scalar" if name == "max_daylight_grid" else
                      "pressure_at_hybrid_level_scalar"]
    if name == "max_daylight_grid":
        args = [domains[0].sample(rng, 150), domains[1].sample(rng, 211)]
    else:
        hya = domains[0].sample(rng, 300)
        args = [hya, domains[1].sample(rng, 300), domains[2].sample(rng, 311), 100000.0]
    assert_same_bits(FUNCTIONS[name](*args), table_from_scalar(name, args))


def test_many_columns_split_over_the_pool_match_single_columns():
    rng = np.random.default_rng(11)
    nlev_in, ncols = 9, 2500
    xp = np.sort(rng.uniform(0.0, 1000.0, (ncols, nlev_in)), axis=1)
    xp[::2] = xp[::2, ::-1]  # every other column descending
    xp = xp.ravel()
    values = rng.uniform(-50.0, 50.0, nlev_in * ncols)
    new_levels = np.concatenate([rng.uniform(-10.0, 1010.0, 12), xp[:3], [math.nan]])
    actual = FUNCTIONS["interpolate_columns"](xp, values, new_levels, nlev_in, ncols)
    nout = len(new_levels)
    for j in range(0, ncols, 7):
        stretch = slice(j * nlev_in, (j + 1) * nlev_in)
        alone = FUNCTIONS["interpolate_columns"](xp[stretch], values[stretch], new_levels, nlev_in, 1)
        assert_same_bits(alone, actual[j * nout:(j + 1) * nout])
    expected = reference("interpolate_columns", [xp.tolist(), values.tolist(), new_levels.tolist(),
                                                  nlev_in, ncols])
    assert_matches_formula(actual, expected)


def test_every_function_is_covered():
    covered = set(SCALAR) | set(ELEMENTWISE) | set(OTHER)
    assert covered == set(FUNCTIONS) and len(FUNCTIONS) == 32
