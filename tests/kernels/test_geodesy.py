"""WGS84 radius and arc lengths of the gradient submodule."""

import math

import numpy as np
import pytest
from bitwise import SPECIAL_VALUES, assert_same_bits
from reference import cos

from _tamrix_rs import gradient as g

DEG = 0.017453292519943295
A = [111319.49079327357, -0.0378342436432244, 2.29342105667605e-06, -6.520031443198045e-11,
     1.0143337718412824e-15, -7.41522084948105e-21, -5.27941504241845e-26, 2.4406211357764938e-30,
     -3.279138990183233e-35, -3.350382323408522e-41, 1.1134413674222145e-44,
     -2.3861377131982986e-49, 1.525426736367372e-54, 5.304881100850421e-59,
     -1.864384562472489e-63, 2.433807000993869e-68, 1.611401810883346e-73, -1.421162696494856e-77,
     2.9002318816051725e-82, -1.2144779371911704e-87, -9.674727283335441e-92,
     3.0434557776166466e-96, -3.533134255333659e-101, -4.700573154025537e-106,
     2.870863923587194e-110]
R = [6378137.0, -6.503227445479265, 0.0006570167359698562, -2.6149919879148737e-08,
     5.230533972968213e-13, -4.67346944715945e-18, -3.93234660296995e-23, 2.097559357056278e-27,
     -3.193974017762929e-32, -3.6472925708443197e-38, 1.3397053128599297e-41,
     -3.1444592669749843e-46, 2.1850128487566425e-51, 8.206577043230964e-56,
     -3.0978196377515274e-60, 4.3228529484965665e-65, 3.046775254490674e-70,
     -2.849931857870538e-74, 6.148328717734688e-79, -2.7137939443995255e-84,
     -2.2727162692282764e-88, 7.498218361262015e-93, -9.109515657767203e-98,
     -1.2658181141853572e-102, 8.059930932517799e-107]


def powers(x):
    p = {2: x * x}
    for e in (4, 8, 16, 32):
        p[e] = p[e // 2] * p[e // 2]
    p[6] = p[2] * p[4]
    p[10], p[12], p[14] = p[2] * p[8], p[4] * p[8], p[6] * p[8]
    for e in range(2, 16, 2):
        p[e + 16] = p[e] * p[16]
        p[e + 32] = p[e] * p[32]
    p[48] = p[32] * p[16]
    return p


def arc_lat(x):
    p = powers(x)
    s = A[0] + A[1] * p[2]
    for k in range(2, 25):
        s = A[k] * p[2 * k] + s
    return s * x


def rad_lat(x):
    p = powers(x)
    s = R[24] * p[48]
    for k in range(23, 0, -1):
        s = R[k] * p[2 * k] + s
    return s + R[0]


def times(a, b):
    """a * b as the C product a * b gives it when both are NaN: a's NaN. Python's own
    `*` keeps either one, depending on how the interpreter was compiled."""
    return a * 1.0 if math.isnan(a) and math.isnan(b) else a * b


def arc_lon(lon, lat):
    return times(times(cos(lat * DEG), rad_lat(lat)), lon) * DEG


EDGE_LATS = [0.0, 1.0, 45.0, 89.99999999999999, 90.0, 90.00000000000001, 100.0, 180.0, 1e3, 1e-200]
LATS = EDGE_LATS + [-x for x in EDGE_LATS] + SPECIAL_VALUES
LONS = [1.0, -1.0, 360.0, 0.5, *SPECIAL_VALUES]
rng = np.random.default_rng(20240501)
RANDOM_LATS = np.concatenate([rng.uniform(-95.0, 95.0, 3000), rng.normal(0.0, 300.0, 200)])


@pytest.mark.parametrize(("name", "reference"), [("rad_lat", rad_lat), ("arc_lat", arc_lat)])
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
    expected = np.array([arc_lon(float(a), float(b)) for a, b in pairs])
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
