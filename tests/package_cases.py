"""The element-wise tamrix functions, their kernels and sample inputs, shared by
the package tests."""

import math
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

import _tamrix_rs
import tamrix


@dataclass(frozen=True)
class Case:
    function: Callable[..., Any]
    submodule: str
    scalar: str
    array: str
    # Per parameter: low and high of the sample range.
    ranges: tuple[tuple[float, float], ...]
    fixed: tuple[Any, ...] = ()
    # The array kernel takes one argument as a number (or is an outer
    # product): reference values come from the scalar kernel, element by
    # element (the two forms agree bit for bit).
    grouped: bool = False
    # Keywords of every call: relhum keeps the kernel's floor for NaN here,
    # so that it is compared with the kernel on every input.
    options: tuple[tuple[str, Any], ...] = ()

    @property
    def id(self):
        return self.function.__name__ + ("_alt" if self.fixed == (True,) else "")

    def scalar_kernel(self):
        return getattr(getattr(_tamrix_rs, self.submodule), self.scalar)

    def array_kernel(self):
        return getattr(getattr(_tamrix_rs, self.submodule), self.array)

    def sample(self, rng, shape):
        """Inputs of `shape`, with NaN and infinities among them."""
        arrays = []
        for low, high in self.ranges:
            values = rng.uniform(low, high, shape)
            flat = values.reshape(-1)
            if flat.size >= 8:
                flat[rng.integers(0, flat.size, 3)] = [math.nan, math.inf, -0.0]
            arrays.append(values)
        return arrays

    def reference(self, *values):
        """The kernel on the broadcast, flattened float64 inputs, reshaped."""
        broadcast = np.broadcast_arrays(*[np.asarray(v) for v in values])
        shape = broadcast[0].shape
        flat = [np.ascontiguousarray(b, dtype=np.float64).reshape(-1) for b in broadcast]
        if self.grouped:
            scalar = self.scalar_kernel()
            result = np.array([scalar(*map(float, items), *self.fixed) for items in zip(*flat)],
                              dtype=np.float64)
        else:
            result = self.array_kernel()(*flat, *self.fixed)
        return result.reshape(shape)


RELHUM_RANGES = ((180.0, 320.0), (0.0, 0.03), (2e4, 1.05e5))
EXTRAPOLATE_RANGES = ((230.0, 310.0), (9e4, 1.1e5), (6e4, 1e5), (7e4, 1.05e5), (0.0, 4e4))

CASES = [
    Case(tamrix.relhum, "meteorology", "relhum_scalar", "relhum_array", RELHUM_RANGES,
         options=(("nan_policy", "floor"),)),
    Case(tamrix.relhum_ice, "meteorology", "relhum_ice_scalar", "relhum_ice_array", RELHUM_RANGES),
    Case(tamrix.relhum_water, "meteorology", "relhum_water_scalar", "relhum_water_array",
         RELHUM_RANGES),
    Case(tamrix.dewtemp, "meteorology", "dewtemp_scalar", "dewtemp_array",
         ((230.0, 320.0), (1.0, 100.0))),
    Case(tamrix.heat_index, "meteorology", "heat_index_scalar", "heat_index_array",
         ((30.0, 115.0), (0.0, 100.0)), fixed=(False,)),
    Case(tamrix.heat_index, "meteorology", "heat_index_scalar", "heat_index_array",
         ((30.0, 115.0), (0.0, 100.0)), fixed=(True,)),
    Case(tamrix.max_daylight, "meteorology", "max_daylight_scalar", "max_daylight_grid",
         ((1.0, 366.0), (-90.0, 90.0)), grouped=True),
    Case(tamrix.psychrometric_constant, "meteorology", "psychrometric_constant_scalar",
         "psychrometric_constant_array", ((50.0, 105.0),)),
    Case(tamrix.saturation_vapor_pressure, "meteorology", "saturation_vapor_pressure_scalar",
         "saturation_vapor_pressure_array", ((20.0, 110.0),)),
    Case(tamrix.saturation_vapor_pressure_slope, "meteorology",
         "saturation_vapor_pressure_slope_scalar", "saturation_vapor_pressure_slope_array",
         ((20.0, 110.0),)),
    Case(tamrix.arc_lat_wgs84, "gradient", "arc_lat_wgs84_scalar", "arc_lat_wgs84_array",
         ((-90.0, 90.0),)),
    Case(tamrix.arc_lon_wgs84, "gradient", "arc_lon_wgs84_scalar", "arc_lon_wgs84_array",
         ((-360.0, 360.0), (-90.0, 90.0))),
    Case(tamrix.rad_lat_wgs84, "gradient", "rad_lat_wgs84_scalar", "rad_lat_wgs84_array",
         ((-90.0, 90.0),)),
    Case(tamrix.temp_extrapolate, "interpolation", "temp_extrapolate_scalar",
         "temp_extrapolate_array", EXTRAPOLATE_RANGES, grouped=True),
    Case(tamrix.geo_height_extrapolate, "interpolation", "geo_height_extrapolate_scalar",
         "geo_height_extrapolate_array", EXTRAPOLATE_RANGES, grouped=True),
]
CASE_IDS = [case.id for case in CASES]


def call(case, *values):
    return case.function(*values, *case.fixed, **dict(case.options))
