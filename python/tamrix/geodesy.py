"""Arc lengths and radius on the WGS84 ellipsoid."""

from __future__ import annotations

from typing import Any, overload

from . import _units
from ._dispatch import DTypeLike
from ._elementwise import Quantity, evaluate, register

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
def arc_lat_wgs84(lat: float, *,
                  dtype: DTypeLike = None) -> float: ...
@overload
def arc_lat_wgs84(lat: Any, *,
                  dtype: DTypeLike = None) -> Any: ...
def arc_lat_wgs84(lat: Any, *,
                  dtype: DTypeLike = None) -> Any:
    """Meridian arc in metres from the equator to latitude lat (degrees north), signed like lat."""
    return evaluate(_ARC_LAT, (lat,), dtype=dtype)


@overload
def arc_lon_wgs84(lon: float, lat: float, *,
                  dtype: DTypeLike = None) -> float: ...
@overload
def arc_lon_wgs84(lon: Any, lat: Any, *,
                  dtype: DTypeLike = None) -> Any: ...
def arc_lon_wgs84(lon: Any, lat: Any, *,
                  dtype: DTypeLike = None) -> Any:
    """Length in metres of an arc of lon degrees of longitude along the parallel at lat degrees."""
    return evaluate(_ARC_LON, (lon, lat), dtype=dtype)


@overload
def rad_lat_wgs84(lat: float, *,
                  dtype: DTypeLike = None) -> float: ...
@overload
def rad_lat_wgs84(lat: Any, *,
                  dtype: DTypeLike = None) -> Any: ...
def rad_lat_wgs84(lat: Any, *,
                  dtype: DTypeLike = None) -> Any:
    """Radius of the WGS84 meridian ellipse in metres at latitude lat (degrees north)."""
    return evaluate(_RAD_LAT, (lat,), dtype=dtype)
