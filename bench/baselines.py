"""What a user would write instead of each `_tamrix_rs` array function.

Every formula here is the one the module computes, written the way it comes
naturally in NumPy: whole-array expressions, `np.where` for branches, table
lookups through `np.clip` and `astype(int)`, broadcasting for outer products.
The operations keep the module's order wherever NumPy's natural spelling
allows, so both sides do the same arithmetic (tests/test_bench_quick.py checks
that they agree). The numexpr strings are the same formulas again, for the
functions that fit numexpr's expression language (no table lookups, no
sequential column scans).
"""

import numpy as np

# --- Constants shared with the kernels ---------------------------------------

# Saturation vapour pressure in tenths of a pascal at 1 K spacing from
# 173.16 K; the last entry repeats the one before, so index i + 1 is always
# valid after the clamp.
SATURATION_TABLE_DECIPASCAL = np.array([
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
], dtype=np.float64)

HEAT_INDEX_STANDARD = (-42.379, 2.04901523, 10.14333127, -0.22475541, -0.00683783,
                       -0.05481717, 0.00122874, 0.00085282, -1.99e-06)
HEAT_INDEX_ALTERNATE = (0.363445176, 0.988622465, 4.777114035, -0.114037667, -0.000850208,
                        -0.020716198, 0.000687678, 0.000274954, 0.0)

DAY_ANGLE_PER_DAY = 0.01721420632103996
RADIANS_PER_DEGREE = 0.017453292519943295
HOURS_PER_HOUR_ANGLE = 7.639437268410976

LAPSE_RATE = 0.0065
DRY_AIR_GAS_CONSTANT = 287.04
INVERSE_GRAVITY = 0.10197671667604852
ALPHA = 0.19026407890550429
ONE_SIXTH = 0.16666666666666666

# WGS84 polynomials in lat**2 (lowest power first).
MERIDIAN_ARC_COEFFICIENTS = np.array([
    111319.49079327357, -0.0378342436432244, 2.29342105667605e-06,
    -6.520031443198045e-11, 1.0143337718412824e-15, -7.41522084948105e-21,
    -5.27941504241845e-26, 2.4406211357764938e-30, -3.279138990183233e-35,
    -3.350382323408522e-41, 1.1134413674222145e-44, -2.3861377131982986e-49,
    1.525426736367372e-54, 5.304881100850421e-59, -1.864384562472489e-63,
    2.433807000993869e-68, 1.611401810883346e-73, -1.421162696494856e-77,
    2.9002318816051725e-82, -1.2144779371911704e-87, -9.674727283335441e-92,
    3.0434557776166466e-96, -3.533134255333659e-101, -4.700573154025537e-106,
    2.870863923587194e-110,
])
RADIUS_COEFFICIENTS = np.array([
    6378137.0, -6.503227445479265, 0.0006570167359698562,
    -2.6149919879148737e-08, 5.230533972968213e-13, -4.67346944715945e-18,
    -3.93234660296995e-23, 2.097559357056278e-27, -3.193974017762929e-32,
    -3.6472925708443197e-38, 1.3397053128599297e-41, -3.1444592669749843e-46,
    2.1850128487566425e-51, 8.206577043230964e-56, -3.0978196377515274e-60,
    4.3228529484965665e-65, 3.046775254490674e-70, -2.849931857870538e-74,
    6.148328717734688e-79, -2.7137939443995255e-84, -2.2727162692282764e-88,
    7.498218361262015e-93, -9.109515657767203e-98, -1.2658181141853572e-102,
    8.059930932517799e-107,
])


# --- NumPy ---------------------------------------------------------------------

def dewtemp(tk, rh):
    lhv = ((tk - 273.0) * -0.57 + 597.3) / 0.11024844720496894
    return (tk * lhv) / (lhv - np.log(rh * 0.01) * tk)


def heat_index(t, rh, alternate_coeffs=False):
    c1, c2, c3, c4, c5, c6, c7, c8, c9 = (
        HEAT_INDEX_ALTERNATE if alternate_coeffs else HEAT_INDEX_STANDARD)
    threshold = 70.0 if alternate_coeffs else 79.0
    simple = (0.094 * rh + ((t - 68.0) * 1.2 + 61.0) + t) * 0.5
    hi = (c1 + c2 * t + c3 * rh + c4 * t * rh + c5 * t * t + c6 * rh * rh
          + c7 * t * t * rh + c8 * t * rh * rh + c9 * t * t * rh * rh)
    if not alternate_coeffs:
        dry = (t >= 80.0) & (t <= 112.0) & (rh <= 13.0)
        humid = (t >= 80.0) & (t <= 87.0) & (rh > 85.0)
        with np.errstate(invalid="ignore"):
            dry_adjustment = np.sqrt((17.0 - np.abs(t - 95.0)) / 17.0) * ((13.0 - rh) * -0.25)
        humid_adjustment = ((rh - 85.0) / 10.0) * ((87.0 - t) / 5.0)
        hi = np.where(dry, hi + dry_adjustment, np.where(humid, hi + humid_adjustment, hi))
    hi = np.where(simple < threshold, simple, hi)
    return np.where(t < 40.0, t, hi)


