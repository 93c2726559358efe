"""The `tamrix` command: netCDF or Zarr in, netCDF or Zarr out.

    tamrix hybrid-to-pressure in.nc out.nc --var ta hus zg --levels 1000 850 500 --units hPa
    tamrix derive relhum in.nc out.nc --t ta --q hus

Both commands read the vertical coordinate from the file (CF formula_terms,
CAM, ECHAM/CDO and ERA5 conventions), stream the file block by block (a few
time steps at a time, `--chunks`) with netCDF4 or zarr directly, and write to
a temporary file beside the output that is renamed into place only once it
is complete (`_output`: a failure or a signal never leaves a half-written
output behind, nor touches an existing one, and is reported in one line).
Only what a run needs is imported: no xarray, dask or pint
unless a unit must be converted or `--scheduler` sends the blocks to a
dask.distributed cluster.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any

from ._output import UsageError, replacing, run

if TYPE_CHECKING:
    from . import _remap

PROG = "tamrix"
PLAUSIBLE_HPA = 1100.0

# derive: quantity -> (function, inputs as (option, keyword, unit name), result attributes)
_DERIVED: dict[str, tuple[str, tuple[str, ...], dict[str, str]]] = {
    "relhum": ("relhum", ("t", "humidity", "p"),
               {"standard_name": "relative_humidity", "long_name": "relative humidity",
                "units": "%"}),
    "relhum_ice": ("relhum_ice", ("t", "humidity", "p"),
                   {"standard_name": "relative_humidity",
                    "long_name": "relative humidity over ice", "units": "%"}),
    "relhum_water": ("relhum_water", ("t", "humidity", "p"),
                     {"standard_name": "relative_humidity",
                      "long_name": "relative humidity over liquid water", "units": "%"}),
    "dewtemp": ("dewtemp", ("t", "rh"),
                {"standard_name": "dew_point_temperature", "long_name": "dew point temperature",
                 "units": "K"}),
    "heat_index": ("heat_index", ("t_f", "rh"), {"long_name": "heat index", "units": "degF"}),
}


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("tamrix")
    except PackageNotFoundError:
        return "unknown"


def targets_in_pascals(levels: Sequence[float], units: str | None) -> Any:
    import numpy as np

    from .. import _hybrid_coordinate as hc

    values = np.asarray(levels, dtype=np.float64)
    if units is None:
        if float(np.max(np.abs(values))) <= PLAUSIBLE_HPA:
            raise UsageError(f"--levels {' '.join(f'{v:g}' for v in levels)} look like hPa; say "
                             f"which unit they are in with --units hPa (or --units Pa)")
        units = "Pa"
    try:
        factor = hc.pascals_per(units, "--units")
    except hc.CoordinateError as error:
        raise UsageError(str(error)) from None
    pascals = values * factor if factor != 1.0 else values
    if not np.all((pascals > 0.0) & (pascals <= 120000.0)):
        from ._stream import warn

        warn(f"--levels in {units} give targets from {pascals.min():.6g} to {pascals.max():.6g} "
             f"Pa, outside a plausible atmosphere (0 to 120,000 Pa): check --units")
    return np.ascontiguousarray(pascals)


def _open(path: str, fmt: str | None = None) -> Any:
    from ._hybrid import open_source

    return open_source(path, fmt)


def _variable(source: Any, name: str, what: str) -> Any:
    if name not in source:
        names = ", ".join(sorted(source)) or "none"
        raise UsageError(f"{source.path} has no variable {name!r} for {what} (its variables: "
                         f"{names})")
    return source[name]


def _coordinate(source: Any, dims: Sequence[str], args: argparse.Namespace) -> Any:
    from .. import _hybrid_coordinate as hc

    overrides = hc.Overrides(ps=args.ps, a=args.hyam, b=args.hybm, p0=args.p0)
    try:
        coordinate = hc.decode(source, dims, overrides, dim=args.dim)
    except hc.CoordinateError as error:
        raise UsageError(f"{source.path}: {error}") from None
    return coordinate


def _kinds(args: argparse.Namespace, names: Sequence[str]) -> dict[str, _remap.Kind]:
    from ._remap import KINDS

    given: dict[str, _remap.Kind] = {}
    for item in args.variable or ():
        name, sep, text = item.rpartition("=")
        kind = KINDS.get(text)
        if kind is None:
            raise UsageError(f"--variable takes VAR=KIND with KIND temperature, geopotential "
                             f"or plain, not {item!r}")
        for target in ([name] if sep else names):
            if target not in names:
                raise UsageError(f"--variable {item}: {target!r} is not one of --var")
            given[target] = kind
    return given


def _hybrid_to_pressure(args: argparse.Namespace, argv: Sequence[str]) -> None:
    import numpy as np

    from . import _files, _hybrid, _remap, _stream

    targets = targets_in_pascals(args.levels, args.units)
    source = _open(args.input)
    surfaces = [_open(args.surface)] if args.surface else []
    variables = [_variable(source, name, "interpolation") for name in args.var]
    dims = variables[0].dims
    for variable in variables[1:]:
        if variable.dims != dims:
            raise UsageError(f"--var {variable.name!r} has dimensions ({', '.join(variable.dims)})"
                             f" but {variables[0].name!r} has ({', '.join(dims)})")
    coordinate = _coordinate(source, dims, args)
    _variable(source, coordinate.ps.name, "the surface pressure")
    kinds = _kinds(args, [v.name for v in variables])
    outputs, attrs = [], []
    for variable in variables:
        kind = kinds.get(variable.name) or _hybrid.infer_kind(variable) if args.extrapolate \
            else "plain"
        output, output_attrs = _hybrid.output_for(variable, kind, args.dtype)
        outputs.append(output)
        attrs.append(output_attrs)
    phi = t_bot = None
    carried = [source[coordinate.ps.name]]
    lowest = int(np.argmax(coordinate.pressure_range(1.0, 1.0e5)[1]))
    if args.extrapolate and any(o.kind != "plain" for o in outputs):
        found = _hybrid.find_surface_height([source, *surfaces], coordinate.dim, args.phis)
        if found is None:
            needing = next(o for o in outputs if o.kind != "plain")
            raise UsageError(f"extrapolating {needing.name!r} ({needing.kind}) needs the surface "
                             f"geopotential (phis, m2 s-2) or height (orog, m): none in "
                             f"{args.input}; give --phis VAR or --surface FILE")
        height, factor = found
        phi = _hybrid.Field(height.source.path, height.source.format, height.name, factor)
        carried.append(height)
    if args.extrapolate and any(o.kind == "geopotential" for o in outputs):
        temperature = _hybrid.find_temperature([source], dims, args.t_bot)
        if temperature is None:
            raise UsageError("extrapolating geopotential height needs the temperature on the "
                             "model levels: give --t-bot VAR")
        conversion = None
        units = _hybrid._units_text(temperature)
        from .. import _units

        if units is not None and not _units.KELVIN.matches(units):
            conversion = _hybrid._conversion(temperature, units, _units.KELVIN)
        t_bot = _hybrid.Field(args.input, source.format, temperature.name, level=lowest,
                              conversion=conversion)
    job = _hybrid.Remap(args.input, source.format, dims, coordinate, tuple(outputs), targets,
                        args.method == "log", args.extrapolate, phi, t_bot)
    estimate = _remap.needed_levels(coordinate, 50000.0, 105000.0, targets, args.extrapolate).size
    per_point = sum(v.dtype.itemsize * estimate + 8 * targets.size for v in variables) + 32
    sizes = dict(zip(dims, variables[0].shape))
    blocks = _stream.plan_blocks(dims, sizes, coordinate.dim, per_point,
                                 _stream.parse_chunks(args.chunks),
                                 _stream.stored_chunks(variables))
    chunks = _stream.output_chunks(blocks[0], dims, coordinate.dim)
    chunks[args.new_dim] = 1
    new_dims = tuple(args.new_dim if d == coordinate.dim else d for d in dims)
    fmt = _files.file_format(args.output, args.format)
    inputs = [args.input, *([args.surface] if args.surface else [])]
    with replacing(args.output, inputs, directory=fmt == _files.ZARR) as path:
        sink = _files.Sink(path, args.output, fmt, source.data_model, args.zlib)
        try:
            sink.set_attrs(_stream.output_attrs(source, argv))
            companions = _stream.companions(source, variables, coordinate.dim)
            carried = [v for v in carried if v.name not in {c.name for c in companions}
                       and v.name not in args.var]
            for variable in companions + carried:
                _stream.define_copy(sink, variable)
            sink.dimension(args.new_dim, targets.size)
            sink.variable(args.new_dim, (args.new_dim,), np.float64, {
                "standard_name": "air_pressure", "long_name": "pressure", "units": "Pa",
                "positive": "down", "axis": "Z"})
            _stream.define_dims(sink, source, [d for d in dims if d != coordinate.dim], sizes)
            for output, output_attrs in zip(outputs, attrs):
                sink.variable(output.name, new_dims, np.dtype(output.dtype), output_attrs,
                              fill=output.fill, compress=True, chunks=chunks)
            sink.write(args.new_dim, slice(None), targets)
            for variable in companions + carried:
                _stream.write_copy(sink, variable)
            counter = _stream.MissingCounter()
            stats: list[float] = [np.inf, -np.inf, 0, 0]
            position = dims.index(coordinate.dim)
            for block, (results, block_stats) in _run_blocks(job, blocks, args.scheduler):
                shape = block.shape(job.free_dims)
                stats = _hybrid.merge_stats(stats, block_stats)
                for output, result in zip(outputs, results):
                    counter.fill(result, output.fill)
                    sink.write(output.name, block.select(new_dims),
                               result.reshape(shape[:position] + (targets.size,) +
                                              shape[position:]))
            _hybrid.check_surface(coordinate.ps.name, *stats)
            _hybrid.check_levels(coordinate, stats[0], stats[1])
            if counter.all_missing:
                raise UsageError(
                    f"every value of the result is missing: the surface pressure "
                    f"{coordinate.ps.name!r} (units "
                    f"{source[coordinate.ps.name].attrs.get('units', 'none, taken as Pa')!r}) or "
                    f"the target levels (--units {args.units or 'Pa'}) are probably in the wrong "
                    f"unit")
            sink.close()
        except BaseException as error:
            sink.abandon(error)
            raise


def _run_blocks(job: Any, blocks: Sequence[Any], scheduler: str | None) -> Iterator[Any]:
    """(block, job.compute(block)) in block order: here, or on the cluster at
    `scheduler` with a few blocks in flight per worker."""
    if scheduler is None:
        for block in blocks:
            yield block, job.compute(block)
        return
    from distributed import Client

    with Client(scheduler) as client:  # type: ignore[no-untyped-call]
        window = 2 * max(1, len(client.scheduler_info().get("workers", {})))
        pending: list[Any] = []
        for block in blocks:
            pending.append((block, client.submit(job.compute, block, pure=False)))
            if len(pending) >= window:
                done, future = pending.pop(0)
                yield done, future.result()
        for done, future in pending:
            yield done, future.result()


def _derive_command(args: argparse.Namespace, argv: Sequence[str]) -> None:
    from ._derive import derive

    function_name, needs, result_attrs = _DERIVED[args.quantity]
    derive(args, argv, function_name, needs, result_attrs)


def _hybrid_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "vertical coordinate", "read from the file (CF formula_terms, CAM, ECHAM/CDO, ERA5 "
        "lnsp); these options override it")
    group.add_argument("--ps", help="surface pressure variable (its units are honoured)")
    group.add_argument("--hyam", help="hybrid A coefficient variable (dimensionless, with p0; or "
                                      "in a pressure unit, without)")
    group.add_argument("--hybm", help="hybrid B coefficient variable")
    group.add_argument("--p0", type=float, help="reference pressure in Pa")
    group.add_argument("--dim", help="level dimension (default: the one with formula_terms or "
                                     "hybrid coefficients)")


def _common_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", help="netCDF file or Zarr store to read")
    parser.add_argument("output", help="netCDF file or Zarr store (name ending .zarr) to write; "
                                       "replaced only when complete")
    parser.add_argument("--chunks", nargs="+", metavar="DIM=SIZE",
                        help="block size along dimensions (default: ~48 MiB of input per block)")
    parser.add_argument("--format", choices=("netcdf", "zarr"),
                        help="output format (default: from the output's name)")
    parser.add_argument("--zlib", type=int, choices=range(0, 10), metavar="LEVEL",
                        help="compress the results with zlib at LEVEL (with shuffle)")
    parser.add_argument("--dtype", choices=("float32", "float64"),
                        help="result type (default: the input's floating type)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="compute the blocks on this dask.distributed scheduler")
    parser.add_argument("--quiet", action="store_true",
                        help="accepted for scripts written for earlier versions (the streaming "
                             "path prints no progress)")


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog=PROG, description="Atmospheric-science kernels on "
                                                         "netCDF and Zarr files.")
    top.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    h2p = commands.add_parser("hybrid-to-pressure", help="interpolate variables on hybrid "
                                                         "levels to pressure levels")
    _common_options(h2p)
    h2p.add_argument("--var", nargs="+", required=True, help="variables to interpolate")
    h2p.add_argument("--levels", nargs="+", type=float, required=True,
                     help="target pressures, in --units")
    h2p.add_argument("--units", help="unit of --levels (Pa, hPa, ...; required when the levels "
                                     "look like hPa)")
    h2p.add_argument("--new-dim", default="plev", help="pressure dimension of the output "
                                                       "(default: plev)")
    h2p.add_argument("--method", choices=("log", "linear"), default="log",
                     help="interpolate in ln p (default) or in p")
    h2p.add_argument("--extrapolate", action="store_true",
                     help="fill targets below the lowest model level (temperature and "
                          "geopotential height from the surface geopotential, others with the "
                          "lowest level's value)")
    h2p.add_argument("--variable", nargs="+", metavar="VAR=KIND",
                     help="how to extrapolate each variable: temperature, geopotential or plain "
                          "(default: from standard_name, else units)")
    h2p.add_argument("--phis", help="surface geopotential (m2 s-2) or height (m) variable "
                                    "(default: phis or orog, also in --surface)")
    h2p.add_argument("--surface", metavar="FILE",
                     help="a second file with the surface height (CMIP's fx orog)")
    h2p.add_argument("--t-bot", help="temperature on model levels, for extrapolating geopotential "
                                     "height (default: the air_temperature variable)")
    _hybrid_options(h2p)
    h2p.set_defaults(run=_hybrid_to_pressure)
    derive = commands.add_parser("derive", help="compute a quantity from variables of a file")
    derive.add_argument("quantity", choices=sorted(_DERIVED))
    _common_options(derive)
    derive.add_argument("--t", help="temperature variable")
    derive.add_argument("--q", help="specific humidity variable")
    derive.add_argument("--w", help="mixing ratio variable")
    derive.add_argument("--rh", help="relative humidity variable")
    derive.add_argument("--p", help="pressure variable (default: from the vertical coordinate)")
    derive.add_argument("--name", help="name of the output variable (default: the quantity)")
    derive.add_argument("--nan-policy", choices=("propagate", "floor"), default="propagate",
                        help="missing inputs give missing results (propagate, default) or the "
                             "kernel's floor value (floor; relhum)")
    _hybrid_options(derive)
    derive.set_defaults(run=_derive_command)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    args = parser().parse_args(argv)
    return run(lambda: args.run(args, argv), PROG)
