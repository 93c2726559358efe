"""Vertical coordinates: layer thickness, interpolation of columns to new
levels, below-ground extrapolation and hybrid-level pressure.

Functions that work on whole columns take the level axis by number (`axis=`,
for NumPy and dask arrays) or by name (`dim=`, for DataArrays). Internally the
level axis is moved last, so every column is one contiguous stretch of
memory; with dask the level axis is first rechunked into a single chunk
(automatically), and each block is computed independently.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Hashable, Sequence
from typing import TYPE_CHECKING, Any, overload

import numpy as np

from . import _kernels, _units
from ._docs import shared_docs
from ._dispatch import (Kind, apply_dask, apply_xarray, as_numpy, check_real,
                        column_blocks, common_kind, is_dataarray, is_dask_array, kernel, kind_of,
                        label, rechunk_core, result_dtype, whole_axis)
from ._elementwise import Quantity, evaluate, register
from ._typing import ArrayIn, DataArrayIn, DTypeLike, FloatArray, QuantityIn, Scalar

if TYPE_CHECKING:
    import pint
    import xarray

# --- below-ground extrapolation (element-wise, a level per element) ---


def _extrapolate_flat(array_kernel: str, flat: Sequence[np.ndarray], own: Sequence[Any],
                      fixed: tuple[Any, ...]) -> np.ndarray:
    # One call of the package's batched kernel, which takes a level per
    # element, for any number of distinct levels.
    out = np.empty(flat[0].shape)
    getattr(_kernels, array_kernel)(*map(np.ascontiguousarray, flat), out)
    return out


_EXTRAPOLATE_PARAMS = ("t_bot", "lev", "p_sfc", "ps", "phi_sfc")
_EXTRAPOLATE_UNITS = (_units.KELVIN, None, None, None, _units.GEOPOTENTIAL)

_TEMP_EXTRAPOLATE = register(Quantity(
    "temp_extrapolate", "temperature extrapolated below ground", "interpolation",
    "temp_extrapolate_scalar", "temp_extrapolate_array", _EXTRAPOLATE_PARAMS,
    _EXTRAPOLATE_UNITS, "K", same_unit=("lev", "p_sfc", "ps"),
    flat_evaluator=functools.partial(_extrapolate_flat, "temp_extrapolate")))
_GEO_HEIGHT_EXTRAPOLATE = register(Quantity(
    "geo_height_extrapolate", "geopotential height extrapolated below ground", "interpolation",
    "geo_height_extrapolate_scalar", "geo_height_extrapolate_array", _EXTRAPOLATE_PARAMS,
    _EXTRAPOLATE_UNITS, "m", same_unit=("lev", "p_sfc", "ps"),
    flat_evaluator=functools.partial(_extrapolate_flat, "geo_height_extrapolate")))


@overload
def temp_extrapolate(t_bot: float, lev: float, p_sfc: float, ps: float, phi_sfc: float, *,
                     dtype: None = None) -> float: ...
@overload
def temp_extrapolate(t_bot: Scalar, lev: Scalar, p_sfc: Scalar, ps: Scalar, phi_sfc: Scalar, *,
                     dtype: DTypeLike = None) -> np.floating[Any]: ...
@overload
def temp_extrapolate(t_bot: ArrayIn, lev: ArrayIn, p_sfc: ArrayIn, ps: ArrayIn, phi_sfc: ArrayIn, *,
                     dtype: DTypeLike = None) -> FloatArray: ...
@overload
def temp_extrapolate(t_bot: DataArrayIn, lev: DataArrayIn, p_sfc: DataArrayIn, ps: DataArrayIn,
                     phi_sfc: DataArrayIn, *, dtype: DTypeLike = None) -> xarray.DataArray: ...
@overload
def temp_extrapolate(t_bot: QuantityIn, lev: QuantityIn, p_sfc: QuantityIn, ps: QuantityIn,
                     phi_sfc: QuantityIn, *, dtype: DTypeLike = None) -> pint.Quantity[Any]: ...
@overload
def temp_extrapolate(t_bot: Any, lev: Any, p_sfc: Any, ps: Any, phi_sfc: Any, *,
                     dtype: DTypeLike = None) -> Any: ...
@shared_docs
def temp_extrapolate(t_bot: Any, lev: Any, p_sfc: Any, ps: Any, phi_sfc: Any, *,
                     dtype: DTypeLike = None) -> Any:
    """Temperature in K at a pressure level below the ground.

    [[extrapolation_method]]

    [[broadcast]]

    [[extrapolation_parameters]]
    [[dtype]]

    Returns
    -------
    float, ndarray, DataArray or Quantity
        Temperature at `lev`, K.
        [[kinds]]

    See Also
    --------
    geo_height_extrapolate, hybrid_to_pressure

    References
    ----------
    [[trenberth]]

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.temp_extrapolate(288.0, 100000.0, 95000.0, 98000.0, 2000.0), 2))
    290.85
    """
    return evaluate(_TEMP_EXTRAPOLATE, (t_bot, lev, p_sfc, ps, phi_sfc), dtype=dtype)


@overload
def geo_height_extrapolate(t_bot: float, lev: float, p_sfc: float, ps: float, phi_sfc: float, *,
                           dtype: None = None) -> float: ...
@overload
def geo_height_extrapolate(t_bot: Scalar, lev: Scalar, p_sfc: Scalar, ps: Scalar, phi_sfc: Scalar,
                           *, dtype: DTypeLike = None) -> np.floating[Any]: ...
@overload
def geo_height_extrapolate(t_bot: ArrayIn, lev: ArrayIn, p_sfc: ArrayIn, ps: ArrayIn,
                           phi_sfc: ArrayIn, *, dtype: DTypeLike = None) -> FloatArray: ...
@overload
def geo_height_extrapolate(t_bot: DataArrayIn, lev: DataArrayIn, p_sfc: DataArrayIn,
                           ps: DataArrayIn, phi_sfc: DataArrayIn, *, dtype: DTypeLike = None
                           ) -> xarray.DataArray: ...
@overload
def geo_height_extrapolate(t_bot: QuantityIn, lev: QuantityIn, p_sfc: QuantityIn, ps: QuantityIn,
                           phi_sfc: QuantityIn, *, dtype: DTypeLike = None
                           ) -> pint.Quantity[Any]: ...
@overload
def geo_height_extrapolate(t_bot: Any, lev: Any, p_sfc: Any, ps: Any, phi_sfc: Any, *,
                           dtype: DTypeLike = None) -> Any: ...
@shared_docs
def geo_height_extrapolate(t_bot: Any, lev: Any, p_sfc: Any, ps: Any, phi_sfc: Any, *,
                           dtype: DTypeLike = None) -> Any:
    """Geopotential height in m at a pressure level below the ground.

    [[extrapolation_method]]

    [[broadcast]]

    [[extrapolation_parameters]]
    [[dtype]]

    Returns
    -------
    float, ndarray, DataArray or Quantity
        Geopotential height of `lev`, m.
        [[kinds]]

    See Also
    --------
    temp_extrapolate, hybrid_to_pressure

    References
    ----------
    [[trenberth]]

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.geo_height_extrapolate(288.0, 100000.0, 95000.0, 98000.0, 2000.0), 2))
    32.43
    """
    return evaluate(_GEO_HEIGHT_EXTRAPOLATE, (t_bot, lev, p_sfc, ps, phi_sfc), dtype=dtype)


# --- helpers for column functions ---


def _reject_masked(function: str, name: str, value: Any) -> None:
    if np.ma.isMaskedArray(value):
        raise TypeError(f"{function}: {name} is a masked array; fill the masked values "
                        f"(e.g. with NaN) first")


def _normalise_axis(axis: int, ndim: int) -> int:
    if not -ndim <= axis < ndim:
        raise np.exceptions.AxisError(axis, ndim)
    return axis % ndim


def _as_column_input(function: str, name: str, value: Any) -> Any:
    """NumPy or dask input of a column function (dask stays lazy)."""
    _reject_masked(function, name, value)
    if is_dask_array(value):
        return value
    return as_numpy(function, name, value)


def _move(value: Any, source: int, destination: int) -> Any:
    if is_dask_array(value):
        import dask.array as da

        return da.moveaxis(value, source, destination)
    return np.moveaxis(value, source, destination)


def _single_chunk_last(value: Any) -> Any:
    """A dask array with its last (level) axis in one chunk, of about the
    input's chunk size (see `whole_axis`)."""
    if is_dask_array(value):
        return whole_axis(value, -1)
    return value