def relhum(t, w, p):
    tc = np.clip(t, 173.16, 375.16)
    i = (tc - 173.16).astype(np.intp)
    ti = i + 173.16
    table = SATURATION_TABLE_DECIPASCAL
    es = (table[i] * ((ti + 1.0) - tc) + table[i + 1] * (tc - ti)) * 0.1
    rh = (w * (p + -0.378 * es)) / (es * 0.622) * 100.0
    return np.fmax(rh, 0.0001)


def _relhum_from_saturation_hpa(es, w, p):
    ws = (0.622 * es) / (-0.378 * es + p * 0.01)
    return (w / ws) * 100.0


def relhum_ice(t, w, p):
    tc = t - 273.15
    es = np.exp(22.571 * tc / (tc + 273.71)) * 6.1128
    return _relhum_from_saturation_hpa(es, w, p)


def relhum_water(t, w, p):
    es = np.exp((t - 273.15) * 17.269 / (t - 35.86)) * 6.1128
    return _relhum_from_saturation_hpa(es, w, p)


def max_daylight_grid(jday, lat):
    declination = np.sin(jday * DAY_ANGLE_PER_DAY + -1.39) * 0.409
    x = np.tan(declination)[:, None] * -np.tan(lat * RADIANS_PER_DEGREE)[None, :]
    return (np.arccos(np.clip(x, -1.0, 1.0)) * HOURS_PER_HOUR_ANGLE).ravel()


def _celsius(temperature_f):
    return ((temperature_f + -32.0) * 5.0) / 9.0


def saturation_vapor_pressure(temperature_f):
    c = _celsius(temperature_f)
    with np.errstate(invalid="ignore", over="ignore"):
        return np.where(c > 0.0, np.exp((17.27 * c) / (c + 237.3)) * 0.6108, np.nan)


def saturation_vapor_pressure_slope(temperature_f):
    c = _celsius(temperature_f)
    d = c + 237.3
    with np.errstate(invalid="ignore", over="ignore"):
        slope = ((np.exp((17.27 * c) / d) * 0.6108) * 4096.0) / (d * d)
    return np.where(c > 0.0, slope, np.nan)


def psychrometric_constant(pressure_kpa):
    return pressure_kpa * 0.00066474


def rad_lat_wgs84(lat):
    return np.polynomial.polynomial.polyval(lat * lat, RADIUS_COEFFICIENTS)


def arc_lat_wgs84(lat):
    return np.polynomial.polynomial.polyval(lat * lat, MERIDIAN_ARC_COEFFICIENTS) * lat


def arc_lon_wgs84(lon, lat):
    return np.cos(lat * RADIANS_PER_DEGREE) * rad_lat_wgs84(lat) * lon * RADIANS_PER_DEGREE


def _surface(t_bot, lev, p_sfc, ps, phi_sfc):
    t_star = ((ps / p_sfc + -1.0) * ALPHA + 1.0) * t_bot
    height = INVERSE_GRAVITY * phi_sfc
    t_sea = LAPSE_RATE * height + t_star
    return t_star, height, t_sea, np.log(lev / ps)


def temp_extrapolate(t_bot, lev, p_sfc, ps, phi_sfc):
    t_star, height, t_sea, log_ratio = _surface(t_bot, lev, p_sfc, ps, phi_sfc)
    plateau = np.minimum(t_sea, 298.0)
    target = np.where(height > 2500.0, plateau,
                      ((height - 2000.0) * plateau + (2500.0 - height) * t_sea) * 0.002)
    with np.errstate(divide="ignore", invalid="ignore"):
        terrain = log_ratio * (((target - t_star) * DRY_AIR_GAS_CONSTANT) / phi_sfc)
    a = np.where(height < 2000.0, log_ratio * ALPHA, np.where(target >= t_star, terrain, 0.0))
    return t_star * (((ONE_SIXTH * a) * a) * a + ((1.0 + a) + (0.5 * a) * a))


