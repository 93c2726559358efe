"""WGS84 radius and arc lengths of the gradient submodule."""

import math

import numpy as np
import pytest
from bitwise import SPECIAL_VALUES, assert_same_bits
from reference import A, arc_lat_wgs84, arc_lon_wgs84, rad_lat_wgs84

from _tamrix_rs import gradient as g

EDGE_LATS = [0.0, 1.0, 45.0, 89.99999999999999, 90.0, 90.00000000000001, 100.0, 180.0, 1e3, 1e-200]
LATS = EDGE_LATS + [-x for x in EDGE_LATS] + SPECIAL_VALUES
LONS = [1.0, -1.0, 360.0, 0.5, *SPECIAL_VALUES]
rng = np.random.default_rng(20240501)
RANDOM_LATS = np.concatenate([rng.uniform(-95.0, 95.0, 3000), rng.normal(0.0, 300.0, 200)])


@pytest.mark.parametrize(("name", "reference"),
                         [("rad_lat", rad_lat_wgs84), ("arc_lat", arc_lat_wgs84)])
def test_latitude_functions_match_the_polynomials(name, reference):
    scalar, array = getattr(g, name + "_wgs84_scalar"), getattr(g, name + "_wgs84_array")
    lats = np.concatenate([LATS, RANDOM_LATS])
    expected = np.array([reference(float(x)) for x in lats])
    for x, e in zip(LATS, expected):
        assert_same_bits(scalar(x), e)
    assert_same_bits(array(lats), expected)  # long enough to be split on the pool


def test_arc_lon_matches_the_polynomial_times_cosine():
    pairs = [(lon, lat) for lon in LONS for lat in LATS]
    pairs += list(zip(rng.uniform(-400.0, 400.0, len(RANDOM_LATS)), RANDOM_LATS))
    lon, lat = (np.array(c) for c in zip(*pairs))
    expected = np.array([arc_lon_wgs84(float(a), float(b)) for a, b in pairs])
    for (a, b), e in zip(pairs[:200], expected):
        assert_same_bits(g.arc_lon_wgs84_scalar(a, b), e)
    assert_same_bits(g.arc_lon_wgs84_array(lon, lat), expected)


def test_reference_values():
    assert g.rad_lat_wgs84_scalar(0.0) == 6378137.0
    assert g.arc_lat_wgs84_scalar(0.0) == 0.0
    assert g.arc_lon_wgs84_scalar(1.0, 0.0) == A[0]
    assert g.arc_lat_wgs84_scalar(90.0) == pytest.approx(10001965.729, abs=1e-2)
    assert g.rad_lat_wgs84_scalar(90.0) == pytest.approx(6356752.314245, abs=1e-5)
    assert g.arc_lon_wgs84_scalar(1.0, 90.0) == pytest.approx(6.8e-12, rel=0.01)
    assert g.arc_lon_wgs84_scalar(360.0, 0.0) == pytest.approx(360 * A[0], rel=1e-15)
    for lat in (10.0, 45.0, 80.0):  # the closed form of the radius
        phi = math.radians(lat)
        b = 6356752.314245179
        closed = math.hypot(6378137.0 * math.cos(phi), b * math.sin(phi))
        assert g.rad_lat_wgs84_scalar(lat) == pytest.approx(closed, abs=2e-9)


@pytest.mark.parametrize("lat", [1.0, 33.3, 90.0, 123.4])
def test_symmetry(lat):
    assert_same_bits(g.arc_lat_wgs84_scalar(-lat), -g.arc_lat_wgs84_scalar(lat))
    assert_same_bits(g.rad_lat_wgs84_scalar(-lat), g.rad_lat_wgs84_scalar(lat))
    assert_same_bits(g.arc_lon_wgs84_scalar(2.0, -lat), g.arc_lon_wgs84_scalar(2.0, lat))
    assert_same_bits(g.arc_lon_wgs84_scalar(-2.0, lat), -g.arc_lon_wgs84_scalar(2.0, lat))


def test_infinities():
    for f in (g.rad_lat_wgs84_scalar, g.arc_lat_wgs84_scalar):
        assert math.isnan(f(math.inf)) and math.isnan(f(-math.inf))
    assert math.isnan(g.arc_lon_wgs84_scalar(1.0, math.inf))
    assert g.arc_lon_wgs84_scalar(math.inf, 10.0) == math.inf


@pytest.mark.parametrize(("nlon", "nlat"), [(3, 2), (2, 3), (0, 1)])
def test_arc_lon_array_length_message(nlon, nlat):
    with pytest.raises(ValueError) as info:
        g.arc_lon_wgs84_array(np.zeros(nlon), np.zeros(nlat))
    assert str(info.value) == f"lon and lat must have the same length ({nlon} != {nlat})"


def test_arc_lon_array_reports_contiguity_before_lengths():
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        g.arc_lon_wgs84_array(np.zeros(3), np.zeros(8)[::2])


def test_empty_arrays():
    for result in (g.rad_lat_wgs84_array(np.zeros(0)), g.arc_lat_wgs84_array(np.zeros(0)),
                   g.arc_lon_wgs84_array(np.zeros(0), np.zeros(0))):
        assert result.shape == (0,) and result.dtype == np.float64


def test_submodule_table():
    assert g.__all__ == ["rad_lat_wgs84_scalar", "arc_lat_wgs84_scalar", "arc_lon_wgs84_scalar",
                         "rad_lat_wgs84_array", "arc_lat_wgs84_array", "arc_lon_wgs84_array"]
    for name in g.__all__:
        f = getattr(g, name)
        expected = "(lon, lat)" if name.startswith("arc_lon") else "(lat)"
        assert (f.__text_signature__, f.__doc__, f.__module__) == (expected, None, "gradient")
