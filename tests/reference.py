"""Transcriptions of every function of the module, written from the documented formulas.

Each step is a Python float operation (IEEE binary64, no fused multiply-add)
in the documented order, and the elementary functions are the C library's,
called through ctypes, so a result must equal the module's bit for bit; only
the payload of a NaN result may differ. Division goes through `div`, which
gives IEEE results for a zero divisor where Python's `/` raises.

`reference(name, args)` evaluates any of the 32 functions: a float, a list of
floats, or an `Error` naming the exception type and the acceptable messages.
"""

import ctypes
import ctypes.util
import math
import os
from dataclasses import dataclass

import numpy as np
from bitwise import assert_matches_formula

_libm = ctypes.CDLL(ctypes.util.find_library("m"))


def _c_function(name):
    function = getattr(_libm, name)
    function.restype, function.argtypes = ctypes.c_double, [ctypes.c_double]
    return function


exp, log, sin, tan, acos, cos, sqrt = map(_c_function, ["exp", "log", "sin", "tan", "acos", "cos", "sqrt"])


def log_array(values):
    """The C library's log of every element (what ln p interpolation uses)."""
    values = np.asarray(values, dtype=np.float64)
    return np.array([log(v) for v in values.ravel().tolist()]).reshape(values.shape)


def div(a, b):
    if b != 0.0:
        return a / b
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


@dataclass(frozen=True)
class Error:
    """The call must raise `type` (or one of a tuple of types) with one of
    `messages` (None: any message), or a TypeError starting with `prefix`."""

    type: type | str | tuple
    messages: frozenset | None = None
    prefix: str | None = None


PANIC = "PanicException"  # the type has no importable name; matched by name


# --- meteorology -------------------------------------------------------------

def dewtemp(tk, rh):
    lhv = (((tk - 273.0) * -0.57) + 597.3) / 0.11024844720496894
    g = log(rh * 0.01)
    return div(tk * lhv, lhv - g * tk)


HEAT_INDEX = {
    False: (-42.379, 2.04901523, 10.14333127, -0.22475541, -0.00683783, -0.05481717, 0.00122874,
            0.00085282, -1.99e-06),
    True: (0.363445176, 0.988622465, 4.777114035, -0.114037667, -0.000850208, -0.020716198,
           0.000687678, 0.000274954, 0.0),
}


def heat_index(t, rh, alternate):
    if t < 40.0:
        return t
    simple = (0.094 * rh + ((t - 68.0) * 1.2 + 61.0) + t) * 0.5
    if simple < (70.0 if alternate else 79.0):
        return simple
    c1, c2, c3, c4, c5, c6, c7, c8, c9 = HEAT_INDEX[alternate]
    hi = c1 + c2 * t
    for term in (c3 * rh, c4 * t * rh, c5 * t * t, c6 * rh * rh, c7 * t * t * rh, c8 * t * rh * rh,
                 c9 * t * t * rh * rh):
        hi = hi + term
    if alternate:
        return hi
    if t >= 80.0 and t <= 112.0 and rh <= 13.0:
        hi = hi + sqrt((17.0 - abs(t - 95.0)) / 17.0) * ((13.0 - rh) * -0.25)
    elif t >= 80.0 and t <= 87.0 and rh > 85.0:
        hi = hi + ((rh - 85.0) / 10.0) * ((87.0 - t) / 5.0)
    return hi