def _labelled(function: str, name: str, value: Any, dim: str) -> Any:
    """A 1-D unlabelled sequence of levels as a DataArray along `dim`."""
    if is_dataarray(value):
        return value
    import xarray as xr

    array = as_numpy(function, name, value)
    if array.ndim != 1:
        raise TypeError(f"{function}: {name} is an unlabelled {array.ndim}-D array while other "
                        f"arguments are DataArrays; wrap it in a DataArray with named dimensions")
    return xr.DataArray(array, dims=(dim,))


def _place_dim(result: Any, dim: str, position: int) -> Any:
    dims = [d for d in result.dims if d != dim]
    dims.insert(min(position, len(dims)), dim)
    return result.transpose(*dims)


def _is_time(dim: Hashable, sources: Sequence[Any]) -> bool:
    """Whether a dimension is time: named "time", or with a coordinate (in
    any of the DataArrays `sources`) that is datetime-like or marked as time
    (axis "T", standard_name "time")."""
    if dim == "time":
        return True
    coords = [v.coords[dim] for v in sources if is_dataarray(v) and dim in v.coords]
    return any(_is_time_coordinate(coord) for coord in coords)


def _is_time_coordinate(coord: Any) -> bool:
    if coord.attrs.get("axis") == "T" or coord.attrs.get("standard_name") == "time":
        return True
    if coord.dtype.kind in "mM":
        return True
    return bool(coord.dtype == object and coord.size
                and hasattr(coord.values.flat[0], "calendar"))  # cftime dates


def _level_position(result: Any, dim: str, sources: Sequence[Any]) -> int:
    """Where a level dimension new to the other inputs goes: after the leading
    time dimensions and before the horizontal ones, in CF's T, Z, Y, X order
    ((time, lev, lat, lon); (lev, lat, lon) without time). The inputs
    `sources` tell which dimensions are time."""
    others = [d for d in result.dims if d != dim]
    position = 0
    while position < len(others) and _is_time(others[position], sources):
        position += 1
    return position


# --- pressure thickness ---


