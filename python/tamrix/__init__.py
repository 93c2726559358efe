"""tamrix: the `_tamrix_rs` kernels for NumPy arrays of any shape, xarray
DataArrays and dask arrays.

Each function takes Python numbers, NumPy arrays (any shape, dtype and memory
layout; broadcast together), dask arrays or DataArrays, and returns the kind
it was given. Values are bit-identical to the direct kernel call: numbers go
to the `_scalar` kernel, arrays are flattened to contiguous float64 and go to
the array kernel. Results come in the result type of the array arguments
(float32 in, float32 out) or the `dtype=` given; converting inputs and results
happens block by block, never for a whole array at once. DataArrays keep their
dimensions and coordinates and get CF attributes; declared units (a `units`
attribute, pint quantities) are converted to the kernel's with pint, and a
unit of the wrong dimension raises ValueError. dask inputs stay lazy and are computed block by block, also on
`dask.distributed`. `hybrid_to_pressure` takes model-level data to pressure
levels in one call; `python -m tamrix` is the command line for netCDF files.

xarray, dask and pint are optional (`pip install "tamrix[xarray]"`,
`"tamrix[dask]"`, `"tamrix[units]"`) and imported only when an input needs
them.

Threads: every kernel call holds the interpreter lock and runs on the
module's own worker pool, sized once per process from RAYON_NUM_THREADS (else
RAYON_RS_NUM_CPUS, else all CPUs available). With dask, give each worker
process RAYON_NUM_THREADS=1 and one thread per core in total (for example
`LocalCluster(n_workers=ncores, threads_per_worker=1,
env={"RAYON_NUM_THREADS": "1"})`), or with the threaded scheduler leave the
pool at its default size: calls are serialised by the interpreter lock, and
the pool uses every core within each call.

exp and log: the kernels that take one exp() or log() per element compute
four at a time with the C library's exact bits where that was verified at
start-up (glibc 2.36 on a CPU with AVX2 and FMA), else call the C library;
`tamrix.show_config()` tells which, TAMRIX_SCALAR_LIBM=1 forces the latter.

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
