"""Arc lengths and radius on the WGS84 ellipsoid."""

from __future__ import annotations

from typing import Any

from ._blocks import gradient as kernels
from ._generic import function
from ._metadata import Result
from ._units import DEGREES_EAST, DEGREES_NORTH


@function("()->()", units={"lat": DEGREES_NORTH}, scalar=kernels.arc_lat_wgs84_scalar,
          result=Result("meridian arc length from the equator", "m"))
def arc_lat_wgs84(lat: Any) -> Any:
    """Meridian arc length in metres from the equator to a latitude, on WGS84.

    Signed like `lat` (negative in the southern hemisphere).

    Parameters
    ----------
    lat : float or array_like
        Latitude, degrees north.
    [[keywords]]

    Returns
    -------
    [[returns]] Meridian arc length, m.

    See Also
    --------
    arc_lon_wgs84, rad_lat_wgs84

    References
    ----------
    [[wgs84]]

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.arc_lat_wgs84(45.0), 1))
    5006329.0
    """
    return kernels.arc_lat_wgs84_array(lat)


@function("(),()->()", units={"lon": DEGREES_EAST, "lat": DEGREES_NORTH},
          scalar=kernels.arc_lon_wgs84_scalar, result=Result("arc length along the parallel", "m"))
def arc_lon_wgs84(lon: Any, lat: Any) -> Any:
    """Length in metres of an arc of longitude along a parallel, on WGS84.

    The arc spans `lon` degrees of longitude along the parallel at latitude
    `lat`. Both arguments broadcast together.

    Parameters
    ----------
    lon : float or array_like
        Extent of the arc in longitude, degrees.
    lat : float or array_like
        Latitude of the parallel, degrees north.
    [[keywords]]

    Returns
    -------
    [[returns]] Arc length, m.

    See Also
    --------
    arc_lat_wgs84, rad_lat_wgs84

    References
    ----------
    [[wgs84]]

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.arc_lon_wgs84(1.0, 45.0), 1))
    78582.9
    """
    return kernels.arc_lon_wgs84_array(lon, lat)


@function("()->()", units={"lat": DEGREES_NORTH}, scalar=kernels.rad_lat_wgs84_scalar,
          result=Result("WGS84 radius at latitude", "m"))
def rad_lat_wgs84(lat: Any) -> Any:
    """Radius in metres of the WGS84 meridian ellipse at a latitude.

    Parameters
    ----------
    lat : float or array_like
        Latitude, degrees north.
    [[keywords]]

    Returns
    -------
    [[returns]] Radius, m.

    See Also
    --------
    arc_lat_wgs84, arc_lon_wgs84

    References
    ----------
    [[wgs84]]

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.rad_lat_wgs84(45.0), 1))
    6367453.6
    """
    return kernels.rad_lat_wgs84_array(lat)