def _delta_pressure_columns(levels: Any, surface: Any, top: Any = None,
                            dtype: np.dtype[Any] = np.dtype(np.float64)) -> np.ndarray:
    """Thicknesses for levels on the last axis (one column per element of the
    broadcast of the other axes with surface and top), as `dtype`. All
    columns go to the batched kernel: in one call when nothing needs
    converting, else block by block, each block converted on its own."""
    function = "delta_pressure"
    levels = as_numpy(function, "pressure_lev", levels)
    surface = as_numpy(function, "surface_pressure", surface)
    nlev = levels.shape[-1]
    shapes = [levels.shape[:-1], surface.shape]
    if top is not None:
        top = as_numpy(function, "pressure_top", top)
        shapes.append(top.shape)
    columns = np.broadcast_shapes(*shapes)
    if math.prod(columns) * nlev == 0:
        return np.empty(columns + (nlev,), dtype=dtype)
    column_levels = np.broadcast_to(levels, columns + (nlev,))
    surfaces = np.broadcast_to(surface, columns)
    # Levels or a top shared by every column go to the kernel once, as one
    # column (one value).
    shared = None
    if all(stride == 0 or size == 1
           for stride, size in zip(column_levels.strides[:-1], column_levels.shape[:-1])):
        shared = np.ascontiguousarray(column_levels[(0,) * len(columns)], dtype=np.float64)
    tops = None if top is None else np.broadcast_to(top, columns)
    shared_top = None
    if top is not None and top.size == 1:
        shared_top = np.ascontiguousarray(top, dtype=np.float64).reshape(1)

    def block(index: tuple[int | slice, ...]) -> np.ndarray:
        lev = shared if shared is not None else np.ascontiguousarray(
            column_levels[index], dtype=np.float64).reshape(-1)
        ps = np.ascontiguousarray(surfaces[index], dtype=np.float64).reshape(-1)
        pt = shared_top
        if tops is not None and pt is None:
            pt = np.ascontiguousarray(tops[index], dtype=np.float64).reshape(-1)
        result = np.empty(ps.size * nlev)
        _kernels.delta_pressure_columns(lev, ps, nlev, pt, result)
        return result

    if dtype == np.float64 and all(a is None or a.dtype == np.float64
                                   for a in (levels, surface, top)) and (
            shared is not None or column_levels.flags.c_contiguous):
        # Nothing to convert: one call, the kernel's array is the result.
        return block(()).reshape(columns + (nlev,))
    out = np.empty(columns + (nlev,), dtype=dtype)
    for index, _ in column_blocks(columns, nlev):
        target = out[index]
        target[...] = block(index).reshape(target.shape)
    return out


@overload
def delta_pressure(pressure_lev: ArrayIn, surface_pressure: ArrayIn,
                   pressure_top: ArrayIn | None = None, *, axis: int | None = None,
                   dim: str | None = None, dtype: DTypeLike = None) -> FloatArray: ...
@overload
def delta_pressure(pressure_lev: xarray.DataArray | ArrayIn,
                   surface_pressure: xarray.DataArray | ArrayIn,
                   pressure_top: xarray.DataArray | ArrayIn | None = None, *,
                   axis: int | None = None, dim: str | None = None, dtype: DTypeLike = None
                   ) -> xarray.DataArray: ...
@overload
def delta_pressure(pressure_lev: Any, surface_pressure: Any, pressure_top: Any = None, *,
                   axis: int | None = None, dim: str | None = None, dtype: DTypeLike = None
                   ) -> Any: ...
@shared_docs
def delta_pressure(pressure_lev: Any, surface_pressure: Any, pressure_top: Any = None, *,
                   axis: int | None = None, dim: str | None = None, dtype: DTypeLike = None) -> Any:
    """Pressure thickness of the layer each level represents.

    Layer edges lie half-way between neighbouring levels; the uppermost layer is
    closed by `pressure_top` and the lowest layer above the ground by the
    surface pressure; levels below the ground get 0. A column may run top-first
    or surface-first (decided by its two end levels), and the result keeps its
    order. For n >= 1 levels the thicknesses of a column sum to
    ``surface_pressure - pressure_top``. For thickness from hybrid interface
    coefficients, which is exact, see `delta_pressure_hybrid`.

    All columns go to one call of the batched kernel
    ``tamrix._kernels.delta_pressure_columns``, in parallel on the worker
    pool; each column is bit-identical to its own
    ``_tamrix_rs.interpolation.delta_pressure_1d`` call.

    Parameters
    ----------
    pressure_lev : array_like or DataArray
        Level pressures: one 1-D set shared by all columns, or a field whose
        level axis is `axis` (`dim` for DataArrays). Any pressure unit, the same
        for all three pressure arguments (DataArrays must declare the same
        ``units``).
    surface_pressure : float, array_like or DataArray
        Surface pressure, one value per column: the shape of `pressure_lev`
        without its level axis, or broadcastable to it.
    pressure_top : float, array_like or DataArray, optional
        Top of the uppermost layer, one value or one per column. Default: the
        smallest level pressure of each column.
    axis : int, optional
        The level axis of an N-D `pressure_lev` (required then), or where the
        level axis goes in the result of a 1-D one (default 0).
    dim : str, optional
        The level dimension of DataArrays (default: that of a 1-D DataArray
        `pressure_lev`, else "lev"). A level field keeps its dimension order; a
        1-D `pressure_lev` puts the level dimension after the time dimension of
        `surface_pressure` ((time, lev, lat, lon)), or first when it has none.
    [[dtype]]

    Returns
    -------
    ndarray, dask array or DataArray
        Thickness of each level's layer, in the unit of the pressures, with the
        shape of the broadcast columns plus the level axis. DataArrays get the
        name "delta_pressure" and ``long_name`` and ``units`` attributes.

    See Also
    --------
    delta_pressure_hybrid : exact thickness from interface coefficients.

    References
    ----------
    [[trenberth]]

    Examples
    --------
    >>> import numpy as np, tamrix
    >>> print(tamrix.delta_pressure(np.array([100.0, 200.0, 300.0, 400.0, 500.0]), 450.0))
    [ 50. 100. 100. 100.   0.]
    >>> levels = np.array([100.0, 200.0, 300.0])
    >>> print(tamrix.delta_pressure(levels, np.array([250.0, 1000.0]), 0.0, axis=-1))
    [[150. 100.   0.]
     [150. 100. 750.]]
    """
    function = "delta_pressure"
    values = (pressure_lev, surface_pressure, pressure_top)
    out_dtype = result_dtype(function, values, dtype)
    if any(is_dataarray(v) for v in values):
        if axis is not None:
            raise TypeError(f"{function}: give the level dimension of DataArrays by name (dim=)")
        return _delta_pressure_xarray(pressure_lev, surface_pressure, pressure_top, dim,
                                      out_dtype)
    if kind_of(pressure_lev) < Kind.NUMPY:
        raise ValueError(f"{function}: pressure_lev must be an array with a level axis")
    levels = _as_column_input(function, "pressure_lev", pressure_lev)
    surface = _as_column_input(function, "surface_pressure", surface_pressure)
    top = None if pressure_top is None else _as_column_input(function, "pressure_top",
                                                             pressure_top)
    if levels.ndim == 0:
        raise ValueError(f"{function}: pressure_lev must be an array with a level axis")
    if levels.ndim == 1:
        out_ndim = max(np.ndim(surface), 0 if top is None else np.ndim(top)) + 1
        position = _normalise_axis(0 if axis is None else axis, out_ndim) - out_ndim
    else:
        if axis is None:
            raise TypeError(f"{function}: pressure_lev has {levels.ndim} dimensions; give its "
                            f"level axis with axis=")
        position = _normalise_axis(axis, levels.ndim) - levels.ndim
        levels = _move(levels, position, -1)
    if any(is_dask_array(v) for v in (levels, surface, top)):
        levels = _single_chunk_last(levels)
        if top is None or np.ndim(top) == 0:
            block = functools.partial(_delta_pressure_columns, top=top, dtype=out_dtype)
            result = apply_dask(block, "(n),()->(n)", [levels, surface], dtype=out_dtype)
        else:
            block = functools.partial(_delta_pressure_columns, dtype=out_dtype)
            result = apply_dask(block, "(n),(),()->(n)", [levels, surface, top],
                                dtype=out_dtype)
    else:
        result = _delta_pressure_columns(levels, surface, top, out_dtype)
    return _move(result, -1, position)


