"""The NumPy blocks: C-contiguous float64 arrays, loop dimensions flattened
into one leading axis of columns (element-wise: 1-D arrays of one length),
core dimensions last; the result the same. Every kernel call is made here."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

import _tamrix_rs

from . import _kernels

Array = npt.NDArray[Any]
meteorology = _tamrix_rs.meteorology
gradient = _tamrix_rs.gradient
interpolation = _tamrix_rs.interpolation


def log(values: Array) -> Array:
    """The natural logarithm with the C library's bits (the kernels' log),
    not NumPy's, so that interpolation in ln p agrees with the remap engine."""
    source = np.ascontiguousarray(values, dtype=np.float64)
    result = np.empty_like(source)
    _kernels.apply("log", "selected", source, result)
    return result


def mixing_ratio(specific_humidity: Array) -> Array:
    """w = q / (1 - q)."""
    result: Array = specific_humidity / (1.0 - specific_humidity)
    return result


# --- kernels that take one argument as a single number ---


def grouped(key: Array, evaluate: Callable[[float, Array | None], Array]
            ) -> Array:
    """A kernel that takes one argument (`key`, flat) as a single number,
    evaluated once per distinct value of it. Values are grouped by bit
    pattern, so every element reaches the kernel exactly as given (signed
    zeros and NaN payloads included). `evaluate(value, index)` returns the
    results for the flat positions `index` (None: all positions)."""
    out = np.empty(key.size, dtype=np.float64)
    bits = key.view(np.int64)
    if key.size and (bits == bits[0]).all():
        out[:] = evaluate(float(key[0]), None)
        return out
    order = np.argsort(bits, kind="stable")
    cuts = np.flatnonzero(bits[order[1:]] != bits[order[:-1]]) + 1
    for index in np.split(order, cuts) if key.size else ():
        out[index] = evaluate(float(key[index[0]]), index)
    return out


def _take(array: Array, index: Array | None) -> Array:
    return array if index is None else array[index]


def max_daylight(jday: Array, lat: Array) -> Array:
    # The kernel is an outer product of days and latitudes; an element-wise
    # pairing is one grid call per distinct value of whichever argument has
    # fewer of them (a grid with one day is element-wise over latitudes).
    grid = meteorology.max_daylight_grid
    if np.unique(jday).size <= np.unique(lat).size:
        return grouped(jday, lambda day, index: grid(np.array([day]), _take(lat, index)))
    return grouped(lat, lambda latitude, index: grid(_take(jday, index), np.array([latitude])))


def extrapolate(kernel: Callable[..., None], t_bot: Array, lev: Array,
                p_sfc: Array, ps: Array, phi_sfc: Array) -> Array:
    """An extrapolation kernel of tamrix._kernels, which takes a level per
    element: one call for any number of distinct levels."""
    out = np.empty(t_bot.size)
    kernel(t_bot, lev, p_sfc, ps, phi_sfc, out)
    return out


# --- columns ---


def thickness(levels: Array, ps: Array, top: Array | None) -> Array:
    """Layer thickness of every column: `levels` (columns, nlev) or one
    column shared by all, `top` one value per column or one for all."""
    nlev = levels.shape[-1]
    out = np.empty((ps.size, nlev))
    if out.size:
        _kernels.delta_pressure_columns(levels.reshape(-1), ps, nlev,
                                        None if top is None else top.reshape(-1), out)
    return out


def interpolate(data: Array, coord: Array, targets: Array) -> Array:
    """Every column of `data` (columns, nlev) from `coord` (the same shape,
    or one column shared by all) to `targets`, in one kernel call."""
    ncols, nlev = data.shape
    if ncols == 0 or targets.size == 0:
        return np.full((ncols, targets.size), np.nan)
    if nlev == 0:
        raise ValueError("interp_to_levels: the level axis of data is empty")
    if coord.shape != data.shape:  # one column for all
        coord, shared = np.empty(data.shape), coord
        coord[...] = shared
    result: Array = interpolation.interpolate_columns(
        coord.reshape(-1), data.reshape(-1), targets, nlev, ncols)
    return result.reshape(ncols, targets.size)


