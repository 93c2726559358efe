"""Model levels to pressure levels for one block in the file's own layout
(outer, level, inner), and the choice of the model levels a block needs.

`remap` is the package's native remap engine,
`tamrix._kernels.remap_hybrid_to_pressure`; where the installed build does
not have it yet, `_remap_composed` computes the same bits from the
`_tamrix_rs` kernels and NumPy (two products and a sum per level pressure,
the C library's log, the interpolation formula of `interpolate_columns`
operation by operation, the extrapolation kernels element by element).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

import _tamrix_rs

from .._hybrid_coordinate import HybridCoordinate

KINDS = ("plain", "temperature", "geopotential")
# Levels within this relative distance of a target count as possibly on
# either side of it: ln p can round two nearby pressures to one value.
_TIE_MARGIN = 1e-9
# The kernels' reciprocal of g: heights are phi · this, so a surface height in
# m becomes the geopotential that gives that height back.
INVERSE_GRAVITY = 0.10197671667604852


def _native() -> Any:
    from .. import _kernels

    return _kernels


def remap(variables: Sequence[np.ndarray], outputs: Sequence[np.ndarray], kinds: Sequence[str],
          ps: np.ndarray, hya: np.ndarray, hyb: np.ndarray, p0: float, targets: np.ndarray, *,
          log: bool, extrapolate: bool, phi_sfc: np.ndarray | None = None,
          t_bot: np.ndarray | None = None) -> None:
    engine = getattr(_native(), "remap_hybrid_to_pressure", None) or _remap_composed
    engine(variables, outputs, kinds, ps, hya, hyb, p0, targets, log=log,
           extrapolate=extrapolate, phi_sfc=phi_sfc, t_bot=t_bot)


def _log(values: np.ndarray) -> np.ndarray:
    """The C library's log of every value (as the kernels take it)."""
    source = np.ascontiguousarray(values, dtype=np.float64)
    result = np.empty_like(source)
    _native().apply("log", "selected", source.reshape(-1), result.reshape(-1))
    return result


def _remap_composed(variables: Sequence[np.ndarray], outputs: Sequence[np.ndarray],
                    kinds: Sequence[str], ps: np.ndarray, hya: np.ndarray, hyb: np.ndarray,
                    p0: float, targets: np.ndarray, *, log: bool, extrapolate: bool,
                    phi_sfc: np.ndarray | None = None, t_bot: np.ndarray | None = None) -> None:
    outer, nlev, inner = variables[0].shape
    surface = np.asarray(ps, dtype=np.float64).reshape(outer, 1, inner)
    p = hyb.reshape(1, -1, 1) * surface + (hya * p0).reshape(1, -1, 1)
    x, goals = (_log(p), _log(targets)) if log else (p, np.asarray(targets, dtype=np.float64))
    ascending = x[:, -1] >= x[:, 0]
    # Flat index of level 0 of every column: one gather per level choice.
    base = (np.arange(outer)[:, None] * (nlev * inner) + np.arange(inner)[None, :])
    lowest = base + np.argmax(p, axis=1) * inner
    p_low = p.reshape(-1)[lowest]
    flat = [np.asarray(v).reshape(-1) for v in variables]
    with np.errstate(all="ignore"):
        for j, goal in enumerate(goals.tolist()):
            at_or_below, at_or_above = x >= goal, x <= goal
            upper = np.where(ascending,
                             np.where(at_or_below.any(1), at_or_below.argmax(1), nlev - 1),
                             np.where(at_or_above.any(1), at_or_above.argmax(1), 0))
            lower = base + np.maximum(upper - 1, 0) * inner
            upper = base + upper * inner
            x0, x1 = x.reshape(-1)[lower], x.reshape(-1)[upper]
            outside = np.where(ascending, (goal < x[:, 0]) | (goal > x[:, -1]),
                               (goal > x[:, 0]) | (goal < x[:, -1]))
            copy = np.abs(x1 - x0) < 1e-30
            t = (goal - x0) / (x1 - x0)
            below = (targets[j] > p_low) if extrapolate else None
            for values, out, kind in zip(flat, outputs, kinds):
                d0 = values[lower].astype(np.float64)
                d1 = values[upper].astype(np.float64)
                result = np.where(copy, d0, (d1 - d0) * t + d0)
                result[outside] = np.nan
                if below is not None and below.any():
                    d_low = values[lowest].astype(np.float64)
                    result[below] = _below(kind, targets[j], d_low[below], p_low[below],
                                           surface[:, 0][below], phi_sfc, t_bot, below)
                out[:, j] = result


def _below(kind: str, target: float, d_low: np.ndarray, p_low: np.ndarray, ps: np.ndarray,
           phi_sfc: np.ndarray | None, t_bot: np.ndarray | None, where: np.ndarray
           ) -> np.ndarray:
    if kind == "plain":
        return d_low
    assert phi_sfc is not None
    phi = np.ascontiguousarray(np.asarray(phi_sfc, dtype=np.float64).reshape(where.shape)[where])
    if kind == "temperature":
        return _tamrix_rs.interpolation.temp_extrapolate_array(
            np.ascontiguousarray(d_low), target, np.ascontiguousarray(p_low),
            np.ascontiguousarray(ps), phi)
    assert t_bot is not None
    bottom = np.ascontiguousarray(np.asarray(t_bot, dtype=np.float64).reshape(where.shape)[where])
    return _tamrix_rs.interpolation.geo_height_extrapolate_array(
        bottom, target, np.ascontiguousarray(p_low), np.ascontiguousarray(ps), phi)


def needed_levels(coordinate: HybridCoordinate, ps_min: float, ps_max: float,
                  targets: np.ndarray, extrapolate: bool) -> np.ndarray:
    """Indices (ascending) of the model levels that can take part in the
    result for surface pressures in [ps_min, ps_max].

    For each target: every level whose pressure can lie on either side of it
    (or on it) in some column, and one level beyond them on each side. In a
    column whose pressures change monotonically with the level, the two
    levels bracketing a target are adjacent, so they are among these, and
    every level of the subset before them lies on the same side of the target
    as in the full column: the interpolation finds the same pair and computes
    the same bits. With `extrapolate` the lowest level (largest pressure) is
    added, which the extrapolation starts from.
    """
    nlev = coordinate.hya.size
    if not (np.isfinite(ps_min) and np.isfinite(ps_max)):
        return np.arange(nlev)
    low, high = coordinate.pressure_range(ps_min, ps_max)
    low, high = low * (1.0 - _TIE_MARGIN), high * (1.0 + _TIE_MARGIN)
    keep = np.zeros(nlev, dtype=bool)
    for target in np.asarray(targets, dtype=np.float64).tolist():
        either = np.flatnonzero((low <= target) & (target <= high))
        if either.size:
            keep[max(either[0] - 1, 0):either[-1] + 2] = True
        side = high < target  # the level lies above the target in every column
        pairs = np.flatnonzero(side[:-1] != side[1:])
        keep[pairs] = keep[pairs + 1] = True
    if extrapolate or not keep.any():
        keep[int(np.argmax(high))] = True
    return np.flatnonzero(keep)


def runs(indices: np.ndarray) -> list[tuple[int, int]]:
    """Consecutive indices as (start, stop) ranges, to be read slab by slab."""
    if indices.size == 0:
        return []
    breaks = np.flatnonzero(np.diff(indices) != 1)
    starts = np.concatenate(([indices[0]], indices[breaks + 1]))
    stops = np.concatenate((indices[breaks] + 1, [indices[-1] + 1]))
    return [(int(a), int(b)) for a, b in zip(starts, stops)]