def _delta_pressure_xarray(pressure_lev: Any, surface_pressure: Any, pressure_top: Any,
                           dim: str | None, dtype: np.dtype[Any]) -> Any:
    function = "delta_pressure"
    if dim is None:
        if is_dataarray(pressure_lev) and pressure_lev.ndim == 1:
            dim = str(pressure_lev.dims[0])
        elif is_dataarray(pressure_lev):
            raise TypeError(f"{function}: give the level dimension with dim=")
        else:
            dim = "lev"
    pressure_lev = _labelled(function, "pressure_lev", pressure_lev, dim)
    if dim not in pressure_lev.dims:
        raise ValueError(f"{function}: pressure_lev has no dimension {dim!r}")
    common_kind(function, ("surface_pressure", "pressure_top"), (surface_pressure, pressure_top))
    units = _units.common(function, [("pressure_lev", pressure_lev),
                                     ("surface_pressure", surface_pressure),
                                     ("pressure_top", pressure_top)])
    pressure_lev = rechunk_core(pressure_lev, dim)
    if pressure_top is None or np.ndim(pressure_top) == 0:
        result = apply_xarray(functools.partial(_delta_pressure_columns, top=pressure_top,
                                                dtype=dtype),
                              [pressure_lev, surface_pressure],
                              input_core_dims=[[dim], []], output_core_dims=[[dim]],
                              dtype=dtype)
    else:
        result = apply_xarray(functools.partial(_delta_pressure_columns, dtype=dtype),
                              [pressure_lev, surface_pressure, pressure_top],
                              input_core_dims=[[dim], [], []], output_core_dims=[[dim]],
                              dtype=dtype)
    # A level field keeps its own order; levels shared by all columns take
    # the level dimension to its CF place among the other dimensions.
    if pressure_lev.ndim > 1:
        position = pressure_lev.dims.index(dim)
    else:
        position = _level_position(result, dim, (surface_pressure, pressure_top))
    attrs = {"long_name": "pressure thickness"}
    if units is not None:
        attrs["units"] = units
    return label(_place_dim(result, dim, position), "delta_pressure", attrs)


# --- interpolation of columns to new levels ---


def _interpolate_columns(data: Any, coord: Any, new_levels: np.ndarray, log: bool = False,
                         dtype: np.dtype[Any] = np.dtype(np.float64)) -> np.ndarray:
    """Interpolates data along its last axis from coord (broadcast against it)
    to new_levels, as `dtype`; all columns in one kernel call, or block by
    block when the inputs or the result need converting. With `log`, coord is
    replaced by its logarithm here, block by block (new_levels are given as
    logarithms already)."""
    data = as_numpy("interp_to_levels", "data", data)
    coord = as_numpy("interp_to_levels", "coord", coord)
    if log and coord.dtype == np.float64 and data.dtype == np.float64 and dtype == np.float64:
        coord = np.log(coord)
    try:
        data, coord = np.broadcast_arrays(data, coord)
    except ValueError:
        raise ValueError(f"interp_to_levels: data {data.shape} and coord {coord.shape} do not "
                         f"broadcast together") from None
    nlev_in = data.shape[-1]
    columns = data.shape[:-1]
    ncols = math.prod(columns)
    nlev_out = new_levels.size
    if ncols == 0 or nlev_out == 0:
        return np.full(columns + (nlev_out,), np.nan, dtype=dtype)
    if nlev_in == 0:
        raise ValueError("interp_to_levels: the level axis of data is empty")
    interpolate = kernel("interpolation", "interpolate_columns")
    if dtype != np.float64 or data.dtype != np.float64 or coord.dtype != np.float64:
        out = np.empty(columns + (nlev_out,), dtype=dtype)
        for index, count in column_blocks(columns, max(nlev_in, nlev_out)):
            xp = np.ascontiguousarray(coord[index], dtype=np.float64).reshape(-1)
            if log:
                xp = np.log(xp)
            values = np.ascontiguousarray(data[index], dtype=np.float64).reshape(-1)
            target = out[index]
            target[...] = interpolate(xp, values, new_levels, nlev_in,
                                      count).reshape(target.shape)
        return out
    # Level axis last and contiguous: exactly the column-after-column layout
    # the kernel reads.
    xp_flat = np.ascontiguousarray(coord, dtype=np.float64).reshape(-1)
    data_flat = np.ascontiguousarray(data, dtype=np.float64).reshape(-1)
    result: np.ndarray = interpolate(xp_flat, data_flat, new_levels, nlev_in, ncols)
    return result.reshape(columns + (nlev_out,))


