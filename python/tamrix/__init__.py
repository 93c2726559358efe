"""tamrix: the `_tamrix_rs` kernels for NumPy arrays of any shape, xarray
DataArrays, dask arrays and pint quantities.

Each function takes Python numbers, NumPy arrays (any shape, dtype and
layout; broadcast together), dask arrays, DataArrays or pint quantities and
returns the kind it was given, with values bit-identical to the kernel call
(in the inputs' dtype: float32 in, float32 out). Declared units are
converted to the kernels', DataArrays are labelled with CF attributes, dask
stays lazy (also on dask.distributed). One generic path (`_generic`) does
this for every function; each function is its NumPy block (`_blocks`) and a
declaration. xarray, dask and pint are optional and imported only when an
input needs them; `python -m tamrix` is the command line for netCDF files.

Threads: every kernel call runs on the extension's worker pool, sized once
per process from RAYON_NUM_THREADS (else RAYON_RS_NUM_CPUS, else all CPUs).
With dask.distributed give each worker process RAYON_NUM_THREADS=1 and one
thread per core in total; with the threaded scheduler keep the default pool.
`tamrix.show_config()` tells which exp/log path the kernels take.

Internal failures of the kernels raise `tamrix.PanicException`, a subclass of
BaseException (not Exception): catch it by that name.
"""

from typing import TYPE_CHECKING, Any

from ._config import show_config
from .geodesy import arc_lat_wgs84, arc_lon_wgs84, rad_lat_wgs84
from .meteorology import (dewtemp, heat_index, max_daylight, psychrometric_constant, relhum,
                          relhum_ice, relhum_water, saturation_vapor_pressure,
                          saturation_vapor_pressure_slope)
from .vertical import (delta_pressure, delta_pressure_hybrid, geo_height_extrapolate,
                       hybrid_to_pressure, interp_to_levels, interpolate_columns,
                       pressure_at_hybrid_levels, temp_extrapolate)

__all__ = [
    "arc_lat_wgs84",
    "arc_lon_wgs84",
    "delta_pressure",
    "delta_pressure_hybrid",
    "dewtemp",
    "geo_height_extrapolate",
    "heat_index",
    "hybrid_to_pressure",
    "interp_to_levels",
    "interpolate_columns",
    "max_daylight",
    "PanicException",
    "pressure_at_hybrid_levels",
    "psychrometric_constant",
    "rad_lat_wgs84",
    "relhum",
    "relhum_ice",
    "relhum_water",
    "saturation_vapor_pressure",
    "saturation_vapor_pressure_slope",
    "show_config",
    "temp_extrapolate",
]

if TYPE_CHECKING:
    PanicException: type[BaseException]
    __version__: str


def __getattr__(name: str) -> Any:
    if name == "__version__":
        # The version lives in one place, the package metadata (pyproject.toml).
        from importlib.metadata import PackageNotFoundError, version

        try:
            globals()[name] = version("tamrix")
        except PackageNotFoundError:  # imported from a source tree
            globals()[name] = "0+unknown"
        return globals()[name]
    # The extension makes the type on first need, so it is fetched (and kept
    # here) only when asked for.
    if name == "PanicException":
        from ._panic import panic_exception

        globals()[name] = panic_exception()
        return globals()[name]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | {"PanicException", "__version__"})
