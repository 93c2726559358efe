"""The NumPy blocks: C-contiguous float64 arrays, loop dimensions flattened
into one leading axis of columns (element-wise: 1-D arrays of one length),
core dimensions last; the result the same. Every kernel call is made here."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

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


def extrapolate_below(out: Array, data: Array, p: Array, ps: Array,
                      t_bot: Array | None, phi_sfc: Array, targets: Array,
                      variable: str | None) -> None:
    """Fills the targets below the lowest model level, in place: between that
    level and the surface with the lowest level's value; below the surface
    with the extrapolation kernel of `variable` (others: the lowest level's
    value). NaN pressures compare false and stay NaN."""
    lowest = np.argmax(p, axis=-1)[:, None]
    p_low = np.take_along_axis(p, lowest, -1)[:, 0]
    d_low = np.take_along_axis(data, lowest, -1)[:, 0]
    bottom = d_low if t_bot is None else t_bot
    kernel = {"temperature": interpolation.temp_extrapolate_array,
              "geopotential": interpolation.geo_height_extrapolate_array}.get(variable or "")
    for j, level in enumerate(targets.tolist()):
        below = level > p_low
        if kernel is not None:
            under = np.flatnonzero(below & (level > ps))
            below &= level <= ps
            if under.size:
                out[under, j] = kernel(bottom[under], level, p_low[under], ps[under],
                                       phi_sfc[under])
        out[below, j] = d_low[below]


def hybrid_to_pressure(data: Array, ps: Array, t_bot: Array | None,
                       phi_sfc: Array | None, *, hyam: Array, hybm: Array,
                       p0: float, targets: Array, log_p: bool, extrapolate: bool,
                       variable: str | None) -> Array:
    """Columns on hybrid levels to `targets` (Pa): the pressures of a block's
    columns exist only while the block is computed."""
    p = np.ascontiguousarray(hybrid_pressure(ps, hyam, hybm, p0))
    out = interpolate(data, log(p), log(targets)) if log_p else interpolate(data, p, targets)
    if extrapolate and out.size:
        phi = np.full(ps.size, np.nan) if phi_sfc is None else phi_sfc
        extrapolate_below(out, data, p, ps, t_bot, phi, targets, variable)
    return out