def _target_levels(function: str, new_levels: Any) -> np.ndarray:
    values = np.asarray(new_levels.values if is_dataarray(new_levels) else new_levels)
    if values.ndim > 1:
        raise ValueError(f"{function}: new_levels must be one-dimensional")
    check_real(function, "new_levels", values.dtype)
    return np.ascontiguousarray(values, dtype=np.float64).reshape(-1)


@overload
def interp_to_levels(data: ArrayIn, coord: ArrayIn, new_levels: ArrayIn, *, axis: int | None = None,
                     dim: str | None = None, new_dim: str | None = None, log: bool = False,
                     dtype: DTypeLike = None) -> FloatArray: ...
@overload
def interp_to_levels(data: xarray.DataArray | ArrayIn, coord: xarray.DataArray | ArrayIn,
                     new_levels: xarray.DataArray | ArrayIn, *, axis: int | None = None,
                     dim: str | None = None, new_dim: str | None = None, log: bool = False,
                     dtype: DTypeLike = None) -> xarray.DataArray: ...
@overload
def interp_to_levels(data: Any, coord: Any, new_levels: Any, *, axis: int | None = None,
                     dim: str | None = None, new_dim: str | None = None, log: bool = False,
                     dtype: DTypeLike = None) -> Any: ...
@shared_docs
def interp_to_levels(data: Any, coord: Any, new_levels: Any, *, axis: int | None = None,
                     dim: str | None = None, new_dim: str | None = None, log: bool = False,
                     dtype: DTypeLike = None) -> Any:
    """Linear interpolation of every column of data to common target levels.

    Piecewise linear in the coordinate as given; a column may run either way.
    Targets outside a column's range give NaN. All columns go to the kernel in
    one call (the level axis is moved last and made contiguous; no Python
    loop). With dask the level axis is rechunked into one chunk automatically,
    and the other axes into smaller chunks so that a chunk holds about as many
    bytes as the largest input chunk (never less than one whole column).

    Parameters
    ----------
    data : array_like or DataArray
        Values on levels along `axis` (`dim` for DataArrays), e.g. a (time,
        level, lat, lon) field.
    coord : array_like or DataArray
        The vertical coordinate of each value (pressure, height, ...): the shape
        of `data`, or 1-D along the level axis when all columns share it.
    new_levels : array_like or DataArray
        1-D targets, in the unit of `coord`. pint quantities (and pint-backed
        DataArrays) for `coord` and `new_levels` are converted to one unit
        first.
    axis : int, optional
        The level axis of NumPy and dask `data` (required for N-D data).
    dim : str, optional
        The level dimension of DataArrays (default: that of a 1-D `coord` or
        `data`).
    new_dim : str, optional
        Name of the result's level dimension (default: the dimension of a
        DataArray `new_levels`, else `dim`); it has `new_levels` as coordinate
        and takes the place of `dim`.
    log : bool, optional
        Interpolate linearly in the logarithm of `coord` (identical to passing
        ``np.log(coord)`` and ``np.log(new_levels)``); the new coordinate keeps
        `new_levels` as given.
    dtype : data-type, optional
        Type of the result's values. Default: the NumPy result type of `data`
        and `coord` (float32 in, float32 out; `new_levels` only place the
        result), float64 for integer input. Computed in float64 either way;
        converted block by block, never whole.

    Returns
    -------
    ndarray, dask array or DataArray
        `data` with its level axis replaced by `new_levels`, NaN outside each
        column's range. DataArrays keep the data's name and attributes.

    See Also
    --------
    interpolate_columns : the kernel's flat arguments, checked.
    hybrid_to_pressure : from hybrid model levels, with extrapolation.

    References
    ----------
    [[trenberth]]

    Examples
    --------
    >>> import numpy as np, tamrix
    >>> data = np.array([[10.0, 20.0, 30.0]])          # one column, 3 levels
    >>> levels = np.array([1000.0, 850.0, 500.0])     # hPa, shared by all columns
    >>> print(tamrix.interp_to_levels(data, levels, [900.0, 700.0], axis=1))
    [[16.66666667 24.28571429]]
    """
    function = "interp_to_levels"
    (coord, new_levels), _ = _units.strip(function, [("coord", coord),
                                                     ("new_levels", new_levels)])
    new = _target_levels(function, new_levels)
    if log:
        new = np.log(new)
    # The targets only place the result; its values come from data and coord.
    out_dtype = result_dtype(function, (data, coord), dtype)
    if any(is_dataarray(v) for v in (data, coord)):
        if axis is not None:
            raise TypeError(f"{function}: give the level dimension of DataArrays by name (dim=)")
        return _interp_xarray(data, coord, new_levels, new, dim, new_dim, log, out_dtype)
    values = _as_column_input(function, "data", data)
    levels = _as_column_input(function, "coord", coord)
    if values.ndim == 0:
        raise ValueError(f"{function}: data must be an array with a level axis")
    if axis is None:
        if values.ndim != 1:
            raise TypeError(f"{function}: data has {values.ndim} dimensions; give its level "
                            f"axis with axis=")
        axis = 0
    position = _normalise_axis(axis, values.ndim) - values.ndim
    if levels.ndim == 1 and values.ndim > 1:
        # One set of levels shared by all columns.
        levels = levels.reshape((-1,) + (1,) * (-position - 1))
    elif levels.ndim != values.ndim:
        raise ValueError(f"{function}: coord must have the dimensions of data, or be 1-D "
                         f"along the level axis (got {levels.shape} for data {values.shape})")
    values = _move(values, position, -1)
    levels = _move(levels, position, -1)
    if is_dask_array(values) or is_dask_array(levels):
        block = functools.partial(_interpolate_columns, new_levels=new, log=log, dtype=out_dtype)
        result = apply_dask(block, "(n),(n)->(m)",
                            [_single_chunk_last(values), _single_chunk_last(levels)],
                            output_sizes={"m": new.size}, dtype=out_dtype)
    else:
        result = _interpolate_columns(values, levels, new, log, out_dtype)
    return _move(result, -1, position)


