"""Humidity, dew point, heat index, daylight and psychrometric quantities."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Literal

from . import _blocks
from ._blocks import meteorology as kernels
from ._generic import function
from ._metadata import Result
from ._units import (DEGREES_NORTH, FAHRENHEIT, KELVIN, KILOPASCAL, MIXING_RATIO, PASCAL,
                     PERCENT, Unit)

if TYPE_CHECKING:
    import numpy as np

_HUMIDITY: dict[str, Unit | None] = {"temperature": KELVIN, "mixing_ratio": MIXING_RATIO, "pressure": PASCAL,
             "specific_humidity": MIXING_RATIO}
# The humidity is a mixing ratio, or specific humidity turned into one.
_EITHER = {"one_of": ("mixing_ratio", "specific_humidity"), "required": ("pressure",),
           "alternatives": {"specific_humidity": ("mixing_ratio", _blocks.mixing_ratio)}}


@function("(),(),(),()->()", units=_HUMIDITY, scalar=kernels.relhum_scalar, nan_floor=0.0001,
          result=Result("relative humidity", "%", "relative_humidity"), **_EITHER)
def relhum(temperature: Any, mixing_ratio: Any = None, pressure: Any = None, *,
           specific_humidity: Any = None,
           nan_policy: Literal["propagate", "floor"] = "propagate") -> Any:
    """Relative humidity in percent, from a table of saturation vapour pressure.

    The saturation vapour pressure es is interpolated linearly in a table at 1 K
    spacing from 173.16 K to 375.16 K (temperatures outside are clamped to it),
    over liquid water above 0 °C and over ice below; then
    RH = w (p - 0.378 es) / (0.622 es) * 100. The result has a floor of
    0.0001 % and no upper cap. Missing data stays missing: by default
    (``nan_policy="propagate"``) the result is NaN wherever an input is NaN;
    ``nan_policy="floor"`` gives the kernel's floor, 0.0001, there instead,
    as ``_tamrix_rs.meteorology.relhum_scalar`` does.

    [[broadcast]]

    Parameters
    ----------
    [[humidity_parameters]]
    nan_policy : {"propagate", "floor"}, optional
        What a NaN input gives: NaN (default) or the kernel's floor of 0.0001.
    [[keywords]]

    Returns
    -------
    [[returns]] Relative humidity, %.

    See Also
    --------
    relhum_water, relhum_ice : Magnus-type formulas over water and over ice.

    References
    ----------
    [[wallace]]

    Examples
    --------
    >>> import numpy as np, tamrix
    >>> print(round(tamrix.relhum(290.0, 0.008, 90000.0), 2))
    59.88
    >>> print(round(tamrix.relhum(290.0, specific_humidity=0.008, pressure=90000.0), 2))
    60.36
    >>> print(tamrix.relhum(np.array([280.0, 300.0], dtype=np.float32), 0.008, 90000.0))
    [116.36363   32.284958]
    """
    return kernels.relhum_array(temperature, mixing_ratio, pressure)


@function("(),(),(),()->()", units=_HUMIDITY, scalar=kernels.relhum_ice_scalar,
          result=Result("relative humidity over ice", "%", "relative_humidity"), **_EITHER)
def relhum_ice(temperature: Any, mixing_ratio: Any = None, pressure: Any = None, *,
               specific_humidity: Any = None) -> Any:
    """Relative humidity over ice in percent, from a Magnus-type formula.

    The saturation vapour pressure over ice comes from a Magnus-type
    (exponential) formula of temperature; no floor, no cap, and NaN in gives NaN
    out.

    [[broadcast]]

    Parameters
    ----------
    [[humidity_parameters]]
    [[keywords]]

    Returns
    -------
    [[returns]] Relative humidity over ice, %.

    See Also
    --------
    relhum : from a saturation table, over water and ice.
    relhum_water : the same over liquid water.

    References
    ----------
    [[alduchov]]

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.relhum_ice(260.0, 0.001, 80000.0), 2))
    65.67
    """
    return kernels.relhum_ice_array(temperature, mixing_ratio, pressure)


@function("(),(),(),()->()", units=_HUMIDITY, scalar=kernels.relhum_water_scalar,
          result=Result("relative humidity over water", "%", "relative_humidity"), **_EITHER)
def relhum_water(temperature: Any, mixing_ratio: Any = None, pressure: Any = None, *,
                 specific_humidity: Any = None) -> Any:
    """Relative humidity over liquid water in percent, from a Magnus-type formula.

    The saturation vapour pressure over liquid water comes from a Magnus-type
    (exponential) formula of temperature; no floor, no cap, and NaN in gives NaN
    out.

    [[broadcast]]

    Parameters
    ----------
    [[humidity_parameters]]
    [[keywords]]

    Returns
    -------
    [[returns]] Relative humidity over liquid water, %.

    See Also
    --------
    relhum : from a saturation table, over water and ice.
    relhum_ice : the same over ice.

    References
    ----------
    [[alduchov]]

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.relhum_water(290.0, 0.008, 90000.0), 2))
    59.78
    """
    return kernels.relhum_water_array(temperature, mixing_ratio, pressure)


@function("(),()->()", units={"temperature": KELVIN, "relative_humidity": PERCENT},
          scalar=kernels.dewtemp_scalar,
          result=Result("dew point temperature", "K", "dew_point_temperature"))
def dewtemp(temperature: Any, relative_humidity: Any) -> Any:
    """Dew point temperature in K from temperature and relative humidity.

    Inverts the Clausius-Clapeyron relation with a latent heat of vaporisation
    that falls linearly with temperature.

    [[broadcast]]

    Parameters
    ----------
    temperature : float or array_like
        Air temperature, K.
    relative_humidity : float or array_like
        Relative humidity, % (100 is saturation).
    [[keywords]]

    Returns
    -------
    [[returns]] Dew point temperature, K.

    References
    ----------
    [[wallace]]

    Examples
    --------
    >>> import numpy as np, tamrix
    >>> print(round(tamrix.dewtemp(300.0, 50.0), 2))
    288.63
    >>> print(np.round(tamrix.dewtemp(np.array([280.0, 300.0]), 80.0), 2))
    [276.79 296.24]
    """
    return kernels.dewtemp_array(temperature, relative_humidity)


@function("(),()->()", units={"temperature": FAHRENHEIT, "relative_humidity": PERCENT},
          scalar=kernels.heat_index_scalar, result=Result("heat index", "degF"))
def heat_index(temperature: Any, relative_humidity: Any,
               alternate_coeffs: bool | np.bool_ = False) -> Any:
    """Heat index (apparent temperature) in °F from temperature and humidity.

    The NWS simple index, replaced by the Rothfusz regression once it reaches
    the threshold (80 °F with the standard coefficients), with the NWS
    adjustments for low and high humidity. ``alternate_coeffs=True`` selects the
    alternate regression coefficients (threshold 70 °F, no adjustments) for
    every element.

    [[broadcast]]

    Parameters
    ----------
    temperature : float or array_like
        Air temperature, °F.
    relative_humidity : float or array_like
        Relative humidity, %.
    alternate_coeffs : bool, optional
        Use the alternate coefficients (default False).
    [[keywords]]

    Returns
    -------
    [[returns]] Heat index, °F.

    References
    ----------
    .. [1] L. P. Rothfusz, "The heat index equation", NWS Southern Region
           Technical Attachment SR 90-23, 1990.
    .. [2] R. G. Steadman, "The assessment of sultriness. Part I", J. Appl.
           Meteor. 18, 861-873, 1979.

    Examples
    --------
    >>> import numpy as np, tamrix
    >>> print(round(tamrix.heat_index(95.0, 60.0), 1))
    113.1
    >>> print(np.round(tamrix.heat_index(np.array([80.0, 95.0]), np.array([40.0, 60.0]), True), 1))
    [ 78.3 115.1]
    """
    return kernels.heat_index_array(temperature, relative_humidity, alternate_coeffs)


@function("(),()->()", units={"jday": None, "lat": DEGREES_NORTH},
          scalar=kernels.max_daylight_scalar,
          result=Result("maximum daylight duration", "hours"))
def max_daylight(jday: Any, lat: Any) -> Any:
    """Maximum daylight duration in hours for a day of the year and a latitude.

    N = 24 / pi * omega_s, with the sunset hour angle omega_s of the solar
    declination on day `jday` (FAO-56 eqs. 24, 25 and 34); 0 to 24 hours, polar
    day and night included. Arguments broadcast: for a day-by-latitude table
    pass ``jday[:, None]`` and ``lat[None, :]``. Arrays cost one kernel call per
    distinct day (or per distinct latitude, whichever is fewer).

    Parameters
    ----------
    jday : float or array_like
        Day of the year (1 is 1 January).
    lat : float or array_like
        Latitude, degrees north.
    [[keywords]]

    Returns
    -------
    [[returns]] Maximum daylight duration, hours.

    References
    ----------
    [[fao56]]

    Examples
    --------
    >>> import numpy as np, tamrix
    >>> print(round(tamrix.max_daylight(172, 52.0), 2))
    16.49
    >>> print(np.round(tamrix.max_daylight(np.array([1, 172])[:, None], np.array([0.0, 60.0])), 2))
    [[12.    5.7 ]
     [12.   18.49]]
    """
    return _blocks.max_daylight(jday, lat)


@function("()->()", units={"pressure": KILOPASCAL}, scalar=kernels.psychrometric_constant_scalar,
          result=Result("psychrometric constant", "kPa/degC"))
def psychrometric_constant(pressure: Any) -> Any:
    """Psychrometric constant in kPa/°C from atmospheric pressure in kPa.

    gamma = 0.665e-3 * P (FAO-56 eq. 8).

    Parameters
    ----------
    pressure : float or array_like
        Atmospheric pressure, kPa.
    [[keywords]]

    Returns
    -------
    [[returns]] Psychrometric constant, kPa/°C.

    References
    ----------
    [[fao56]]

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.psychrometric_constant(101.3), 5))
    0.06734
    """
    return kernels.psychrometric_constant_array(pressure)


@function("()->()", units={"temperature": FAHRENHEIT},
          scalar=kernels.saturation_vapor_pressure_scalar,
          result=Result("saturation vapor pressure", "kPa"))
def saturation_vapor_pressure(temperature: Any) -> Any:
    """Saturation vapour pressure over water in kPa from temperature in °F.

    The Tetens form 0.6108 exp(17.27 T / (T + 237.3)) with T in °C (FAO-56
    eq. 11); NaN at or below 32 °F.

    Parameters
    ----------
    temperature : float or array_like
        Air temperature, °F.
    [[keywords]]

    Returns
    -------
    [[returns]] Saturation vapour pressure, kPa.

    See Also
    --------
    saturation_vapor_pressure_slope

    References
    ----------
    [[fao56]]

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.saturation_vapor_pressure(77.0), 4))
    3.1678
    """
    return kernels.saturation_vapor_pressure_array(temperature)


@function("()->()", units={"temperature": FAHRENHEIT},
          scalar=kernels.saturation_vapor_pressure_slope_scalar,
          result=Result("slope of the saturation vapor pressure curve", "kPa/degC"))
def saturation_vapor_pressure_slope(temperature: Any) -> Any:
    """Slope of the saturation vapour pressure curve in kPa/°C from temperature in °F.

    4098 es(T) / (T + 237.3)^2 with T in °C and the Tetens es (FAO-56 eq. 13);
    NaN at or below 32 °F.

    Parameters
    ----------
    temperature : float or array_like
        Air temperature, °F.
    [[keywords]]

    Returns
    -------
    [[returns]] Slope of the saturation vapour pressure curve, kPa/°C.

    See Also
    --------
    saturation_vapor_pressure

    References
    ----------
    [[fao56]]

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.saturation_vapor_pressure_slope(77.0), 5))
    0.18859
    """
    return kernels.saturation_vapor_pressure_slope_array(temperature)
