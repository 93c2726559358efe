"""Streaming a computation over a file block by block: which blocks, what
each block reads, and the output file's layout (dimensions, the coordinates
and grid variables that describe them, carried-over variables, attributes).

A block is a hyperslab over every dimension of the variables except the
level dimension: a few time steps, or part of one when a time step alone is
too large. Memory stays bounded by the block size whatever the file size.
"""

from __future__ import annotations

import math
import sys
import time
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from .._hybrid_coordinate import formula_terms
from ._output import UsageError
from ._files import DEFAULT_FILL, Sink, Source, Variable

if TYPE_CHECKING:
    from .._blocks import Array

# Bytes of input read per block (all variables together) unless --chunks says.
BLOCK_BYTES = 48 * 2**20


class Block(NamedTuple):
    """A hyperslab: a slice for each dimension other than the level one."""

    slices: tuple[tuple[str, slice], ...]

    @property
    def ranges(self) -> dict[str, slice]:
        return dict(self.slices)

    def shape(self, dims: Sequence[str]) -> tuple[int, ...]:
        index = self.ranges
        return tuple(index[d].stop - index[d].start for d in dims)

    def select(self, dims: Sequence[str], level: Any = slice(None)) -> tuple[Any, ...]:
        """The index of this block in a variable with `dims` (the level
        dimension, if there, indexed by `level`)."""
        index = self.ranges
        return tuple(index.get(d, level) for d in dims)


def parse_chunks(items: Sequence[str] | None) -> dict[str, int]:
    chunks: dict[str, int] = {}
    for item in items or ():
        dim, sep, size = item.partition("=")
        try:
            chunks[dim] = int(size)
        except ValueError:
            sep = ""
        if not sep or not dim or chunks.get(dim, 1) < 1:
            raise UsageError(f"--chunks takes DIM=SIZE with SIZE >= 1 (e.g. time=1), not {item!r}")
    return chunks