def _interp_xarray(data: Any, coord: Any, new_levels: Any, new: np.ndarray, dim: str | None,
                   new_dim: str | None, log: bool = False,
                   dtype: np.dtype[Any] = np.dtype(np.float64)) -> Any:
    function = "interp_to_levels"
    if dim is None:
        if is_dataarray(coord) and coord.ndim == 1:
            dim = str(coord.dims[0])
        elif is_dataarray(data) and data.ndim == 1:
            dim = str(data.dims[0])
        else:
            raise TypeError(f"{function}: give the level dimension with dim=")
    data = _labelled(function, "data", data, dim)
    coord = _labelled(function, "coord", coord, dim)
    for name, value in (("data", data), ("coord", coord)):
        if dim not in value.dims:
            raise ValueError(f"{function}: {name} has no dimension {dim!r}")
    if new_dim is None:
        new_dim = str(new_levels.dims[0]) if is_dataarray(new_levels) and new_levels.ndim == 1 \
            else dim
    units = _units.common(function, [("coord", coord), ("new_levels", new_levels)])
    result = apply_xarray(
        functools.partial(_interpolate_columns, new_levels=new, log=log, dtype=dtype),
        [rechunk_core(data, dim), rechunk_core(coord, dim)],
        input_core_dims=[[dim], [dim]], output_core_dims=[[new_dim]],
        exclude_dims=frozenset({dim}), output_sizes={new_dim: new.size}, dtype=dtype)
    order = [new_dim if d == dim else d for d in data.dims]
    result = result.transpose(*order, ...)
    level_attrs = dict(new_levels.attrs) if is_dataarray(new_levels) else {}
    if units is not None:
        level_attrs.setdefault("units", units)
    levels = _target_levels(function, new_levels) if log else new
    result = result.assign_coords({new_dim: (new_dim, levels, level_attrs)})
    return label(result, data.name, dict(data.attrs))


# --- pressure on hybrid levels ---


def _hybrid_columns(psfc: Any, hya: np.ndarray, hyb: np.ndarray, p0: float,
                    dtype: np.dtype[Any] = np.dtype(np.float64), layers: bool = False
                    ) -> np.ndarray:
    """Pressures with the level axis last (a view of a level-major table, so
    moving the level axis first again costs nothing). With `layers`, hya and
    hyb are interface coefficients and the result is the thickness of the
    layer between each pair of neighbouring interfaces: the absolute
    difference of their pressures, each computed exactly as
    pressure_at_hybrid_levels computes it."""
    surface = as_numpy("pressure_at_hybrid_levels", "psfc", psfc)
    table_of = kernel("interpolation", "pressure_at_hybrid_levels_array")
    nlev = hya.size - 1 if layers else hya.size

    def pressures(points: np.ndarray) -> np.ndarray:
        table: np.ndarray = table_of(hya, hyb, points, p0).reshape(hya.size, points.size)
        if layers:
            table = np.abs(table[1:] - table[:-1])
        return table

    if dtype == np.float64 and surface.dtype == np.float64 and not layers:
        flat = np.ascontiguousarray(surface).reshape(-1)
        out = pressures(flat).reshape((nlev,) + surface.shape)
    else:
        out = np.empty((max(nlev, 0),) + surface.shape, dtype=dtype)
        if out.size:
            for index, _ in column_blocks(surface.shape, hya.size):
                points = np.ascontiguousarray(surface[index], dtype=np.float64).reshape(-1)
                target = out[(slice(None), *index)]
                target[...] = pressures(points).reshape(target.shape)
    return np.moveaxis(out, 0, -1)


def _coefficients(function: str, name: str, value: Any) -> np.ndarray:
    array = np.asarray(value.values if is_dataarray(value) else value)
    check_real(function, name, array.dtype)
    if array.ndim > 1:
        raise ValueError(f"{function}: {name} must be one-dimensional")
    return np.asarray(array, dtype=np.float64, order="C")


def _hybrid_pair(function: str, names: tuple[str, str], first: Any, second: Any
                 ) -> tuple[np.ndarray, np.ndarray]:
    a = _coefficients(function, names[0], first)
    b = _coefficients(function, names[1], second)
    if a.shape != b.shape:
        raise ValueError(f"{function}: {names[0]} and {names[1]} must have the same length "
                         f"({a.size} != {b.size})")
    return a, b


def _reference_pressure(function: str, psfc: Any, p0: Any) -> float:
    if is_dataarray(p0):
        _units.common(function, [("psfc", psfc), ("p0", p0)])
    return float(p0)


@overload
def pressure_at_hybrid_levels(hya: float, hyb: float, psfc: float, p0: float, *,
                              axis: int | None = None, dim: str | None = None, dtype: None = None
                              ) -> float: ...
