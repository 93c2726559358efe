"""`tamrix derive`: a quantity computed from variables of a file, block by
block, with the reader, blocks and writer of hybrid-to-pressure.

Where the quantity needs the pressure and no `--p` is given, it comes from
the file's vertical coordinate, computed in Pa from coefficients, p0 and ps
each converted from its own unit (so a ps in hPa gives the same pressures as
one in Pa).
"""

from __future__ import annotations

import argparse
import inspect
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from .. import _hybrid_coordinate as hc
from . import _files, _hybrid, _stream
from ._output import UsageError, replacing
from ._stream import Block

if TYPE_CHECKING:
    from .._blocks import Array


class Input(NamedTuple):
    keyword: str
    name: str
    unit: Any  # a tamrix._units.Unit
    conversion: _hybrid.Conversion | None


def _input(source: _files.Source, keyword: str, name: str, what: str, unit: Any) -> Input:
    if name not in source:
        raise UsageError(f"{source.path} has no variable {name!r} for {what}")
    units = _hybrid._units_text(source[name])
    conversion = None
    if units is not None and not unit.matches(units):
        conversion = _hybrid._conversion(source[name], units, unit)
    return Input(keyword, name, unit, conversion)


def _inputs(args: argparse.Namespace, source: _files.Source, quantity: str,
            needs: Sequence[str]) -> list[Input]:
    from .. import _units

    inputs: list[Input] = []
    for need in needs:
        if need in ("t", "t_f"):
            if not args.t:
                raise UsageError(f"{quantity} needs --t VAR")
            unit = _units.KELVIN if need == "t" else _units.FAHRENHEIT
            inputs.append(_input(source, "temperature", args.t, "the temperature", unit))
        elif need == "rh":
            if not args.rh:
                raise UsageError(f"{quantity} needs --rh VAR")
            inputs.append(_input(source, "relative_humidity", args.rh, "the relative humidity",
                                 _units.PERCENT))
        elif need == "p":
            if args.p:
                inputs.append(_input(source, "pressure", args.p, "the pressure", _units.PASCAL))
        elif args.q and args.w:
            raise UsageError("give the humidity as --q (specific) or --w (mixing ratio), not both")
        elif args.q or args.w:
            keyword = "specific_humidity" if args.q else "mixing_ratio"
            inputs.append(_input(source, keyword, args.q or args.w, f"the {keyword}".replace(
                "_", " "), _units.MIXING_RATIO))
        else:
            raise UsageError(f"{quantity} needs the humidity: --q VAR or --w VAR")
    return inputs


