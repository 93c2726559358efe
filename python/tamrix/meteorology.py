"""Humidity, dew point, heat index, daylight and psychrometric quantities."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, overload

import numpy as np

from . import _cf, _units
from ._docs import shared_docs
from ._dispatch import distinct_bits, grouped, kernel, take
from ._elementwise import Quantity, evaluate, register
from ._humidity import humidity
from ._typing import ArrayIn, DataArrayIn, DTypeLike, FloatArray, QuantityIn, Scalar

if TYPE_CHECKING:
    import pint
    import xarray

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
def relhum(temperature: float, mixing_ratio: float | None = None, pressure: float | None = None, *,
           specific_humidity: float | None = None, nan_policy: str = "propagate",
           keep_attrs: bool | None = None, name: str | None = None, dtype: None = None
           ) -> float: ...
@overload
def relhum(temperature: Scalar, mixing_ratio: Scalar | None = None, pressure: Scalar | None = None,
           *, specific_humidity: Scalar | None = None, nan_policy: str = "propagate",
           keep_attrs: bool | None = None, name: str | None = None, dtype: DTypeLike = None
           ) -> np.floating[Any]: ...
@overload
def relhum(temperature: ArrayIn, mixing_ratio: ArrayIn | None = None,
           pressure: ArrayIn | None = None, *, specific_humidity: ArrayIn | None = None,
           nan_policy: str = "propagate", keep_attrs: bool | None = None,
           name: str | None = None, dtype: DTypeLike = None) -> FloatArray: ...
@overload
def relhum(temperature: DataArrayIn, mixing_ratio: DataArrayIn | None = None,
           pressure: DataArrayIn | None = None, *, specific_humidity: DataArrayIn | None = None,
           nan_policy: str = "propagate", keep_attrs: bool | None = None,
           name: str | None = None, dtype: DTypeLike = None) -> xarray.DataArray: ...
@overload
def relhum(temperature: QuantityIn, mixing_ratio: QuantityIn | None = None,
           pressure: QuantityIn | None = None, *, specific_humidity: QuantityIn | None = None,
           nan_policy: str = "propagate", keep_attrs: bool | None = None,
           name: str | None = None, dtype: DTypeLike = None) -> pint.Quantity[Any]: ...
@overload
def relhum(temperature: Any, mixing_ratio: Any = None, pressure: Any = None, *,
           specific_humidity: Any = None, nan_policy: str = "propagate",
           keep_attrs: bool | None = None, name: str | None = None, dtype: DTypeLike = None) -> Any: ...
@shared_docs
def relhum(temperature: Any, mixing_ratio: Any = None, pressure: Any = None, *,
           specific_humidity: Any = None, nan_policy: str = "propagate",
           keep_attrs: bool | None = None, name: str | None = None, dtype: DTypeLike = None) -> Any:
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
    temperature : float or array_like
        Air temperature, K.
    mixing_ratio : float or array_like
        Water vapour mixing ratio, kg/kg (mass of vapour per mass of dry air).
        Give either this or `specific_humidity`.
    pressure : float or array_like
        Air pressure, Pa.
    specific_humidity : float or array_like, optional
        Specific humidity q, kg/kg, instead of `mixing_ratio`; converted element
        by element as w = q / (1 - q). A DataArray whose ``standard_name`` says
        it is the other kind of humidity than the argument it is passed as
        draws a warning.
    nan_policy : {"floor", "propagate"}, optional
        What a NaN input gives: NaN (default) or the kernel's floor of 0.0001.
    keep_attrs : bool, optional
        Whether a DataArray result starts from the attributes of the first
        DataArray argument (default: xarray's ``keep_attrs`` option); its own
        ``standard_name``, ``long_name`` and ``units`` replace theirs.
    name : str, optional
        Name of a DataArray result (default: the function's name).
    [[dtype]]

    Returns
    -------
    float, ndarray, DataArray or Quantity
        Relative humidity, %.
        [[kinds]]

    See Also
    --------
    relhum_water, relhum_ice : Magnus-type formulas over water and over ice.

    References
    ----------
    .. [1] J. M. Wallace and P. V. Hobbs, "Atmospheric Science: An
           Introductory Survey", 2nd ed., Academic Press, 2006, ch. 3.

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
    # The kernel's floor, which it also gives for NaN.
    floor = 0.0001 if _cf.check_nan_policy("relhum", nan_policy) else None
    return humidity(_RELHUM, temperature, mixing_ratio, pressure, specific_humidity,
                    nan_floor=floor, keep_attrs=keep_attrs, name=name, dtype=dtype)


@overload
def relhum_ice(temperature: float, mixing_ratio: float | None = None, pressure: float | None = None,
               *, specific_humidity: float | None = None, keep_attrs: bool | None = None,
               name: str | None = None, dtype: None = None) -> float: ...
@overload
def relhum_ice(temperature: Scalar, mixing_ratio: Scalar | None = None,
               pressure: Scalar | None = None, *, specific_humidity: Scalar | None = None,
               keep_attrs: bool | None = None, name: str | None = None, dtype: DTypeLike = None
               ) -> np.floating[Any]: ...
@overload
def relhum_ice(temperature: ArrayIn, mixing_ratio: ArrayIn | None = None,
               pressure: ArrayIn | None = None, *, specific_humidity: ArrayIn | None = None,
               keep_attrs: bool | None = None, name: str | None = None, dtype: DTypeLike = None
               ) -> FloatArray: ...
@overload
def relhum_ice(temperature: DataArrayIn, mixing_ratio: DataArrayIn | None = None,
               pressure: DataArrayIn | None = None, *, specific_humidity: DataArrayIn | None = None,
               keep_attrs: bool | None = None, name: str | None = None, dtype: DTypeLike = None
               ) -> xarray.DataArray: ...
@overload
def relhum_ice(temperature: QuantityIn, mixing_ratio: QuantityIn | None = None,
               pressure: QuantityIn | None = None, *, specific_humidity: QuantityIn | None = None,
               keep_attrs: bool | None = None, name: str | None = None, dtype: DTypeLike = None
               ) -> pint.Quantity[Any]: ...
@overload
def relhum_ice(temperature: Any, mixing_ratio: Any = None, pressure: Any = None, *,
               specific_humidity: Any = None, keep_attrs: bool | None = None,
               name: str | None = None, dtype: DTypeLike = None) -> Any: ...
@shared_docs
def relhum_ice(temperature: Any, mixing_ratio: Any = None, pressure: Any = None, *,
               specific_humidity: Any = None, keep_attrs: bool | None = None,
               name: str | None = None, dtype: DTypeLike = None) -> Any:
    """Relative humidity over ice in percent, from a Magnus-type formula.

    The saturation vapour pressure over ice comes from a Magnus-type
    (exponential) formula of temperature; no floor, no cap, and NaN in gives NaN
    out.

    [[broadcast]]

    Parameters
    ----------
    temperature : float or array_like
        Air temperature, K.
    mixing_ratio : float or array_like
        Water vapour mixing ratio, kg/kg (mass of vapour per mass of dry air).
        Give either this or `specific_humidity`.
    pressure : float or array_like
        Air pressure, Pa.
    specific_humidity : float or array_like, optional
        Specific humidity q, kg/kg, instead of `mixing_ratio`; converted element
        by element as w = q / (1 - q). A DataArray whose ``standard_name`` says
        it is the other kind of humidity than the argument it is passed as
        draws a warning.
    keep_attrs : bool, optional
        Whether a DataArray result starts from the attributes of the first
        DataArray argument (default: xarray's ``keep_attrs`` option); its own
        ``standard_name``, ``long_name`` and ``units`` replace theirs.
    name : str, optional
        Name of a DataArray result (default: the function's name).
    [[dtype]]

    Returns
    -------
    float, ndarray, DataArray or Quantity
        Relative humidity over ice, %.
        [[kinds]]

    See Also
    --------
    relhum : from a saturation table, over water and ice.
    relhum_water : the same over liquid water.

    References
    ----------
    .. [1] O. A. Alduchov and R. E. Eskridge, "Improved Magnus form
           approximation of saturation vapor pressure", J. Appl. Meteor. 35,
           601-609, 1996.

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.relhum_ice(260.0, 0.001, 80000.0), 2))
    65.67
    """
    return humidity(_RELHUM_ICE, temperature, mixing_ratio, pressure, specific_humidity,
                    keep_attrs=keep_attrs, name=name, dtype=dtype)


@overload
def relhum_water(temperature: float, mixing_ratio: float | None = None,
                 pressure: float | None = None, *, specific_humidity: float | None = None,
                 keep_attrs: bool | None = None, name: str | None = None, dtype: None = None
                 ) -> float: ...
@overload
def relhum_water(temperature: Scalar, mixing_ratio: Scalar | None = None,
                 pressure: Scalar | None = None, *, specific_humidity: Scalar | None = None,
                 keep_attrs: bool | None = None, name: str | None = None, dtype: DTypeLike = None
                 ) -> np.floating[Any]: ...
@overload
def relhum_water(temperature: ArrayIn, mixing_ratio: ArrayIn | None = None,
                 pressure: ArrayIn | None = None, *, specific_humidity: ArrayIn | None = None,
                 keep_attrs: bool | None = None, name: str | None = None, dtype: DTypeLike = None
                 ) -> FloatArray: ...
@overload
def relhum_water(temperature: DataArrayIn, mixing_ratio: DataArrayIn | None = None,
                 pressure: DataArrayIn | None = None, *,
                 specific_humidity: DataArrayIn | None = None, keep_attrs: bool | None = None,
                 name: str | None = None, dtype: DTypeLike = None) -> xarray.DataArray: ...
@overload
def relhum_water(temperature: QuantityIn, mixing_ratio: QuantityIn | None = None,
                 pressure: QuantityIn | None = None, *, specific_humidity: QuantityIn | None = None,
                 keep_attrs: bool | None = None, name: str | None = None, dtype: DTypeLike = None
                 ) -> pint.Quantity[Any]: ...
@overload
def relhum_water(temperature: Any, mixing_ratio: Any = None, pressure: Any = None, *,
                 specific_humidity: Any = None, keep_attrs: bool | None = None,
                 name: str | None = None, dtype: DTypeLike = None) -> Any: ...
@shared_docs
def relhum_water(temperature: Any, mixing_ratio: Any = None, pressure: Any = None, *,
                 specific_humidity: Any = None, keep_attrs: bool | None = None,
                 name: str | None = None, dtype: DTypeLike = None) -> Any:
    """Relative humidity over liquid water in percent, from a Magnus-type formula.

    The saturation vapour pressure over liquid water comes from a Magnus-type
    (exponential) formula of temperature; no floor, no cap, and NaN in gives NaN
    out.

    [[broadcast]]

    Parameters
    ----------
    temperature : float or array_like
        Air temperature, K.
    mixing_ratio : float or array_like
        Water vapour mixing ratio, kg/kg (mass of vapour per mass of dry air).
        Give either this or `specific_humidity`.
    pressure : float or array_like
        Air pressure, Pa.
    specific_humidity : float or array_like, optional
        Specific humidity q, kg/kg, instead of `mixing_ratio`; converted element
        by element as w = q / (1 - q). A DataArray whose ``standard_name`` says
        it is the other kind of humidity than the argument it is passed as
        draws a warning.
    keep_attrs : bool, optional
        Whether a DataArray result starts from the attributes of the first
        DataArray argument (default: xarray's ``keep_attrs`` option); its own
        ``standard_name``, ``long_name`` and ``units`` replace theirs.
    name : str, optional
        Name of a DataArray result (default: the function's name).
    [[dtype]]

    Returns
    -------
    float, ndarray, DataArray or Quantity
        Relative humidity over liquid water, %.
        [[kinds]]

    See Also
    --------
    relhum : from a saturation table, over water and ice.
    relhum_ice : the same over ice.

    References
    ----------
    .. [1] O. A. Alduchov and R. E. Eskridge, "Improved Magnus form
           approximation of saturation vapor pressure", J. Appl. Meteor. 35,
           601-609, 1996.

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.relhum_water(290.0, 0.008, 90000.0), 2))
    59.78
    """
    return humidity(_RELHUM_WATER, temperature, mixing_ratio, pressure, specific_humidity,
                    keep_attrs=keep_attrs, name=name, dtype=dtype)


@overload
def dewtemp(temperature: float, relative_humidity: float, *, keep_attrs: bool | None = None,
            name: str | None = None, dtype: None = None) -> float: ...
@overload
def dewtemp(temperature: Scalar, relative_humidity: Scalar, *, keep_attrs: bool | None = None,
            name: str | None = None, dtype: DTypeLike = None) -> np.floating[Any]: ...
@overload
def dewtemp(temperature: ArrayIn, relative_humidity: ArrayIn, *, keep_attrs: bool | None = None,
            name: str | None = None, dtype: DTypeLike = None) -> FloatArray: ...
@overload
def dewtemp(temperature: DataArrayIn, relative_humidity: DataArrayIn, *,
            keep_attrs: bool | None = None, name: str | None = None, dtype: DTypeLike = None
            ) -> xarray.DataArray: ...
@overload
def dewtemp(temperature: QuantityIn, relative_humidity: QuantityIn, *,
            keep_attrs: bool | None = None, name: str | None = None, dtype: DTypeLike = None
            ) -> pint.Quantity[Any]: ...
@overload
def dewtemp(temperature: Any, relative_humidity: Any, *, keep_attrs: bool | None = None,
            name: str | None = None, dtype: DTypeLike = None) -> Any: ...
@shared_docs
def dewtemp(temperature: Any, relative_humidity: Any, *, keep_attrs: bool | None = None,
            name: str | None = None, dtype: DTypeLike = None) -> Any:
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
    keep_attrs : bool, optional
        Whether a DataArray result starts from the attributes of the first
        DataArray argument (default: xarray's ``keep_attrs`` option); its own
        ``standard_name``, ``long_name`` and ``units`` replace theirs.
    name : str, optional
        Name of a DataArray result (default: the function's name).
    [[dtype]]

    Returns
    -------
    float, ndarray, DataArray or Quantity
        Dew point temperature, K.
        [[kinds]]

    References
    ----------
    .. [1] J. M. Wallace and P. V. Hobbs, "Atmospheric Science: An
           Introductory Survey", 2nd ed., Academic Press, 2006, ch. 3.

    Examples
    --------
    >>> import numpy as np, tamrix
    >>> print(round(tamrix.dewtemp(300.0, 50.0), 2))
    288.63
    >>> print(np.round(tamrix.dewtemp(np.array([280.0, 300.0]), 80.0), 2))
    [276.79 296.24]
    """
    return evaluate(_DEWTEMP, (temperature, relative_humidity), keep_attrs=keep_attrs, name=name,
                    dtype=dtype)


