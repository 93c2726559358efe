"""Arc lengths and radius on the WGS84 ellipsoid."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, overload

from . import _units
from ._docs import shared_docs
from ._elementwise import Quantity, evaluate, register
from ._typing import ArrayIn, DataArrayIn, DTypeLike, FloatArray, QuantityIn, Scalar

if TYPE_CHECKING:
    import numpy as np
    import pint
    import xarray

_ARC_LAT = register(Quantity(
    "arc_lat_wgs84", "meridian arc length from the equator", "gradient", "arc_lat_wgs84_scalar",
    "arc_lat_wgs84_array", ("lat",), (_units.DEGREES_NORTH,), "m"))
_ARC_LON = register(Quantity(
    "arc_lon_wgs84", "arc length along the parallel", "gradient", "arc_lon_wgs84_scalar",
    "arc_lon_wgs84_array", ("lon", "lat"), (_units.DEGREES_EAST, _units.DEGREES_NORTH), "m"))
_RAD_LAT = register(Quantity(
    "rad_lat_wgs84", "WGS84 radius at latitude", "gradient", "rad_lat_wgs84_scalar",
    "rad_lat_wgs84_array", ("lat",), (_units.DEGREES_NORTH,), "m"))


@overload
def arc_lat_wgs84(lat: float, *, dtype: None = None) -> float: ...
@overload
def arc_lat_wgs84(lat: Scalar, *, dtype: DTypeLike = None) -> np.floating[Any]: ...
@overload
def arc_lat_wgs84(lat: ArrayIn, *, dtype: DTypeLike = None) -> FloatArray: ...
@overload
def arc_lat_wgs84(lat: DataArrayIn, *, dtype: DTypeLike = None) -> xarray.DataArray: ...
@overload
def arc_lat_wgs84(lat: QuantityIn, *, dtype: DTypeLike = None) -> pint.Quantity[Any]: ...
@overload
def arc_lat_wgs84(lat: Any, *, dtype: DTypeLike = None) -> Any: ...
@shared_docs
def arc_lat_wgs84(lat: Any, *, dtype: DTypeLike = None) -> Any:
    """Meridian arc length in metres from the equator to a latitude, on WGS84.

    Signed like `lat` (negative in the southern hemisphere).

    Parameters
    ----------
    lat : float or array_like
        Latitude, degrees north.
    [[dtype]]

    Returns
    -------
    float, ndarray, DataArray or Quantity
        Meridian arc length, m.
        [[kinds]]

    See Also
    --------
    arc_lon_wgs84, rad_lat_wgs84

    References
    ----------
    .. [1] National Imagery and Mapping Agency, "Department of Defense World
           Geodetic System 1984: its definition and relationships with local
           geodetic systems", Technical Report TR8350.2, 3rd ed., 2000.

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.arc_lat_wgs84(45.0), 1))
    5006329.0
    """
    return evaluate(_ARC_LAT, (lat,), dtype=dtype)


@overload
def arc_lon_wgs84(lon: float, lat: float, *, dtype: None = None) -> float: ...
@overload
def arc_lon_wgs84(lon: Scalar, lat: Scalar, *, dtype: DTypeLike = None) -> np.floating[Any]: ...
@overload
def arc_lon_wgs84(lon: ArrayIn, lat: ArrayIn, *, dtype: DTypeLike = None) -> FloatArray: ...
@overload
def arc_lon_wgs84(lon: DataArrayIn, lat: DataArrayIn, *, dtype: DTypeLike = None
                  ) -> xarray.DataArray: ...
@overload
def arc_lon_wgs84(lon: QuantityIn, lat: QuantityIn, *, dtype: DTypeLike = None
                  ) -> pint.Quantity[Any]: ...
@overload
def arc_lon_wgs84(lon: Any, lat: Any, *, dtype: DTypeLike = None) -> Any: ...
@shared_docs
def arc_lon_wgs84(lon: Any, lat: Any, *, dtype: DTypeLike = None) -> Any:
    """Length in metres of an arc of longitude along a parallel, on WGS84.

    The arc spans `lon` degrees of longitude along the parallel at latitude
    `lat`. Both arguments broadcast together.

    Parameters
    ----------
    lon : float or array_like
        Extent of the arc in longitude, degrees.
    lat : float or array_like
        Latitude of the parallel, degrees north.
    [[dtype]]

    Returns
    -------
    float, ndarray, DataArray or Quantity
        Arc length, m.
        [[kinds]]

    See Also
    --------
    arc_lat_wgs84, rad_lat_wgs84

    References
    ----------
    .. [1] National Imagery and Mapping Agency, "Department of Defense World
           Geodetic System 1984: its definition and relationships with local
           geodetic systems", Technical Report TR8350.2, 3rd ed., 2000.

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.arc_lon_wgs84(1.0, 45.0), 1))
    78582.9
    """
    return evaluate(_ARC_LON, (lon, lat), dtype=dtype)


@overload
def rad_lat_wgs84(lat: float, *, dtype: None = None) -> float: ...
@overload
def rad_lat_wgs84(lat: Scalar, *, dtype: DTypeLike = None) -> np.floating[Any]: ...
@overload
def rad_lat_wgs84(lat: ArrayIn, *, dtype: DTypeLike = None) -> FloatArray: ...
@overload
def rad_lat_wgs84(lat: DataArrayIn, *, dtype: DTypeLike = None) -> xarray.DataArray: ...
@overload
def rad_lat_wgs84(lat: QuantityIn, *, dtype: DTypeLike = None) -> pint.Quantity[Any]: ...
@overload
def rad_lat_wgs84(lat: Any, *, dtype: DTypeLike = None) -> Any: ...
@shared_docs
def rad_lat_wgs84(lat: Any, *, dtype: DTypeLike = None) -> Any:
    """Radius in metres of the WGS84 meridian ellipse at a latitude.

    Parameters
    ----------
    lat : float or array_like
        Latitude, degrees north.
    [[dtype]]

    Returns
    -------
    float, ndarray, DataArray or Quantity
        Radius, m.
        [[kinds]]

    See Also
    --------
    arc_lat_wgs84, arc_lon_wgs84

    References
    ----------
    .. [1] National Imagery and Mapping Agency, "Department of Defense World
           Geodetic System 1984: its definition and relationships with local
           geodetic systems", Technical Report TR8350.2, 3rd ed., 2000.

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.rad_lat_wgs84(45.0), 1))
    6367453.6
    """
    return evaluate(_RAD_LAT, (lat,), dtype=dtype)
