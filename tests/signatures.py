"""The documented parameter kinds of every function, and valid calls built from them.

Kinds, one letter per parameter: F float, B flag, O optional float, C count,
A float64 array.
"""

import numpy as np

import _tamrix_rs

KINDS = {
    "dewtemp_scalar": "FF", "heat_index_scalar": "FFB", "relhum_ice_scalar": "FFF",
    "relhum_water_scalar": "FFF", "relhum_scalar": "FFF", "max_daylight_scalar": "FF",
    "saturation_vapor_pressure_scalar": "F", "saturation_vapor_pressure_slope_scalar": "F",
    "psychrometric_constant_scalar": "F", "dewtemp_array": "AA", "heat_index_array": "AAB",
    "relhum_ice_array": "AAA", "relhum_water_array": "AAA", "relhum_array": "AAA",
    "max_daylight_grid": "AA", "saturation_vapor_pressure_array": "A",
    "saturation_vapor_pressure_slope_array": "A", "psychrometric_constant_array": "A",
    "rad_lat_wgs84_scalar": "F", "arc_lat_wgs84_scalar": "F", "arc_lon_wgs84_scalar": "FF",
    "rad_lat_wgs84_array": "A", "arc_lat_wgs84_array": "A", "arc_lon_wgs84_array": "AA",
    "temp_extrapolate_scalar": "FFFFF", "geo_height_extrapolate_scalar": "FFFFF",
    "pressure_at_hybrid_level_scalar": "FFFF", "temp_extrapolate_array": "AFAAA",
    "geo_height_extrapolate_array": "AFAAA", "pressure_at_hybrid_levels_array": "AAAF",
    "delta_pressure_1d": "AFO", "interpolate_columns": "AAACC",
}

FUNCTIONS = {name: getattr(m, name)
             for m in (getattr(_tamrix_rs, s) for s in _tamrix_rs.__all__) for name in m.__all__}

# Functions whose array arguments must all have one length.
EQUAL_LENGTHS = {name for name, kinds in KINDS.items()
                 if kinds.count("A") >= 2 and name not in (
                     "max_daylight_grid", "pressure_at_hybrid_levels_array", "interpolate_columns")}


def parameters(name):
    return FUNCTIONS[name].__text_signature__.strip("()").replace("=None", "").split(", ")


def valid_arguments(name, n=5):
    """A call that succeeds: plausible values, every array of length n
    (interpolate_columns: n columns of two levels onto three targets)."""
    values = {"F": 280.0, "B": False, "O": 10.0, "C": 1}
    args = []
    for i, kind in enumerate(KINDS[name]):
        if kind == "A":
            args.append(np.linspace(250.0 + i, 300.0 + i, n))
        else:
            args.append(values[kind])
    if name == "interpolate_columns":
        xp = np.tile([1.0, 2.0], n)
        args = [xp, xp * 10.0, np.array([1.0, 1.5, 3.0]), 2, n]
    return args