# Saturation vapour pressure in tenths of a pascal, 1 K apart from 173.16 K;
# the last entry repeats the one for 375.16 K.
SATURATION_TABLE = [
    0.01403, 0.01719, 0.02101, 0.02561, 0.03117, 0.03784, 0.04584, 0.05542, 0.06685, 0.08049,
    0.09672, 0.116, 0.1388, 0.1658, 0.1977, 0.2353, 0.2796, 0.3316, 0.3925, 0.4638,
    0.5472, 0.6444, 0.7577, 0.8894, 1.042, 1.22, 1.425, 1.662, 1.936, 2.252,
    2.615, 3.032, 3.511, 4.06, 4.688, 5.406, 6.225, 7.159, 8.223, 9.432,
    10.8, 12.36, 14.13, 16.12, 18.38, 20.92, 23.8, 27.03, 30.67, 34.76,
    39.35, 44.49, 50.26, 56.71, 63.93, 71.98, 80.97, 90.98, 102.1, 114.5,
    128.3, 143.6, 160.6, 179.4, 200.2, 223.3, 248.8, 276.9, 307.9, 342.1,
    379.8, 421.3, 466.9, 517, 572, 632.3, 698.5, 770.9, 850.2, 937,
    1032, 1146.6, 1272, 1408.1, 1556.7, 1716.9, 1890.3, 2077.6, 2279.6, 2496.7,
    2729.8, 2980, 3247.8, 3534.1, 3839.8, 4164.8, 4510.5, 4876.9, 5265.1, 5675.2,
    6107.8, 6566.2, 7054.7, 7575.3, 8129.4, 8719.2, 9346.5, 10013, 10722, 11474,
    12272, 13119, 14017, 14969, 15977, 17044, 18173, 19367, 20630, 21964,
    23373, 24861, 26430, 28086, 29831, 31671, 33608, 35649, 37796, 40055,
    42430, 44927, 47551, 50307, 53200, 56236, 59422, 62762, 66264, 69934,
    73777, 77802, 82015, 86423, 91034, 95855, 100890, 106160, 111660, 117400,
    123400, 129650, 136170, 142980, 150070, 157460, 165160, 173180, 181530, 190220,
    199260, 208670, 218450, 228610, 239180, 250160, 261560, 273400, 285700, 298450,
    311690, 325420, 339650, 354410, 369710, 385560, 401980, 418980, 436590, 454810,
    473670, 493170, 513350, 534220, 555800, 578090, 601130, 624940, 649530, 674920,
    701130, 728190, 756110, 784920, 814630, 845280, 876880, 909450, 943020, 977610,
    1013250, 1049940, 1087740, 1087740,
]  # fmt: skip


def relhum(t, w, p):
    tc = t
    if tc < 173.16:
        tc = 173.16
    if tc > 375.16:
        tc = 375.16
    x = tc - 173.16
    i = 0 if math.isnan(x) else min(int(x), 202)
    ti = float(i) + 173.16
    e10 = SATURATION_TABLE[i] * ((ti + 1.0) - tc) + SATURATION_TABLE[i + 1] * (tc - ti)
    es = e10 * 0.1
    rh = div(w * (p + (-0.378 * es)), es * 0.622) * 100.0
    return rh if rh > 0.0001 else 0.0001


def _relhum_from_hpa(es, w, p):
    ws = div(0.622 * es, (-0.378 * es) + p * 0.01)
    return div(w, ws) * 100.0


def relhum_ice(t, w, p):
    tc = t - 273.15
    return _relhum_from_hpa(exp(div(22.571 * tc, tc + 273.71)) * 6.1128, w, p)


def relhum_water(t, w, p):
    return _relhum_from_hpa(exp(div((t - 273.15) * 17.269, t - 35.86)) * 6.1128, w, p)


def max_daylight(jday, lat):
    declination = sin(jday * 0.01721420632103996 + (-1.39)) * 0.409
    x = tan(declination) * -tan(lat * 0.017453292519943295)
    if x < -1.0:
        x = -1.0
    elif x > 1.0:
        x = 1.0
    return acos(x) * 7.639437268410976


def _celsius(temperature_f):
    return ((temperature_f + (-32.0)) * 5.0) / 9.0


def saturation_vapor_pressure(temperature_f):
    c = _celsius(temperature_f)
    if not c > 0.0:
        return math.nan
    return exp(div(17.27 * c, c + 237.3)) * 0.6108


def saturation_vapor_pressure_slope(temperature_f):
    c = _celsius(temperature_f)
    if not c > 0.0:
        return math.nan
    d = c + 237.3
    return div((exp(div(17.27 * c, d)) * 0.6108) * 4096.0, d * d)


def psychrometric_constant(pressure_kpa):
    return pressure_kpa * 0.00066474


# --- gradient ------------------------------------------------------------------