def plan_blocks(dims: Sequence[str], sizes: Mapping[str, int], level_dim: str | None,
                bytes_per_point: float, chunks: Mapping[str, int],
                stored: Mapping[str, int] | None = None) -> list[Block]:
    """Blocks over the non-level `dims`, `chunks` where given, else whole
    inner dimensions and as many outer steps as fit in BLOCK_BYTES (the
    first dimension after the level split when one step does not fit).

    `stored` gives the extent of the input's compressed chunks along each
    dimension: a dimension that must be split is split at multiples of it,
    so that no compressed chunk is inflated for more than one block.
    """
    free = [d for d in dims if d != level_dim]
    unknown = [d for d in chunks if d not in free]
    if unknown:
        known = ", ".join(free) or "none"
        what = "the level dimension, which is read whole" if unknown[0] == level_dim else \
            "not a dimension of the variables"
        raise UsageError(f"--chunks {unknown[0]}=...: {unknown[0]!r} is {what} (dimensions: "
                         f"{known})")
    step = {d: sizes[d] for d in free}
    if not chunks:
        # Innermost dimensions whole, then as many steps of the next one out
        # as fit; the dimensions further out one step at a time.
        budget = max(1.0, BLOCK_BYTES / max(bytes_per_point, 1.0))
        points = 1
        for position in range(len(free) - 1, -1, -1):
            d = free[position]
            if points * sizes[d] <= budget:
                points *= max(sizes[d], 1)
                continue
            unit = max(1, (stored or {}).get(d, 1))
            step[d] = int(max(unit, budget // points // unit * unit))
            step.update({e: 1 for e in free[:position]})
            break
    else:
        step.update({d: min(n, sizes[d]) for d, n in chunks.items()})
    ranges = [[(d, slice(a, min(a + step[d], sizes[d]))) for a in range(0, sizes[d], step[d])]
              or [(d, slice(0, 0))] for d in free]
    blocks: list[Block] = [Block(())]
    for options in ranges:
        blocks = [Block(b.slices + (o,)) for b in blocks for o in options]
    return blocks


def stored_chunks(variables: Iterable[Variable]) -> dict[str, int]:
    """The largest compressed-chunk extent of `variables` along each dimension."""
    extents: dict[str, int] = {}
    for variable in variables:
        for d, n in zip(variable.dims, variable.compressed_chunks or ()):
            extents[d] = max(extents.get(d, 1), n)
    return extents


def output_chunks(block: Block, dims: Sequence[str], level_dim: str | None) -> dict[str, int]:
    """Chunks of a result written block by block: the block's extent along the
    dimensions after the level one, 1 along the others, so that every write
    fills whole chunks (a compressed chunk written in parts is inflated and
    compressed again for each part)."""
    position = dims.index(level_dim) if level_dim in dims else -1
    index = block.ranges
    return {d: (index[d].stop - index[d].start if i > position and d in index else 1)
            for i, d in enumerate(dims)}


def read_field(variable: Variable, block: Block, dims: Sequence[str], what: str) -> Array:
    """A variable without the level dimension (ps, surface height, a lowest
    level) on a block of variables with non-level `dims`, broadcast to the
    block's shape: size-1 dimensions the block does not have are dropped."""
    index: list[Any] = []
    kept: list[str] = []
    for d, n in zip(variable.dims, variable.shape):
        if d in dims:
            index.append(block.ranges[d])
            kept.append(d)
        elif n == 1:
            index.append(0)
        else:
            raise UsageError(f"{variable.source.path}: {what} {variable.name!r} has dimension "
                             f"{d!r}, which the data variables lack")
    values = variable.read(tuple(index))
    order = [d for d in dims if d in kept]
    values = np.transpose(values, [kept.index(d) for d in order])
    shape = [values.shape[order.index(d)] if d in order else 1 for d in dims]
    return np.broadcast_to(values.reshape(shape), block.shape(dims))


# --- the output file ---


def history_line(argv: Sequence[str]) -> str:
    import shlex

    return f"{time.ctime()}: tamrix {shlex.join(argv)}"


def output_attrs(source: Source, argv: Sequence[str]) -> dict[str, Any]:
    attrs = dict(source.attrs)
    previous = attrs.get("history")
    line = history_line(argv)
    attrs["history"] = f"{line}\n{previous}" if previous else line
    return attrs


def _names_in(text: Any) -> list[str]:
    return text.split() if isinstance(text, str) else []


def companions(source: Source, variables: Iterable[Variable], level_dim: str | None
               ) -> list[Variable]:
    """Variables that describe the grid of `variables` and do not depend on
    the level dimension: coordinate variables of their dimensions, auxiliary
    coordinates, cell bounds, grid mappings, in a stable order."""
    found: dict[str, Variable] = {}
    pending = list(variables)
    while pending:
        variable = pending.pop(0)
        names = [d for d in variable.dims if d != level_dim]
        for key in ("coordinates", "bounds", "grid_mapping", "climatology"):
            names += _names_in(variable.attrs.get(key))
        terms = variable.attrs.get("formula_terms")
        if isinstance(terms, str):
            names += list(formula_terms(terms).values())
        for name in names:
            if name in source and name not in found and level_dim not in source[name].dims \
                    and name != variable.name:
                found[name] = source[name]
                pending.append(source[name])
    return list(found.values())


def define_dims(sink: Sink, source: Source, dims: Iterable[str], sizes: Mapping[str, int]) -> None:
    for d in dims:
        sink.dimension(d, sizes[d], unlimited=d in source.unlimited)


def define_copy(sink: Sink, variable: Variable) -> None:
    """Declares a variable copied whole into the output: values and encoding
    (fill value, packing) as stored."""
    define_dims(sink, variable.source, variable.dims, dict(zip(variable.dims, variable.shape)))
    attrs = {k: v for k, v in variable.raw_attrs.items() if k not in ("_FillValue",
                                                                      "_ARRAY_DIMENSIONS")}
    fill = variable.raw_attrs.get("_FillValue") if variable.stored.kind in "fiu" else None
    sink.variable(variable.name, variable.dims, variable.stored, attrs, fill=fill)


def write_copy(sink: Sink, variable: Variable) -> None:
    """Copies a variable declared by `define_copy`, slab by slab along its
    first dimension."""
    if not variable.shape:
        sink.write(variable.name, (), np.asarray(variable.raw(())))
        return
    step = max(1, BLOCK_BYTES // max(1, variable.stored.itemsize *
                                      math.prod(variable.shape[1:])))
    for start in range(0, variable.shape[0], step):
        index = (slice(start, min(start + step, variable.shape[0])),)
        sink.write(variable.name, index, variable.raw(index))


def output_fill(variable: Variable, dtype: np.dtype[Any]) -> Any:
    """The fill value of a result: the input's when it has one, else netCDF's
    default, so every CF reader sees missing values as missing."""
    fill = variable.fill
    if fill is None or not np.isfinite(fill) or np.asarray(fill, dtype=dtype) != fill:
        fill = DEFAULT_FILL
    return np.asarray(fill, dtype=dtype)[()]


def warn(message: str) -> None:
    print(f"tamrix: warning: {message}", file=sys.stderr)


class MissingCounter:
    """Counts the values a run writes and how many of them are missing."""

    def __init__(self) -> None:
        self.total = 0
        self.missing = 0

    def fill(self, values: Array, fill: Any) -> None:
        """Counts `values` and replaces NaN by `fill` in place."""
        missing = np.isnan(values)
        count = int(np.count_nonzero(missing))
        self.total += values.size
        self.missing += count
        if count:
            values[missing] = fill

    @property
    def all_missing(self) -> bool:
        return self.total > 0 and self.missing == self.total