@overload
def heat_index(temperature: float, relative_humidity: float,
               alternate_coeffs: bool | np.bool_ = False, *, keep_attrs: bool | None = None,
               name: str | None = None, dtype: None = None) -> float: ...
@overload
def heat_index(temperature: Scalar, relative_humidity: Scalar,
               alternate_coeffs: bool | np.bool_ = False, *, keep_attrs: bool | None = None,
               name: str | None = None, dtype: DTypeLike = None) -> np.floating[Any]: ...
@overload
def heat_index(temperature: ArrayIn, relative_humidity: ArrayIn,
               alternate_coeffs: bool | np.bool_ = False, *, keep_attrs: bool | None = None,
               name: str | None = None, dtype: DTypeLike = None) -> FloatArray: ...
@overload
def heat_index(temperature: DataArrayIn, relative_humidity: DataArrayIn,
               alternate_coeffs: bool | np.bool_ = False, *, keep_attrs: bool | None = None,
               name: str | None = None, dtype: DTypeLike = None) -> xarray.DataArray: ...
@overload
def heat_index(temperature: QuantityIn, relative_humidity: QuantityIn,
               alternate_coeffs: bool | np.bool_ = False, *, keep_attrs: bool | None = None,
               name: str | None = None, dtype: DTypeLike = None) -> pint.Quantity[Any]: ...