def geo_height_extrapolate(t_bot, lev, p_sfc, ps, phi_sfc):
    t_star, height, t_sea, log_ratio = _surface(t_bot, lev, p_sfc, ps, phi_sfc)
    warm_sea = t_sea > 290.5
    both_warm = warm_sea & (t_star > 290.5)
    with np.errstate(divide="ignore", invalid="ignore"):
        lapse = (290.5 - t_star) * (DRY_AIR_GAS_CONSTANT / phi_sfc)
    k = np.where(both_warm, 0.0, np.where(warm_sea, lapse, ALPHA))
    t_surface = np.where(both_warm, (t_star + 290.5) * 0.5, t_star)
    t_surface = np.where(t_surface < 255.0, (t_surface + 255.0) * 0.5, t_surface)
    a = k * log_ratio
    scale = ((t_surface * DRY_AIR_GAS_CONSTANT) * INVERSE_GRAVITY) * log_ratio
    return height - (((ONE_SIXTH * a) * a) + (0.5 * a + 1.0)) * scale


def pressure_at_hybrid_levels(hya, hyb, psfc, p0):
    return (hyb[:, None] * psfc[None, :] + hya[:, None] * p0).ravel()


def delta_pressure_1d(pressure_lev, surface_pressure, pressure_top=None):
    n = len(pressure_lev)
    dp = np.zeros(n)
    if n == 0:
        return dp
    reversed_ = n >= 2 and pressure_lev[0] > pressure_lev[-1]
    q = pressure_lev[::-1] if reversed_ else pressure_lev
    out = dp[::-1] if reversed_ else dp
    top = pressure_top
    if top is None:
        top = np.min(q, initial=np.inf, where=~np.isnan(q))
    above = np.flatnonzero(surface_pressure >= q)
    g = above[-1] if len(above) else 0
    if g == 0:
        out[0] = surface_pressure - top
        return dp
    out[0] = (q[0] + q[1]) * 0.5 - top
    out[1:g] = (q[2:g + 1] - q[:g - 1]) * 0.5
    out[g] = surface_pressure + (q[g] + q[g - 1]) * -0.5
    return dp


def interpolate_columns_loop(xp_flat, data_flat, new_levels, nlev_in, ncols, columns=None):
    """One `numpy.interp` per column (ascending columns only: np.interp's
    requirement). `columns` limits the loop to the first few columns, for
    timing a subset of a large batch."""
    xp = xp_flat[:nlev_in * ncols].reshape(ncols, nlev_in)
    data = data_flat[:nlev_in * ncols].reshape(ncols, nlev_in)
    count = ncols if columns is None else min(columns, ncols)
    out = np.empty((count, len(new_levels)))
    for j in range(count):
        out[j] = np.interp(new_levels, xp[j], data[j], left=np.nan, right=np.nan)
    return out.ravel()


def interpolate_columns_vectorised(xp_flat, data_flat, new_levels, nlev_in, ncols, block=2048):
    """Blocks of columns at once (a block's levels stay in cache): for each
    target, one broadcast comparison against every level of the block and
    `argmax` for the first qualifying level; then the bracketing pairs are
    gathered and interpolated for the whole block. Handles both directions.

    A qualifying level always exists for an in-range target (the last level
    is one), so `argmax`'s 0 for "none" only matters for NaN targets, which
    take the fallback level explicitly."""
    n = nlev_in
    g = np.asarray(new_levels)
    nan_targets = np.isnan(g)
    xp = xp_flat[:n * ncols].reshape(ncols, n)
    data = data_flat[:n * ncols].reshape(ncols, n)
    out = np.empty((ncols, len(g)))
    for lo in range(0, ncols, block):
        x = xp[lo:lo + block]
        d = data[lo:lo + block]
        ascending = x[:, -1] >= x[:, 0]
        all_ascending, all_descending = ascending.all(), not ascending.any()
        i1 = np.empty((len(x), len(g)), dtype=np.intp)
        for k, target in enumerate(g):
            if all_ascending:
                qualifies = x >= target
            elif all_descending:
                qualifies = x <= target
            else:
                qualifies = np.where(ascending[:, None], x >= target, x <= target)
            i1[:, k] = qualifies.argmax(axis=1)
        if nan_targets.any():
            i1[:, nan_targets] = np.where(ascending, n - 1, 0)[:, None]
        i0 = np.maximum(i1 - 1, 0)
        x0 = np.take_along_axis(x, i0, axis=1)
        x1 = np.take_along_axis(x, i1, axis=1)
        d0 = np.take_along_axis(d, i0, axis=1)
        d1 = np.take_along_axis(d, i1, axis=1)
        width = x1 - x0
        with np.errstate(divide="ignore", invalid="ignore"):
            value = (d1 - d0) * ((g - x0) / width) + d0
        value = np.where(np.abs(width) < 1e-30, d0, value)
        low = np.where(ascending, x[:, 0], x[:, -1])[:, None]
        high = np.where(ascending, x[:, -1], x[:, 0])[:, None]
        out[lo:lo + block] = np.where((g < low) | (g > high), np.nan, value)
    return out.ravel()