DEG = 0.017453292519943295
# Meridian arc (A) and radius (R): coefficient k multiplies lat**(2k).
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


def _even_powers(x):
    """p[k] = x**(2k): squares up to x**32, the rest products of two of them."""
    p = [1.0] * 25
    p[1] = x * x
    for k in (2, 4, 8, 16):
        p[k] = p[k // 2] * p[k // 2]
    p[3] = p[1] * p[2]
    p[5] = p[1] * p[4]
    p[6] = p[2] * p[4]
    p[7] = p[3] * p[4]
    for m in range(1, 8):
        p[8 + m] = p[m] * p[8]
        p[16 + m] = p[m] * p[16]
    p[24] = p[16] * p[8]
    return p


def arc_lat_wgs84(lat):
    p = _even_powers(lat)
    s = A[0] + A[1] * p[1]
    for k in range(2, 25):
        s = A[k] * p[k] + s
    return s * lat


def rad_lat_wgs84(lat):
    p = _even_powers(lat)
    s = R[24] * p[24]
    for k in range(23, 0, -1):
        s = R[k] * p[k] + s
    return s + R[0]


def times(a, b):
    """a * b as the C product a * b gives it when both are NaN: a's NaN. Python's own
    `*` keeps either one, depending on how the interpreter was compiled."""
    return a * 1.0 if math.isnan(a) and math.isnan(b) else a * b


def arc_lon_wgs84(lon, lat):
    return times(times(cos(lat * DEG), rad_lat_wgs84(lat)), lon) * DEG


# --- interpolation -------------------------------------------------------------

ALPHA = 0.19026407890550429
INV_G = 0.10197671667604852
SIXTH = 0.16666666666666666


def _surface(t_bot, lev, p_sfc, ps, phi_sfc):
    t_star = ((div(ps, p_sfc) + -1.0) * ALPHA + 1.0) * t_bot
    h = INV_G * phi_sfc
    return t_star, h, 0.0065 * h + t_star, log(div(lev, ps))


# `branches`, when given, collects the name of the path taken, so that a test
# can show its inputs reach every one.

def temp_extrapolate(t_bot, lev, p_sfc, ps, phi_sfc, branches=None):
    t_star, h, t0, L = _surface(t_bot, lev, p_sfc, ps, phi_sfc)
    plateau = t0 if t0 < 298.0 else 298.0
    if 2000.0 <= h and h <= 2500.0:
        tx, branch = ((h - 2000.0) * plateau + (2500.0 - h) * t0) * 0.002, "blend"
    elif h > 2500.0:
        tx, branch = plateau, "plateau"
    else:
        tx, branch = math.nan, "low"
    if h < 2000.0:
        a = L * ALPHA
    elif tx >= t_star:
        a, branch = L * div((tx - t_star) * 287.04, phi_sfc), branch + "+lapse"
    else:
        a, branch = 0.0, branch + "+flat"
    if branches is not None:
        branches.add(branch)
    c2 = (0.5 * a) * a
    c3 = ((SIXTH * a) * a) * a
    return t_star * (c3 + ((1.0 + a) + c2))


def geo_height_extrapolate(t_bot, lev, p_sfc, ps, phi_sfc, branches=None):
    t_star, h, t0, L = _surface(t_bot, lev, p_sfc, ps, phi_sfc)
    ts = t_star
    if t0 > 290.5 and t_star > 290.5:
        k, ts, branch = 0.0, (t_star + 290.5) * 0.5, "A and B"
    elif t0 > 290.5:
        k, branch = (290.5 - t_star) * div(287.04, phi_sfc), "A only"
    else:
        k, branch = ALPHA, "not A"
    if ts < 255.0:
        ts, branch = (ts + 255.0) * 0.5, branch + "+cold"
    if branches is not None:
        branches.add(branch)
    a = k * L
    scale = ((ts * 287.04) * INV_G) * L
    return h - (((SIXTH * a) * a) + (0.5 * a + 1.0)) * scale


def pressure_at_hybrid_level(hya, hyb, psfc, p0):
    return hyb * psfc + hya * p0


def pressure_at_hybrid_levels(hya, hyb, psfc, p0):
    if len(hya) * len(psfc) and len(hyb) < len(hya):
        # The first level past the end of hyb stops the call; which one the
        # parallel schedule reaches first is open.
        return Error(PANIC, frozenset(f"index out of bounds: the len is {len(hyb)} but the index is {i}"
                                      for i in range(len(hyb), len(hya))))
    return [pressure_at_hybrid_level(a, b, s, p0) for a, b in zip(hya, hyb) for s in psfc]


def delta_pressure_1d(levels, ps, top=None):
    n = len(levels)
    if n == 0:
        return []
    reverse = n >= 2 and levels[0] > levels[-1]
    q = list(levels[::-1] if reverse else levels)
    if top is None:
        top = math.inf
        for level in q:
            if level < top:
                top = level
    g = next((i for i in range(n - 1, -1, -1) if ps >= q[i]), 0)
    dp = [0.0] * n
    if g == 0:
        dp[0] = ps - top
    else:
        dp[0] = (q[0] + q[1]) * 0.5 - top
        for j in range(1, g):
            dp[j] = (q[j + 1] - q[j - 1]) * 0.5
        dp[g] = ps + (q[g] + q[g - 1]) * -0.5
    return dp[::-1] if reverse else dp


def _column_failure(xp, data, nlev_in, j):
    start, end = j * nlev_in, (j + 1) * nlev_in
    for array in (xp, data):
        if start > len(array):
            return f"range start index {start} out of range for slice of length {len(array)}"
        if end > len(array):
            return f"range end index {end} out of range for slice of length {len(array)}"
    if nlev_in == 0:
        return "index out of bounds: the len is 0 but the index is 0"
    return None


def _interpolate(xp, data, g):
    n = len(xp)
    if xp[n - 1] >= xp[0]:
        if g < xp[0] or g > xp[n - 1]:
            return math.nan
        i = next((i for i in range(n) if xp[i] >= g), n - 1)
    else:
        if g > xp[0] or g < xp[n - 1]:
            return math.nan
        i = next((i for i in range(n) if xp[i] <= g), 0)
    i0 = i - 1 if i > 0 else 0
    x0, x1, d0, d1 = xp[i0], xp[i], data[i0], data[i]
    if abs(x1 - x0) < 1e-30:
        return d0
    return (d1 - d0) * div(g - x0, x1 - x0) + d0


def interpolate_columns(xp_flat, data_flat, new_levels, nlev_in, ncols):
    if len(new_levels) == 0:
        return Error(PANIC, frozenset(["chunk_size must not be zero"]))
    # Any failing column may be the one reported.
    failures = {_column_failure(xp_flat, data_flat, nlev_in, j) for j in range(ncols)} - {None}
    if failures:
        return Error(PANIC, frozenset(failures))
    out = []
    for j in range(ncols):
        xp = xp_flat[j * nlev_in:(j + 1) * nlev_in]
        data = data_flat[j * nlev_in:(j + 1) * nlev_in]
        out += [_interpolate(xp, data, g) for g in new_levels]
    return out


# --- the function table ----------------------------------------------------------

SCALAR = {
    "dewtemp_scalar": dewtemp,
    "heat_index_scalar": heat_index,
    "relhum_ice_scalar": relhum_ice,
    "relhum_water_scalar": relhum_water,
    "relhum_scalar": relhum,
    "max_daylight_scalar": max_daylight,
    "saturation_vapor_pressure_scalar": saturation_vapor_pressure,
    "saturation_vapor_pressure_slope_scalar": saturation_vapor_pressure_slope,
    "psychrometric_constant_scalar": psychrometric_constant,
    "rad_lat_wgs84_scalar": rad_lat_wgs84,
    "arc_lat_wgs84_scalar": arc_lat_wgs84,
    "arc_lon_wgs84_scalar": arc_lon_wgs84,
    "temp_extrapolate_scalar": temp_extrapolate,
    "geo_height_extrapolate_scalar": geo_height_extrapolate,
    "pressure_at_hybrid_level_scalar": pressure_at_hybrid_level,
}

# Element-wise array functions: the scalar function applied to element k of
# every array; parameters not in `arrays` are one scalar shared by all.
ELEMENTWISE = {
    "dewtemp_array": ("dewtemp_scalar", (0, 1)),
    "heat_index_array": ("heat_index_scalar", (0, 1)),
    "relhum_ice_array": ("relhum_ice_scalar", (0, 1, 2)),
    "relhum_water_array": ("relhum_water_scalar", (0, 1, 2)),
    "relhum_array": ("relhum_scalar", (0, 1, 2)),
    "saturation_vapor_pressure_array": ("saturation_vapor_pressure_scalar", (0,)),
    "saturation_vapor_pressure_slope_array": ("saturation_vapor_pressure_slope_scalar", (0,)),
    "psychrometric_constant_array": ("psychrometric_constant_scalar", (0,)),
    "rad_lat_wgs84_array": ("rad_lat_wgs84_scalar", (0,)),
    "arc_lat_wgs84_array": ("arc_lat_wgs84_scalar", (0,)),
    "arc_lon_wgs84_array": ("arc_lon_wgs84_scalar", (0, 1)),
    "temp_extrapolate_array": ("temp_extrapolate_scalar", (0, 2, 3, 4)),
    "geo_height_extrapolate_array": ("geo_height_extrapolate_scalar", (0, 2, 3, 4)),
}


def _length_error(name, params, lengths):
    if name in ("temp_extrapolate_array", "geo_height_extrapolate_array"):
        text = "All arrays must have the same length (got {}, {}, {}, {})".format(*lengths)
    elif len(lengths) == 2:
        text = "{} and {} must have the same length ({} != {})".format(*params, *lengths)
    else:
        text = "{}, {}, and {} must have the same length ({}, {}, {})".format(*params, *lengths)
    return Error(ValueError, frozenset([text]))


def elementwise(name, args, params):
    scalar_name, arrays = ELEMENTWISE[name]
    lengths = [len(args[i]) for i in arrays]
    if len(set(lengths)) > 1:
        return _length_error(name, [params[i] for i in arrays], lengths)
    kernel = SCALAR[scalar_name]
    return [kernel(*(args[i][k] if i in arrays else args[i] for i in range(len(args))))
            for k in range(lengths[0])]


def max_daylight_grid(jday, lat):
    return [max_daylight(d, x) for d in jday for x in lat]


OTHER_ARRAY = {
    "max_daylight_grid": max_daylight_grid,
    "pressure_at_hybrid_levels_array": pressure_at_hybrid_levels,
    "delta_pressure_1d": delta_pressure_1d,
    "interpolate_columns": interpolate_columns,
}


def reference(name, args, params=None):
    """The documented outcome of calling `name` with already converted arguments
    (floats, bools, ints, and lists of floats for arrays)."""
    if name in SCALAR:
        return SCALAR[name](*args)
    if name in ELEMENTWISE:
        return elementwise(name, args, params)
    return OTHER_ARRAY[name](*args)


# TAMRIX_EXAMPLES=2000 (say) makes a deeper search than the one CI runs.
EXAMPLES = int(os.environ.get("TAMRIX_EXAMPLES", "60"))


def outcome(function, *args):
    try:
        return function(*args)
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        return error


def assert_outcome(actual, expected):
    """`actual` (a result or the exception raised) matches the transcription."""
    if isinstance(expected, Error):
        assert isinstance(actual, BaseException), f"expected {expected}, got {actual!r}"
        kind = type(actual).__name__ if expected.type == PANIC else type(actual)
        assert kind == expected.type, repr(actual)
        assert expected.messages is None or str(actual) in expected.messages, str(actual)
        return
    assert not isinstance(actual, BaseException), f"unexpected {actual!r}"
    if isinstance(expected, list):
        assert isinstance(actual, np.ndarray) and actual.dtype == np.float64 and actual.ndim == 1
        assert actual.shape == (len(expected),)
        if not expected:
            return
    else:
        assert type(actual) is float
    assert_matches_formula(actual, expected)