@overload
def heat_index(temperature: Any, relative_humidity: Any, alternate_coeffs: bool | np.bool_ = False,
               *, keep_attrs: bool | None = None, name: str | None = None, dtype: DTypeLike = None
               ) -> Any: ...
@shared_docs
def heat_index(temperature: Any, relative_humidity: Any, alternate_coeffs: bool | np.bool_ = False,
               *, keep_attrs: bool | None = None, name: str | None = None, dtype: DTypeLike = None
               ) -> Any:
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
    keep_attrs : bool, optional
        Whether a DataArray result starts from the attributes of the first
        DataArray argument (default: xarray's ``keep_attrs`` option); its own
        ``standard_name``, ``long_name`` and ``units`` replace theirs.
    name : str, optional
        Name of a DataArray result (default: the function's name).
    [[dtype]]

    Returns
    -------
    float, ndarray, DataArray or Quantity
        Heat index, °F.
        [[kinds]]

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
    return evaluate(_HEAT_INDEX, (temperature, relative_humidity), (alternate_coeffs,),
                    keep_attrs=keep_attrs, name=name, dtype=dtype)


@overload
def max_daylight(jday: float, lat: float, *, dtype: None = None) -> float: ...
@overload
def max_daylight(jday: Scalar, lat: Scalar, *, dtype: DTypeLike = None) -> np.floating[Any]: ...
@overload
def max_daylight(jday: ArrayIn, lat: ArrayIn, *, dtype: DTypeLike = None) -> FloatArray: ...
@overload
def max_daylight(jday: DataArrayIn, lat: DataArrayIn, *, dtype: DTypeLike = None
                 ) -> xarray.DataArray: ...
@overload
def max_daylight(jday: QuantityIn, lat: QuantityIn, *, dtype: DTypeLike = None
                 ) -> pint.Quantity[Any]: ...
@overload
def max_daylight(jday: Any, lat: Any, *, dtype: DTypeLike = None) -> Any: ...
@shared_docs
def max_daylight(jday: Any, lat: Any, *, dtype: DTypeLike = None) -> Any:
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
    [[dtype]]

    Returns
    -------
    float, ndarray, DataArray or Quantity
        Maximum daylight duration, hours.
        [[kinds]]

    References
    ----------
    .. [1] R. G. Allen, L. S. Pereira, D. Raes and M. Smith, "Crop
           evapotranspiration: guidelines for computing crop water
           requirements", FAO Irrigation and Drainage Paper 56, Rome, 1998.

    Examples
    --------
    >>> import numpy as np, tamrix
    >>> print(round(tamrix.max_daylight(172, 52.0), 2))
    16.49
    >>> print(np.round(tamrix.max_daylight(np.array([1, 172])[:, None], np.array([0.0, 60.0])), 2))
    [[12.    5.7 ]
     [12.   18.49]]
    """
    return evaluate(_MAX_DAYLIGHT, (jday, lat), dtype=dtype)


@overload
def psychrometric_constant(pressure: float, *, dtype: None = None) -> float: ...
@overload
def psychrometric_constant(pressure: Scalar, *, dtype: DTypeLike = None) -> np.floating[Any]: ...
@overload
def psychrometric_constant(pressure: ArrayIn, *, dtype: DTypeLike = None) -> FloatArray: ...
@overload
def psychrometric_constant(pressure: DataArrayIn, *, dtype: DTypeLike = None
                           ) -> xarray.DataArray: ...
@overload
def psychrometric_constant(pressure: QuantityIn, *, dtype: DTypeLike = None
                           ) -> pint.Quantity[Any]: ...
@overload
def psychrometric_constant(pressure: Any, *, dtype: DTypeLike = None) -> Any: ...
@shared_docs
def psychrometric_constant(pressure: Any, *, dtype: DTypeLike = None) -> Any:
    """Psychrometric constant in kPa/°C from atmospheric pressure in kPa.

    gamma = 0.665e-3 * P (FAO-56 eq. 8).

    Parameters
    ----------
    pressure : float or array_like
        Atmospheric pressure, kPa.
    [[dtype]]

    Returns
    -------
    float, ndarray, DataArray or Quantity
        Psychrometric constant, kPa/°C.
        [[kinds]]

    References
    ----------
    .. [1] R. G. Allen, L. S. Pereira, D. Raes and M. Smith, "Crop
           evapotranspiration: guidelines for computing crop water
           requirements", FAO Irrigation and Drainage Paper 56, Rome, 1998.

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.psychrometric_constant(101.3), 5))
    0.06734
    """
    return evaluate(_PSYCHROMETRIC_CONSTANT, (pressure,), dtype=dtype)


@overload
def saturation_vapor_pressure(temperature: float, *, dtype: None = None) -> float: ...
@overload
def saturation_vapor_pressure(temperature: Scalar, *, dtype: DTypeLike = None
                              ) -> np.floating[Any]: ...
@overload
def saturation_vapor_pressure(temperature: ArrayIn, *, dtype: DTypeLike = None) -> FloatArray: ...
@overload
def saturation_vapor_pressure(temperature: DataArrayIn, *, dtype: DTypeLike = None
                              ) -> xarray.DataArray: ...
@overload
def saturation_vapor_pressure(temperature: QuantityIn, *, dtype: DTypeLike = None
                              ) -> pint.Quantity[Any]: ...
@overload
def saturation_vapor_pressure(temperature: Any, *, dtype: DTypeLike = None) -> Any: ...
@shared_docs
def saturation_vapor_pressure(temperature: Any, *, dtype: DTypeLike = None) -> Any:
    """Saturation vapour pressure over water in kPa from temperature in °F.

    The Tetens form 0.6108 exp(17.27 T / (T + 237.3)) with T in °C (FAO-56
    eq. 11); NaN at or below 32 °F.

    Parameters
    ----------
    temperature : float or array_like
        Air temperature, °F.
    [[dtype]]

    Returns
    -------
    float, ndarray, DataArray or Quantity
        Saturation vapour pressure, kPa.
        [[kinds]]

    See Also
    --------
    saturation_vapor_pressure_slope

    References
    ----------
    .. [1] R. G. Allen, L. S. Pereira, D. Raes and M. Smith, "Crop
           evapotranspiration: guidelines for computing crop water
           requirements", FAO Irrigation and Drainage Paper 56, Rome, 1998.

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.saturation_vapor_pressure(77.0), 4))
    3.1678
    """
    return evaluate(_SATURATION_VAPOR_PRESSURE, (temperature,), dtype=dtype)


@overload
def saturation_vapor_pressure_slope(temperature: float, *, dtype: None = None) -> float: ...
@overload
def saturation_vapor_pressure_slope(temperature: Scalar, *, dtype: DTypeLike = None
                                    ) -> np.floating[Any]: ...
@overload
def saturation_vapor_pressure_slope(temperature: ArrayIn, *, dtype: DTypeLike = None
                                    ) -> FloatArray: ...
@overload
def saturation_vapor_pressure_slope(temperature: DataArrayIn, *, dtype: DTypeLike = None
                                    ) -> xarray.DataArray: ...
@overload
def saturation_vapor_pressure_slope(temperature: QuantityIn, *, dtype: DTypeLike = None
                                    ) -> pint.Quantity[Any]: ...
@overload
def saturation_vapor_pressure_slope(temperature: Any, *, dtype: DTypeLike = None) -> Any: ...
@shared_docs
def saturation_vapor_pressure_slope(temperature: Any, *, dtype: DTypeLike = None) -> Any:
    """Slope of the saturation vapour pressure curve in kPa/°C from temperature in °F.

    4098 es(T) / (T + 237.3)^2 with T in °C and the Tetens es (FAO-56 eq. 13);
    NaN at or below 32 °F.

    Parameters
    ----------
    temperature : float or array_like
        Air temperature, °F.
    [[dtype]]

    Returns
    -------
    float, ndarray, DataArray or Quantity
        Slope of the saturation vapour pressure curve, kPa/°C.
        [[kinds]]

    See Also
    --------
    saturation_vapor_pressure

    References
    ----------
    .. [1] R. G. Allen, L. S. Pereira, D. Raes and M. Smith, "Crop
           evapotranspiration: guidelines for computing crop water
           requirements", FAO Irrigation and Drainage Paper 56, Rome, 1998.

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.saturation_vapor_pressure_slope(77.0), 5))
    0.18859
    """
    return evaluate(_SATURATION_VAPOR_PRESSURE_SLOPE, (temperature,), dtype=dtype)