# --- numexpr -------------------------------------------------------------------

def _horner(coefficients, x):
    """Horner's scheme as one numexpr expression, highest power innermost."""
    expression = repr(float(coefficients[-1]))
    for c in reversed(coefficients[:-1]):
        expression = f"({expression}) * {x} + {float(c)!r}"
    return expression


_RADIUS_EXPR = _horner(RADIUS_COEFFICIENTS, "(lat * lat)")
_ARC_EXPR = f"({_horner(MERIDIAN_ARC_COEFFICIENTS, '(lat * lat)')}) * lat"

_HEAT_INDEX_POLY = ("{c1!r} + {c2!r} * t + {c3!r} * rh + {c4!r} * t * rh + {c5!r} * t * t"
                    " + {c6!r} * rh * rh + {c7!r} * t * t * rh + {c8!r} * t * rh * rh"
                    " + {c9!r} * t * t * rh * rh")
_SIMPLE = "(0.094 * rh + ((t - 68.0) * 1.2 + 61.0) + t) * 0.5"


def _heat_index_expr(alternate):
    names = ("c1", "c2", "c3", "c4", "c5", "c6", "c7", "c8", "c9")
    coefficients = HEAT_INDEX_ALTERNATE if alternate else HEAT_INDEX_STANDARD
    poly = _HEAT_INDEX_POLY.format(**dict(zip(names, coefficients)))
    if alternate:
        hi = poly
        threshold = 70.0
    else:
        dry = ("where((t >= 80.0) & (t <= 112.0) & (rh <= 13.0), "
               f"({poly}) + sqrt((17.0 - abs(t - 95.0)) / 17.0) * ((13.0 - rh) * -0.25), ")
        humid = ("where((t >= 80.0) & (t <= 87.0) & (rh > 85.0), "
                 f"({poly}) + ((rh - 85.0) / 10.0) * ((87.0 - t) / 5.0), {poly}))")
        hi = dry + humid
        threshold = 79.0
    return f"where(t < 40.0, t, where({_SIMPLE} < {threshold!r}, {_SIMPLE}, {hi}))"


_T_STAR = "(((ps / p_sfc + -1.0) * {alpha!r} + 1.0) * t_bot)".format(alpha=ALPHA)
_HEIGHT = f"({INVERSE_GRAVITY!r} * phi_sfc)"
_T_SEA = f"({LAPSE_RATE!r} * {_HEIGHT} + {_T_STAR})"
_LOG_RATIO = "log(lev / ps)"
_PLATEAU = f"minimum({_T_SEA}, 298.0)"
_TARGET = (f"where({_HEIGHT} > 2500.0, {_PLATEAU}, "
           f"(({_HEIGHT} - 2000.0) * {_PLATEAU} + (2500.0 - {_HEIGHT}) * {_T_SEA}) * 0.002)")
_A_TEMP = (f"where({_HEIGHT} < 2000.0, {_LOG_RATIO} * {ALPHA!r}, "
           f"where({_TARGET} >= {_T_STAR}, "
           f"{_LOG_RATIO} * ((({_TARGET} - {_T_STAR}) * {DRY_AIR_GAS_CONSTANT!r})"
           " / phi_sfc), 0.0))")
_WARM_SEA = f"({_T_SEA} > 290.5)"
_BOTH_WARM = f"({_WARM_SEA} & ({_T_STAR} > 290.5))"
_K_GEO = (f"where({_BOTH_WARM}, 0.0, where({_WARM_SEA}, "
          f"(290.5 - {_T_STAR}) * ({DRY_AIR_GAS_CONSTANT!r} / phi_sfc), {ALPHA!r}))")
_T_SURF0 = f"where({_BOTH_WARM}, ({_T_STAR} + 290.5) * 0.5, {_T_STAR})"
_T_SURF = f"where({_T_SURF0} < 255.0, ({_T_SURF0} + 255.0) * 0.5, {_T_SURF0})"

