"""Humidity, dew point, heat index, daylight and psychrometric quantities."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, overload

import numpy as np

from . import _cf, _units
from ._dispatch import DTypeLike, distinct_bits, grouped, kernel, take
from ._elementwise import Quantity, evaluate, register
from ._humidity import humidity

_RELHUM_UNITS = (_units.KELVIN, _units.MIXING_RATIO, _units.PASCAL)
_RELHUM_PARAMS = ("temperature", "mixing_ratio", "pressure")

_RELHUM = register(Quantity(
    "relhum", "relative humidity", "meteorology", "relhum_scalar", "relhum_array",
    _RELHUM_PARAMS, _RELHUM_UNITS, "%"))
_RELHUM_ICE = register(Quantity(
    "relhum_ice", "relative humidity over ice", "meteorology", "relhum_ice_scalar",
    "relhum_ice_array", _RELHUM_PARAMS, _RELHUM_UNITS, "%"))
_RELHUM_WATER = register(Quantity(
    "relhum_water", "relative humidity over water", "meteorology", "relhum_water_scalar",
    "relhum_water_array", _RELHUM_PARAMS, _RELHUM_UNITS, "%"))
_DEWTEMP = register(Quantity(
    "dewtemp", "dew point temperature", "meteorology", "dewtemp_scalar", "dewtemp_array",
    ("temperature", "relative_humidity"), (_units.KELVIN, _units.PERCENT), "K"))
_HEAT_INDEX = register(Quantity(
    "heat_index", "heat index", "meteorology", "heat_index_scalar", "heat_index_array",
    ("temperature", "relative_humidity"), (_units.FAHRENHEIT, _units.PERCENT), "degF"))
_PSYCHROMETRIC_CONSTANT = register(Quantity(
    "psychrometric_constant", "psychrometric constant", "meteorology",
    "psychrometric_constant_scalar", "psychrometric_constant_array", ("pressure",),
    (_units.KILOPASCAL,), "kPa/degC"))
_SATURATION_VAPOR_PRESSURE = register(Quantity(
    "saturation_vapor_pressure", "saturation vapor pressure", "meteorology",
    "saturation_vapor_pressure_scalar", "saturation_vapor_pressure_array", ("temperature",),
    (_units.FAHRENHEIT,), "kPa"))
_SATURATION_VAPOR_PRESSURE_SLOPE = register(Quantity(
    "saturation_vapor_pressure_slope", "slope of the saturation vapor pressure curve",
    "meteorology", "saturation_vapor_pressure_slope_scalar",
    "saturation_vapor_pressure_slope_array", ("temperature",), (_units.FAHRENHEIT,),
    "kPa/degC"))


def _max_daylight_flat(flat: Sequence[np.ndarray], own: Sequence[Any],
                       fixed: tuple[Any, ...]) -> np.ndarray:
    # The kernel is an outer product of days and latitudes; an element-wise
    # pairing is one grid call per distinct value of whichever argument has
    # fewer of them (a grid with one day is element-wise over latitudes).
    jday, lat = flat
    grid = kernel("meteorology", "max_daylight_grid")
    day_values, lat_values = distinct_bits(own[0]), distinct_bits(own[1])
    if day_values.size <= lat_values.size:
        return grouped(day_values, jday,
                       lambda day, index: grid(np.array([day]), take(lat, index)))
    return grouped(lat_values, lat,
                   lambda latitude, index: grid(take(jday, index), np.array([latitude])))


_MAX_DAYLIGHT = register(Quantity(
    "max_daylight", "maximum daylight duration", "meteorology", "max_daylight_scalar",
    "max_daylight_grid", ("jday", "lat"), (None, _units.DEGREES_NORTH), "hours",
    flat_evaluator=_max_daylight_flat))


@overload
def relhum(temperature: float, mixing_ratio: float | None = None, pressure: float | None = None,
           *, specific_humidity: float | None = None, nan_policy: str = "floor",
           keep_attrs: bool | None = None, name: str | None = None,
           dtype: DTypeLike = None) -> float: ...
@overload
def relhum(temperature: Any, mixing_ratio: Any = None, pressure: Any = None, *,
           specific_humidity: Any = None, nan_policy: str = "floor",
           keep_attrs: bool | None = None, name: str | None = None,
           dtype: DTypeLike = None) -> Any: ...
def relhum(temperature: Any, mixing_ratio: Any = None, pressure: Any = None, *,
           specific_humidity: Any = None, nan_policy: str = "floor",
           keep_attrs: bool | None = None, name: str | None = None,
           dtype: DTypeLike = None) -> Any:
    """Relative humidity in percent, from a saturation vapour pressure table.

    temperature in K, mixing_ratio in kg/kg (or specific_humidity= in kg/kg,
    converted per element as w = q / (1 - q)), pressure in Pa. The table is
    over liquid water above 0 °C and over ice below. The result has a floor of
    0.0001 and no upper cap; NaN inputs give 0.0001 too, unless
    nan_policy="propagate", which gives NaN wherever an input is NaN.
    """
    propagate = _cf.check_nan_policy("relhum", nan_policy)
    return humidity(_RELHUM, temperature, mixing_ratio, pressure, specific_humidity,
                    propagate=propagate, keep_attrs=keep_attrs, name=name, dtype=dtype)


@overload
def relhum_ice(temperature: float, mixing_ratio: float | None = None,
               pressure: float | None = None, *, specific_humidity: float | None = None,
               keep_attrs: bool | None = None, name: str | None = None,
               dtype: DTypeLike = None) -> float: ...
@overload
def relhum_ice(temperature: Any, mixing_ratio: Any = None, pressure: Any = None, *,
               specific_humidity: Any = None, keep_attrs: bool | None = None,
               name: str | None = None,
               dtype: DTypeLike = None) -> Any: ...
def relhum_ice(temperature: Any, mixing_ratio: Any = None, pressure: Any = None, *,
               specific_humidity: Any = None, keep_attrs: bool | None = None,
               name: str | None = None,
               dtype: DTypeLike = None) -> Any:
    """Relative humidity over ice in percent (Magnus form), no floor or cap.

    temperature in K, mixing_ratio in kg/kg (or specific_humidity= in kg/kg),
    pressure in Pa. NaN in gives NaN out.
    """
    return humidity(_RELHUM_ICE, temperature, mixing_ratio, pressure, specific_humidity,
                    keep_attrs=keep_attrs, name=name, dtype=dtype)


@overload
def relhum_water(temperature: float, mixing_ratio: float | None = None,
                 pressure: float | None = None, *, specific_humidity: float | None = None,
                 keep_attrs: bool | None = None, name: str | None = None,
                 dtype: DTypeLike = None) -> float: ...
@overload
def relhum_water(temperature: Any, mixing_ratio: Any = None, pressure: Any = None, *,
                 specific_humidity: Any = None, keep_attrs: bool | None = None,
                 name: str | None = None,
                 dtype: DTypeLike = None) -> Any: ...
def relhum_water(temperature: Any, mixing_ratio: Any = None, pressure: Any = None, *,
                 specific_humidity: Any = None, keep_attrs: bool | None = None,
                 name: str | None = None,
                 dtype: DTypeLike = None) -> Any:
    """Relative humidity over liquid water in percent (Magnus form), no floor or cap.

    temperature in K, mixing_ratio in kg/kg (or specific_humidity= in kg/kg),
    pressure in Pa. NaN in gives NaN out.
    """
    return humidity(_RELHUM_WATER, temperature, mixing_ratio, pressure, specific_humidity,
                    keep_attrs=keep_attrs, name=name, dtype=dtype)


@overload
def dewtemp(temperature: float, relative_humidity: float, *, keep_attrs: bool | None = None,
            name: str | None = None,
            dtype: DTypeLike = None) -> float: ...
@overload
def dewtemp(temperature: Any, relative_humidity: Any, *, keep_attrs: bool | None = None,
            name: str | None = None,
            dtype: DTypeLike = None) -> Any: ...
def dewtemp(temperature: Any, relative_humidity: Any, *, keep_attrs: bool | None = None,
            name: str | None = None,
            dtype: DTypeLike = None) -> Any:
    """Dew point temperature in K from temperature in K and relative humidity in percent."""
    return evaluate(_DEWTEMP, (temperature, relative_humidity), keep_attrs=keep_attrs, name=name, dtype=dtype)


@overload
def heat_index(temperature: float, relative_humidity: float,
               alternate_coeffs: bool | np.bool_ = False, *, keep_attrs: bool | None = None,
               name: str | None = None,
               dtype: DTypeLike = None) -> float: ...
@overload
def heat_index(temperature: Any, relative_humidity: Any,
               alternate_coeffs: bool | np.bool_ = False, *, keep_attrs: bool | None = None,
               name: str | None = None,
               dtype: DTypeLike = None) -> Any: ...
def heat_index(temperature: Any, relative_humidity: Any,
               alternate_coeffs: bool | np.bool_ = False, *, keep_attrs: bool | None = None,
               name: str | None = None,
               dtype: DTypeLike = None) -> Any:
    """Heat index in °F from temperature in °F and relative humidity in percent.

    alternate_coeffs selects the alternate regression coefficients (threshold
    70 °F, no humidity corrections) for all elements.
    """
    return evaluate(_HEAT_INDEX, (temperature, relative_humidity), (alternate_coeffs,),
                    keep_attrs=keep_attrs, name=name, dtype=dtype)


@overload
def max_daylight(jday: float, lat: float, *,
                 dtype: DTypeLike = None) -> float: ...
@overload
def max_daylight(jday: Any, lat: Any, *,
                 dtype: DTypeLike = None) -> Any: ...
def max_daylight(jday: Any, lat: Any, *,
                 dtype: DTypeLike = None) -> Any:
    """Maximum daylight duration in hours (0 to 24) for day of year jday and
    latitude lat in degrees north, element-wise after broadcasting.

    For a day-by-latitude table pass jday[:, None] and lat[None, :]. Arrays
    are evaluated with one kernel call per distinct day (or per distinct
    latitude, whichever is fewer).
    """
    return evaluate(_MAX_DAYLIGHT, (jday, lat), dtype=dtype)


@overload
def psychrometric_constant(pressure: float, *,
                           dtype: DTypeLike = None) -> float: ...
@overload
def psychrometric_constant(pressure: Any, *,
                           dtype: DTypeLike = None) -> Any: ...
def psychrometric_constant(pressure: Any, *,
                           dtype: DTypeLike = None) -> Any:
    """Psychrometric constant in kPa/°C from pressure in kPa."""
    return evaluate(_PSYCHROMETRIC_CONSTANT, (pressure,), dtype=dtype)


@overload
def saturation_vapor_pressure(temperature: float, *,
                              dtype: DTypeLike = None) -> float: ...
@overload
def saturation_vapor_pressure(temperature: Any, *,
                              dtype: DTypeLike = None) -> Any: ...
def saturation_vapor_pressure(temperature: Any, *,
                              dtype: DTypeLike = None) -> Any:
    """Saturation vapour pressure in kPa from temperature in °F (NaN at or below 32 °F)."""
    return evaluate(_SATURATION_VAPOR_PRESSURE, (temperature,), dtype=dtype)


@overload
def saturation_vapor_pressure_slope(temperature: float, *,
                                    dtype: DTypeLike = None) -> float: ...
@overload
def saturation_vapor_pressure_slope(temperature: Any, *,
                                    dtype: DTypeLike = None) -> Any: ...
def saturation_vapor_pressure_slope(temperature: Any, *,
                                    dtype: DTypeLike = None) -> Any:
    """Slope of the saturation vapour pressure curve in kPa/°C from temperature
    in °F (NaN at or below 32 °F)."""
    return evaluate(_SATURATION_VAPOR_PRESSURE_SLOPE, (temperature,), dtype=dtype)