@overload
def pressure_at_hybrid_levels(hya: Scalar, hyb: Scalar, psfc: Scalar, p0: Scalar | xarray.DataArray,
                              *, axis: int | None = None, dim: str | None = None,
                              dtype: DTypeLike = None) -> np.floating[Any]: ...
@overload
def pressure_at_hybrid_levels(hya: ArrayIn | xarray.DataArray, hyb: ArrayIn | xarray.DataArray,
                              psfc: ArrayIn, p0: Scalar | xarray.DataArray, *,
                              axis: int | None = None, dim: str | None = None,
                              dtype: DTypeLike = None) -> FloatArray: ...
@overload
def pressure_at_hybrid_levels(hya: ArrayIn | xarray.DataArray, hyb: ArrayIn | xarray.DataArray,
                              psfc: xarray.DataArray, p0: Scalar | xarray.DataArray, *,
                              axis: int | None = None, dim: str | None = None,
                              dtype: DTypeLike = None) -> xarray.DataArray: ...
@overload
def pressure_at_hybrid_levels(hya: Any, hyb: Any, psfc: Any, p0: Any, *, axis: int | None = None,
                              dim: str | None = None, dtype: DTypeLike = None) -> Any: ...
def pressure_at_hybrid_levels(hya: Any, hyb: Any, psfc: Any, p0: Any, *, axis: int | None = None,
                              dim: str | None = None, dtype: DTypeLike = None) -> Any:
    """Pressure hya·p0 + hyb·psfc on hybrid sigma-pressure levels.

    Each level's pressure is a fixed part hya·p0 plus a part hyb·psfc that
    follows the surface pressure, computed exactly as
    ``_tamrix_rs.interpolation.pressure_at_hybrid_levels_array`` computes it.
    The kind of `psfc` decides the kind of the result.

    Parameters
    ----------
    hya, hyb : float, array_like or DataArray
        The hybrid coefficients: numbers (one level) or 1-D arrays of equal
        length (one entry per level).
    psfc : float, array_like or DataArray
        Surface pressure(s), any shape, in any pressure unit.
    p0 : float or DataArray
        Reference pressure, in the unit of `psfc`.
    axis : int, optional
        Where the new level axis goes in the result when hya and hyb are 1-D:
        default 0 (level first) for arrays. For DataArrays the default puts the
        level dimension after the time dimension of `psfc`, in CF order
        ((time, lev, lat, lon)), or first when it has none.
    dim : str, optional
        Name of the level dimension of a DataArray result: that of a DataArray
        `hya` if given as one, else `dim` (default "lev").
    dtype : data-type, optional
        Type of the result's values. Default: the dtype of `psfc` (float32 in,
        float32 out; the coefficients and `p0` only describe the vertical
        coordinate and do not count), float64 for Python numbers and integer
        input. The kernel computes in float64 either way; converted block by
        block, never whole.

    Returns
    -------
    float, NumPy scalar, ndarray, dask array or DataArray
        Pressure, in the unit of `psfc` and `p0`. DataArrays get the name
        "pressure", the coordinate of a DataArray `hya`, and
        ``standard_name``, ``long_name`` and ``units`` attributes.

    See Also
    --------
    delta_pressure_hybrid, hybrid_to_pressure

    References
    ----------
    .. [1] A. J. Simmons and D. M. Burridge, "An energy and angular-momentum
           conserving vertical finite-difference scheme and hybrid vertical
           coordinates", Mon. Wea. Rev. 109, 758-766, 1981.

    Examples
    --------
    >>> import numpy as np, tamrix
    >>> hyam, hybm = np.array([0.05, 0.025]), np.array([0.25, 0.75])
    >>> print(tamrix.pressure_at_hybrid_levels(hyam, hybm, np.array([100000.0, 90000.0]), 100000.0))
    [[30000. 27500.]
     [77500. 70000.]]
    """
    function = "pressure_at_hybrid_levels"
    # The coefficients and p0 describe the vertical coordinate; the data is psfc.
    out_dtype = result_dtype(function, (psfc,), dtype)
    a, b = _hybrid_pair(function, ("hya", "hyb"), hya, hyb)
    p0 = _reference_pressure(function, psfc, p0)
    kind = kind_of(psfc)
    if a.ndim == 0:
        # One level: element-wise over psfc.
        if kind <= Kind.NUMPY_SCALAR:
            value = kernel("interpolation", "pressure_at_hybrid_level_scalar")(a.item(), b.item(),
                                                                               psfc, p0)
            if kind is Kind.NUMPY_SCALAR or dtype is not None:
                return out_dtype.type(value)
            return value
        level = pressure_at_hybrid_levels(a.reshape(1), b.reshape(1), psfc, p0, axis=-1, dim=dim,
                                          dtype=out_dtype)
        return level[..., 0] if not is_dataarray(level) else level.isel({level.dims[-1]: 0},
                                                                         drop=True)
    return _hybrid_table(function, hya, a, b, psfc, p0, axis, dim, out_dtype, layers=False)


def _hybrid_table(function: str, hya: Any, a: np.ndarray, b: np.ndarray, psfc: Any, p0: float,
                  axis: int | None, dim: str | None, dtype: np.dtype[Any], layers: bool) -> Any:
    kind = kind_of(psfc)
    nlev = a.size - 1 if layers else a.size
    block = functools.partial(_hybrid_columns, hya=a, hyb=b, p0=p0, dtype=dtype, layers=layers)
    if kind is Kind.XARRAY:
        return _hybrid_xarray(function, block, hya, nlev, psfc, axis, dim, dtype, layers)
    _reject_masked(function, "psfc", psfc)
    if kind is Kind.DASK:
        result = apply_dask(block, "()->(k)", [psfc], output_sizes={"k": nlev}, dtype=dtype)
    else:
        result = block(psfc)
    return _move(result, -1, _normalise_axis(0 if axis is None else axis, result.ndim))