NUMEXPR = {
    "dewtemp": "(tk * (((tk - 273.0) * -0.57 + 597.3) / 0.11024844720496894)) / "
               "((((tk - 273.0) * -0.57 + 597.3) / 0.11024844720496894) - log(rh * 0.01) * tk)",
    "heat_index": _heat_index_expr(False),
    "relhum_ice": "(w / ((0.622 * (exp(22.571 * (t - 273.15) / ((t - 273.15) + 273.71)) * 6.1128))"
                  " / (-0.378 * (exp(22.571 * (t - 273.15) / ((t - 273.15) + 273.71)) * 6.1128)"
                  " + p * 0.01))) * 100.0",
    "relhum_water": "(w / ((0.622 * (exp((t - 273.15) * 17.269 / (t - 35.86)) * 6.1128))"
                    " / (-0.378 * (exp((t - 273.15) * 17.269 / (t - 35.86)) * 6.1128)"
                    " + p * 0.01))) * 100.0",
    # tan_decl is a column (days, 1), lat_term a row (1, lats): numexpr broadcasts.
    "max_daylight_grid": f"arccos(maximum(minimum(tan_decl * lat_term, 1.0), -1.0))"
                         f" * {HOURS_PER_HOUR_ANGLE!r}",
    "saturation_vapor_pressure":
        "where(((t + -32.0) * 5.0) / 9.0 > 0.0,"
        " exp((17.27 * (((t + -32.0) * 5.0) / 9.0)) / ((((t + -32.0) * 5.0) / 9.0) + 237.3))"
        " * 0.6108, nan)",
    "saturation_vapor_pressure_slope":
        "where(((t + -32.0) * 5.0) / 9.0 > 0.0,"
        " ((exp((17.27 * (((t + -32.0) * 5.0) / 9.0)) / ((((t + -32.0) * 5.0) / 9.0) + 237.3))"
        " * 0.6108) * 4096.0) / (((((t + -32.0) * 5.0) / 9.0) + 237.3)"
        " * ((((t + -32.0) * 5.0) / 9.0) + 237.3)), nan)",
    "psychrometric_constant": "p * 0.00066474",
    "rad_lat_wgs84": _RADIUS_EXPR,
    "arc_lat_wgs84": _ARC_EXPR,
    "arc_lon_wgs84": f"cos(lat * {RADIANS_PER_DEGREE!r}) * ({_RADIUS_EXPR}) * lon"
                     f" * {RADIANS_PER_DEGREE!r}",
    "temp_extrapolate": f"{_T_STAR} * ((({ONE_SIXTH!r} * @A@) * @A@) * @A@"
                        " + ((1.0 + @A@) + (0.5 * @A@) * @A@))",
    "geo_height_extrapolate": (
        f"{_HEIGHT} - ((({ONE_SIXTH!r} * @A@) * @A@) + (0.5 * @A@ + 1.0))"
        f" * ((({_T_SURF} * {DRY_AIR_GAS_CONSTANT!r}) * {INVERSE_GRAVITY!r}) * {_LOG_RATIO})"),
    # hyb and hya are columns (levels, 1), psfc a row (1, points).
    "pressure_at_hybrid_levels": "hyb * psfc + hya * p0",
}
NUMEXPR["temp_extrapolate"] = NUMEXPR["temp_extrapolate"].replace("@A@", f"({_A_TEMP})")
NUMEXPR["geo_height_extrapolate"] = NUMEXPR["geo_height_extrapolate"].replace(
    "@A@", f"({_K_GEO} * {_LOG_RATIO})")


def numexpr_call(name, **arrays):
    """Evaluates the numexpr form of `name`; broadcasting shapes for the
    outer-product functions are set up here, as a user would."""
    import numexpr

    if name == "max_daylight_grid":
        jday, lat = arrays["jday"], arrays["lat"]
        declination = np.sin(jday * DAY_ANGLE_PER_DAY + -1.39) * 0.409
        arrays = {"tan_decl": np.tan(declination)[:, None],
                  "lat_term": -np.tan(lat * RADIANS_PER_DEGREE)[None, :]}
    elif name == "pressure_at_hybrid_levels":
        arrays = {"hya": arrays["hya"][:, None], "hyb": arrays["hyb"][:, None],
                  "psfc": arrays["psfc"][None, :], "p0": arrays["p0"]}
    result = numexpr.evaluate(NUMEXPR[name], local_dict=dict(arrays, nan=np.nan))
    return result.ravel()