def hybrid_pressure(ps: Array, hya: Array, hyb: Array, p0: float) -> Array:
    """hya·p0 + hyb·ps of every level and column, (columns, levels): a view
    of the kernel's level-major table, so putting the levels first again
    costs nothing."""
    table = interpolation.pressure_at_hybrid_levels_array(hya, hyb, ps.reshape(-1), float(p0))
    result: Array = table.reshape(hya.size, ps.size).T
    return result


def hybrid_thickness(ps: Array, hyai: Array, hybi: Array, p0: float) -> Array:
    """The thickness of the layer between each pair of neighbouring
    interfaces: the absolute difference of their pressures."""
    interfaces = hybrid_pressure(ps, hyai, hybi, p0)
    result: Array = np.abs(interfaces[:, 1:] - interfaces[:, :-1])
    return result


def _columns_in_memory_order(data: Array, loop: tuple[int, ...]) -> tuple[Array, list[int]]:
    """`data` (level axis last, broadcast to `loop`) with its axes in memory
    order, slowest first, and that order: a view of the caller's array when
    it is contiguous in some order (as (time, lev, lat, lon) data seen with
    the level axis moved last is), else a C-contiguous copy of that view."""
    columns = np.broadcast_to(data, (*loop, data.shape[-1]))
    order = sorted(range(columns.ndim), key=lambda axis: -abs(columns.strides[axis]))
    view = columns.transpose(order)
    kept = data.dtype if data.dtype in _ENGINE_DTYPES else np.dtype(np.float64)
    return np.ascontiguousarray(view, dtype=kept), order


_ENGINE_DTYPES = (np.dtype(np.float32), np.dtype(np.float64))
# How the remap engine fills targets below the lowest model level, and its
# name for each kind of variable (hybrid_to_pressure's `variable`, the
# command line's --variable).
EngineKind = Literal["plain", "temperature", "geopotential"]
ENGINE_KINDS: dict[str, EngineKind] = {
    "plain": "plain", "other": "plain", "temperature": "temperature",
    "geopotential": "geopotential", "geopotential_height": "geopotential"}


def hybrid_to_pressure(data: Array, ps: Array, t_bot: Array | None, phi_sfc: Array | None, *,
                       hyam: Array, hybm: Array, p0: float, targets: Array, log_p: bool,
                       extrapolate: bool, variable: str, dtype: np.dtype[Any]) -> Array:
    """Columns on hybrid levels to `targets` (Pa) with one call of the remap
    engine, in the memory layout of `data`: its level axis comes last (as a
    view), and the engine sees the block as (outer, nlev, inner) around the
    level axis where it lies in memory, float32 or float64 as given. The
    result, in `dtype`, has that layout too, seen with the level axis last."""
    loop = np.broadcast_shapes(data.shape[:-1], *(a.shape for a in (ps, t_bot, phi_sfc)
                                                  if a is not None))
    columns, order = _columns_in_memory_order(data, loop)
    level = order.index(len(loop))
    outer, inner = math.prod(columns.shape[:level]), math.prod(columns.shape[level + 1:])
    surface_order = [axis for axis in order if axis != len(loop)]

    def surface(field: Array) -> Array:
        kept = field.dtype if field.dtype in _ENGINE_DTYPES else np.dtype(np.float64)
        return np.ascontiguousarray(np.broadcast_to(field, loop).transpose(surface_order),
                                    dtype=kept).reshape(outer, inner)

    computed = dtype if dtype in _ENGINE_DTYPES else np.dtype(np.float64)
    out = np.empty((*columns.shape[:level], targets.size, *columns.shape[level + 1:]), computed)
    kind = ENGINE_KINDS[variable]
    phi = None if phi_sfc is None or kind == "plain" or not extrapolate else surface(phi_sfc)
    bottom = None if t_bot is None or kind != "geopotential" or not extrapolate else surface(t_bot)
    _kernels.remap_hybrid_to_pressure(
        [columns.reshape(outer, hyam.size, inner)], [out.reshape(outer, targets.size, inner)],
        [kind], surface(ps), hyam, hybm, p0, targets, log=log_p, extrapolate=extrapolate,
        phi_sfc=phi, t_bot=bottom)
    result: Array = out.transpose(np.argsort(order)).astype(dtype, copy=False)
    return result