def _hybrid_xarray(function: str, block: Any, hya: Any, nlev: int, psfc: Any, axis: int | None,
                   dim: str | None, dtype: np.dtype[Any], layers: bool) -> Any:
    if is_dataarray(hya):
        dim = str(hya.dims[0])
    elif dim is None:
        dim = "lev"
    result = apply_xarray(block, [psfc], output_core_dims=[[dim]], output_sizes={dim: nlev},
                          dtype=dtype)
    position = (_level_position(result, dim, (psfc,)) if axis is None
                else _normalise_axis(axis, result.ndim))
    result = _place_dim(result, dim, position)
    if not layers and is_dataarray(hya) and dim in hya.coords:
        result = result.assign_coords({dim: hya.coords[dim]})
    units = _units.units_of(psfc)
    if layers:
        attrs = {"long_name": "pressure thickness"}
        name = "delta_pressure"
    else:
        attrs = {"standard_name": "air_pressure", "long_name": "pressure at hybrid levels"}
        name = "pressure"
    if units is not None:
        attrs["units"] = units
    return label(result, name, attrs)


@overload
def delta_pressure_hybrid(hyai: ArrayIn | xarray.DataArray, hybi: ArrayIn | xarray.DataArray,
                          psfc: ArrayIn, p0: Scalar | xarray.DataArray, *, axis: int | None = None,
                          dim: str | None = None, dtype: DTypeLike = None) -> FloatArray: ...
@overload
def delta_pressure_hybrid(hyai: ArrayIn | xarray.DataArray, hybi: ArrayIn | xarray.DataArray,
                          psfc: xarray.DataArray, p0: Scalar | xarray.DataArray, *,
                          axis: int | None = None, dim: str | None = None, dtype: DTypeLike = None
                          ) -> xarray.DataArray: ...
@overload
def delta_pressure_hybrid(hyai: Any, hybi: Any, psfc: Any, p0: Any, *, axis: int | None = None,
                          dim: str | None = None, dtype: DTypeLike = None) -> Any: ...
def delta_pressure_hybrid(hyai: Any, hybi: Any, psfc: Any, p0: Any, *, axis: int | None = None,
                          dim: str | None = None, dtype: DTypeLike = None) -> Any:
    """Pressure thickness of hybrid layers from their interface coefficients.

    Layer k lies between interfaces k and k + 1, whose pressures are
    hyai·p0 + hybi·psfc (computed as `pressure_at_hybrid_levels` computes
    them); its thickness is the absolute difference of the two. This is the
    exact thickness of the model's layers, unlike `delta_pressure`, which places
    layer edges half-way between level pressures. The thicknesses of a column
    sum to the pressure difference between the outermost interfaces (psfc
    minus the model top for the usual coefficients).

    Parameters
    ----------
    hyai, hybi : array_like or DataArray
        The hybrid coefficients of the interfaces, 1-D, of equal length (one
        more than there are layers), top-first or surface-first.
    psfc : float, array_like or DataArray
        Surface pressure(s), any shape, in any pressure unit.
    p0 : float or DataArray
        Reference pressure, in the unit of `psfc`.
    axis : int, optional
        Where the layer axis goes in the result: default 0 for arrays; for
        DataArrays after the time dimension of `psfc`, as in
        `pressure_at_hybrid_levels`.
    dim : str, optional
        Name of the layer dimension of a DataArray result (default "lev").
    dtype : data-type, optional
        Type of the result's values. Default: the dtype of `psfc` (float32 in,
        float32 out; the coefficients and `p0` only describe the vertical
        coordinate and do not count), float64 for Python numbers and integer
        input. The kernel computes in float64 either way; converted block by
        block, never whole.

    Returns
    -------
    ndarray, dask array or DataArray
        Thickness of each layer, in the unit of `psfc`, in the order of the
        interfaces. DataArrays get the name "delta_pressure" and ``long_name``
        and ``units`` attributes.

    See Also
    --------
    delta_pressure, pressure_at_hybrid_levels

    References
    ----------
    .. [1] A. J. Simmons and D. M. Burridge, "An energy and angular-momentum
           conserving vertical finite-difference scheme and hybrid vertical
           coordinates", Mon. Wea. Rev. 109, 758-766, 1981.

    Examples
    --------
    >>> import numpy as np, tamrix
    >>> hyai, hybi = np.array([0.0, 0.1, 0.05, 0.0]), np.array([0.0, 0.0, 0.5, 1.0])
    >>> print(tamrix.delta_pressure_hybrid(hyai, hybi, np.array([100000.0, 90000.0]), 100000.0))
    [[10000. 10000.]
     [45000. 40000.]
     [45000. 40000.]]
    """
    function = "delta_pressure_hybrid"
    # The coefficients and p0 describe the vertical coordinate; the data is psfc.
    out_dtype = result_dtype(function, (psfc,), dtype)
    a, b = _hybrid_pair(function, ("hyai", "hybi"), hyai, hybi)
    if a.ndim != 1 or a.size < 1:
        raise ValueError(f"{function}: hyai and hybi must be 1-D with one entry per interface "
                         f"(number of layers + 1)")
    p0 = _reference_pressure(function, psfc, p0)
    if is_dataarray(hyai):
        # The interfaces' dimension is not the layers'.
        hyai = None
        dim = "lev" if dim is None else dim
    if kind_of(psfc) <= Kind.NUMPY_SCALAR:
        psfc = np.asarray(psfc)
    return _hybrid_table(function, hyai, a, b, psfc, p0, axis, dim, out_dtype, layers=True)