def derive(args: argparse.Namespace, argv: Sequence[str], function_name: str,
           needs: Sequence[str], result_attrs: dict[str, str]) -> None:
    import tamrix

    from . import _coordinate, _open

    source = _open(args.input)
    inputs = _inputs(args, source, args.quantity, needs)
    first = source[inputs[0].name]
    dims = first.dims
    for item in inputs[1:]:
        if source[item.name].dims != dims:
            raise UsageError(f"{item.name!r} has dimensions ({', '.join(source[item.name].dims)}) "
                             f"but {first.name!r} has ({', '.join(dims)})")
    coordinate = None
    if "p" in needs and not args.p:
        coordinate = _coordinate(source, dims, args)
        if coordinate.ps.name not in source:
            raise UsageError(f"{source.path} has no variable {coordinate.ps.name!r} for the "
                             f"surface pressure")
    function = getattr(tamrix, function_name)
    options = {"nan_policy": args.nan_policy} if "nan_policy" in inspect.signature(
        function).parameters else {}
    out_dtype = np.dtype(args.dtype) if args.dtype else (
        first.dtype if first.dtype.kind == "f" else np.dtype(np.float64))
    fill = _stream.output_fill(first, out_dtype)
    sizes = dict(zip(dims, first.shape))
    level_dim = coordinate.dim if coordinate is not None else None
    nlev = sizes[level_dim] if level_dim else 1
    per_point = nlev * (sum(source[i.name].dtype.itemsize for i in inputs) + 8 * 3)
    blocks = _stream.plan_blocks(dims, sizes, level_dim, per_point,
                                 _stream.parse_chunks(args.chunks),
                                 _stream.stored_chunks(source[i.name] for i in inputs))
    name = args.name or args.quantity
    fmt = _files.file_format(args.output, args.format)
    with replacing(args.output, [args.input], directory=fmt == _files.ZARR) as path:
        sink = _files.Sink(path, args.output, fmt, source.data_model, args.zlib)
        try:
            sink.set_attrs(_stream.output_attrs(source, argv))
            companions = _stream.companions(source, [first], None)
            if coordinate is not None:  # the coordinate stays complete for the result
                known = {v.name for v in companions}
                companions += [source[n] for n in coordinate.names if n not in known]
            companions = [v for v in companions if v.name != name]
            for variable in companions:
                _stream.define_copy(sink, variable)
            _stream.define_dims(sink, source, dims, sizes)
            attrs = {k: v for k, v in first.attrs.items() if k in ("cell_methods", "coordinates",
                                                                     "grid_mapping")}
            sink.variable(name, dims, out_dtype, {**attrs, **result_attrs}, fill=fill,
                          compress=True, chunks=_stream.output_chunks(blocks[0], dims,
                                                                      level_dim))
            for variable in companions:
                _stream.write_copy(sink, variable)
            counter = _stream.MissingCounter()
            stats: list[float] = [np.inf, -np.inf, 0, 0]
            for block in blocks:
                kwargs = {i.keyword: _read(source, i, block) for i in inputs}
                if coordinate is not None:
                    kwargs["pressure"], block_stats = _pressure(source, coordinate, block, dims)
                    stats = _hybrid.merge_stats(stats, block_stats)
                result = np.asarray(function(**kwargs, **options), dtype=out_dtype)
                result = np.array(result, copy=True) if not result.flags.writeable else result
                counter.fill(result, fill)
                sink.write(name, block.select(dims), result)
            if coordinate is not None:
                _hybrid.check_surface(coordinate.ps.name, *stats)
                _hybrid.check_levels(coordinate, stats[0], stats[1])
            if counter.all_missing:
                raise UsageError(f"every value of {name!r} is missing: check the inputs' units "
                                 f"and missing values")
            sink.close()
        except BaseException as error:
            sink.abandon(error)
            raise


def _read(source: _files.Source, item: Input, block: Block) -> Array:
    variable = source[item.name]
    values = variable.read(block.select(variable.dims))
    return item.conversion(values) if item.conversion is not None else values


def _pressure(source: _files.Source, coordinate: hc.HybridCoordinate, block: Block,
              dims: Sequence[str]) -> tuple[Array, tuple[float, float, int, int]]:
    """hyb·ps + hya·p0 in Pa on the block, the level dimension where `dims`
    has it (the operations of pressure_at_hybrid_levels_array)."""
    free = tuple(d for d in dims if d != coordinate.dim)
    position = dims.index(coordinate.dim)
    ps = coordinate.ps.pascals(_stream.read_field(source[coordinate.ps.name], block, free,
                                                  "the surface pressure"))
    shape = ps.shape
    surface = ps.reshape(shape[:position] + (1,) + shape[position:])
    level_shape = [1] * len(dims)
    level_shape[position] = coordinate.hya.size
    p = coordinate.hyb.reshape(level_shape) * surface + \
        (coordinate.hya * coordinate.p0).reshape(level_shape)
    valid = ps[~np.isnan(ps)]
    stats = ((float(valid.min()), float(valid.max())) if valid.size else (np.inf, -np.inf)) + (
        int(np.count_nonzero(valid < _hybrid.LOW_SURFACE_PA)), int(valid.size))
    return p, stats
