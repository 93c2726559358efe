"""The `tamrix` command: netCDF in, netCDF out.

    tamrix hybrid-to-pressure in.nc out.nc --var ta --levels 1000 850 500 250 --units hPa
    tamrix derive relhum in.nc out.nc --t ta --q hus --p p

Files are read lazily with xarray and dask (in chunks, `--chunks`), computed
block by block with a progress bar on stderr, and written to a temporary
file beside the output that is renamed into place only once it is complete
(`_output`): a failure or a signal never leaves a half-written output
behind, nor touches an existing one, and is reported in one line.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Iterator, Sequence
from typing import Any

from ._output import UsageError, reading, replacing, run, writing

PROG = "tamrix"

# derive: quantity -> (function, the arguments it reads as --options)
_DERIVED = {
    "relhum": ("relhum", ("t", "humidity", "p")),
    "relhum_ice": ("relhum_ice", ("t", "humidity", "p")),
    "relhum_water": ("relhum_water", ("t", "humidity", "p")),
    "dewtemp": ("dewtemp", ("t", "rh")),
    "heat_index": ("heat_index", ("t", "rh")),
}


def _engine() -> str:
    for module, engine in (("netCDF4", "netcdf4"), ("h5netcdf", "h5netcdf")):
        try:
            __import__(module)
        except ImportError:
            continue
        return engine
    raise UsageError("reading and writing netCDF needs netCDF4 or h5netcdf: "
                     "pip install 'tamrix[netcdf]'")


def _chunks(items: Sequence[str] | None) -> Any:
    if not items:
        return "auto"
    chunks: dict[str, int] = {}
    for item in items:
        dim, sep, size = item.partition("=")
        try:
            chunks[dim] = int(size)
        except ValueError:
            sep = ""
        if not sep or not dim:
            raise UsageError(f"--chunks takes DIM=SIZE (e.g. time=1), not {item!r}")
    return chunks


def _open(path: str, chunks: Any) -> Any:
    import xarray as xr

    if not os.path.exists(path):
        raise UsageError(f"{path}: no such file")
    engine = _engine()
    with reading(path):
        return xr.open_dataset(path, engine=engine, chunks=chunks,
                               from_array_kwargs={"getitem": _block_reader(path)})


def _block_reader(path: str) -> Any:
    """dask's getter for the blocks of `path`: a failure to read one names the
    file and the variable, in whichever worker thread it happens."""
    from dask.array.core import getter

    def read(array: Any, key: Any, asarray: bool = True, lock: Any = None) -> Any:
        with reading(path, _variable_name(array)):
            return getter(array, key, asarray=asarray, lock=lock)  # type: ignore[no-untyped-call]

    return read


def _variable_name(array: Any) -> str | None:
    # xarray wraps the backend's array in layers that keep the inner one as
    # `.array`; the innermost knows the variable's name.
    while array is not None and not hasattr(array, "variable_name"):
        array = getattr(array, "array", None)
    return getattr(array, "variable_name", None)


def _variable(ds: Any, path: str, name: str, what: str) -> Any:
    if name not in ds.variables:
        names = ", ".join(sorted(map(str, ds.data_vars))) or "none"
        raise UsageError(f"{path} has no variable {name!r} for {what} (its variables: {names})")
    return ds[name]


@contextlib.contextmanager
def _progress(enabled: bool) -> Iterator[None]:
    if not enabled:
        yield
        return
    from dask.diagnostics.progress import ProgressBar

    # Only work that takes longer than a second gets a bar.
    with ProgressBar(minimum=1.0, out=sys.stderr):  # type: ignore[no-untyped-call]
        yield


def _write(result: Any, path: str, inputs: Sequence[str], progress: bool) -> None:
    """Computes and writes `result` to a temporary file in the output's
    directory, then renames it to `path` (atomic on one file system)."""
    engine = _engine()
    with replacing(path, inputs=inputs) as temporary, writing(path):
        # dask reads, computes and writes together here: failures to read
        # were named by _block_reader already, the rest are the output's.
        pending = result.to_netcdf(temporary, engine=engine, compute=False)
        with _progress(progress):
            pending.compute()


def _output_dataset(ds: Any, variables: dict[str, Any], command: str) -> Any:
    import xarray as xr

    out = xr.Dataset(variables, attrs=dict(ds.attrs))
    history = f"{PROG} {command}"
    out.attrs["history"] = (f"{ds.attrs['history']}\n{history}" if ds.attrs.get("history")
                            else history)
    return out


def _hybrid_pressure(ds: Any, path: str, args: argparse.Namespace) -> Any:
    """Pressure on the model levels from ps and the hybrid coefficients."""
    import tamrix

    ps = _variable(ds, path, args.ps, "the surface pressure")
    hyam = _variable(ds, path, args.hyam, "the hybrid A coefficients")
    hybm = _variable(ds, path, args.hybm, "the hybrid B coefficients")
    p0 = _p0(ds, args)
    dims = ds[args.t].dims if getattr(args, "t", None) else None
    p = tamrix.pressure_at_hybrid_levels(hyam, hybm, ps, p0, dim=str(hyam.dims[0]))
    return p.transpose(*dims) if dims is not None and set(dims) == set(p.dims) else p


def _p0(ds: Any, args: argparse.Namespace) -> float:
    if args.p0 is not None:
        return float(args.p0)
    if "p0" in ds.variables:
        return float(ds["p0"].values)
    return 100000.0


def _hybrid_to_pressure(args: argparse.Namespace) -> Any:
    import xarray as xr

    import tamrix

    ds = _open(args.input, _chunks(args.chunks))
    ps = _variable(ds, args.input, args.ps, "the surface pressure")
    hyam = _variable(ds, args.input, args.hyam, "the hybrid A coefficients")
    hybm = _variable(ds, args.input, args.hybm, "the hybrid B coefficients")
    phis = _variable(ds, args.input, args.phis, "the surface geopotential") if args.phis else None
    t_bot = _variable(ds, args.input, args.t_bot, "the temperature") if args.t_bot else None
    levels = xr.DataArray(args.levels, dims=args.new_dim, attrs={"units": args.units})
    out = {}
    for name in args.var:
        data = _variable(ds, args.input, name, "interpolation")
        out[name] = tamrix.hybrid_to_pressure(
            data, ps, hyam.values, hybm.values, levels, _p0(ds, args), dim=args.dim,
            new_dim=args.new_dim, method=args.method, extrapolate=args.extrapolate,
            variable=args.variable, t_bot=t_bot, phi_sfc=phis, keep_attrs=True)
    return _output_dataset(ds, out, "hybrid-to-pressure " + " ".join(args.var))


def _derive(args: argparse.Namespace) -> Any:
    import tamrix

    function_name, needs = _DERIVED[args.quantity]
    function = getattr(tamrix, function_name)
    ds = _open(args.input, _chunks(args.chunks))
    path = args.input
    kwargs: dict[str, Any] = {}
    for need in needs:
        if need == "t":
            kwargs["temperature"] = _variable(ds, path, _required(args, "t"), "the temperature")
        elif need == "rh":
            kwargs["relative_humidity"] = _variable(ds, path, _required(args, "rh"),
                                                    "the relative humidity")
        elif need == "p":
            kwargs["pressure"] = (_variable(ds, path, args.p, "the pressure") if args.p
                                  else _hybrid_pressure(ds, path, args))
        elif args.q and args.w:
            raise UsageError("give the humidity as --q (specific) or --w (mixing ratio), not both")
        elif args.q:
            kwargs["specific_humidity"] = _variable(ds, path, args.q, "the specific humidity")
        elif args.w:
            kwargs["mixing_ratio"] = _variable(ds, path, args.w, "the mixing ratio")
        else:
            raise UsageError(f"{args.quantity} needs the humidity: --q VAR or --w VAR")
    name = args.name or args.quantity
    result = function(**kwargs, name=name)
    return _output_dataset(ds, {name: result}, f"derive {args.quantity}")


def _required(args: argparse.Namespace, option: str) -> str:
    value: str | None = getattr(args, option)
    if not value:
        raise UsageError(f"{args.quantity} needs --{option} VAR")
    return value


def _hybrid_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--ps", default="ps", help="surface pressure variable (default: ps)")
    parser.add_argument("--hyam", default="hyam",
                        help="hybrid A coefficient variable, p = hyam*p0 + hybm*ps "
                             "(default: hyam)")
    parser.add_argument("--hybm", default="hybm", help="hybrid B coefficient variable "
                                                       "(default: hybm)")
    parser.add_argument("--p0", type=float, default=None,
                        help="reference pressure in Pa (default: the file's p0, else 100000)")


def _common_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", help="netCDF file to read")
    parser.add_argument("output", help="netCDF file to write (replaced only when complete)")
    parser.add_argument("--chunks", nargs="+", metavar="DIM=SIZE",
                        help="dask chunks for reading (default: dask's automatic chunks)")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog=PROG, description="Atmospheric-science kernels on "
                                                         "netCDF files.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    h2p = commands.add_parser("hybrid-to-pressure", help="interpolate variables on hybrid "
                                                         "levels to pressure levels")
    _common_options(h2p)
    h2p.add_argument("--var", nargs="+", required=True, help="variables to interpolate")
    h2p.add_argument("--levels", nargs="+", type=float, required=True,
                     help="target pressures, in --units")
    h2p.add_argument("--units", default="Pa", help="unit of --levels (default: Pa)")
    h2p.add_argument("--dim", default="lev", help="level dimension of the input (default: lev)")
    h2p.add_argument("--new-dim", default="plev", help="pressure dimension of the output "
                                                       "(default: plev)")
    h2p.add_argument("--method", choices=("log", "linear"), default="log")
    h2p.add_argument("--extrapolate", action="store_true",
                     help="fill levels below the lowest model level (needs --phis for "
                          "temperature and geopotential height)")
    h2p.add_argument("--variable", choices=("temperature", "geopotential", "other"),
                     help="how to extrapolate (default: from each variable's standard_name)")
    h2p.add_argument("--phis", help="surface geopotential variable (m2 s-2)")
    h2p.add_argument("--t-bot", help="temperature variable (for geopotential height)")
    _hybrid_options(h2p)
    h2p.set_defaults(run=_hybrid_to_pressure)
    derive = commands.add_parser("derive", help="compute a quantity from variables of a file")
    derive.add_argument("quantity", choices=sorted(_DERIVED))
    _common_options(derive)
    derive.add_argument("--t", help="temperature variable")
    derive.add_argument("--q", help="specific humidity variable")
    derive.add_argument("--w", help="mixing ratio variable")
    derive.add_argument("--rh", help="relative humidity variable")
    derive.add_argument("--p", help="pressure variable (default: from the hybrid coefficients)")
    derive.add_argument("--name", help="name of the output variable (default: the quantity)")
    _hybrid_options(derive)
    derive.set_defaults(run=_derive)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)

    def body() -> None:
        result = args.run(args)
        _write(result, args.output, [args.input], progress=not args.quiet)

    return run(body, PROG)
