"""Reading and writing netCDF (with netCDF4) and Zarr (with zarr), hyperslab
by hyperslab, without xarray.

A `Source` is a variable lookup (name -> `Variable`) that reads any slab of a
variable with the CF decoding a user expects: `_FillValue` and
`missing_value` become NaN, packed integers (`scale_factor`, `add_offset`)
become floats. A `Sink` creates dimensions and variables and writes slabs.
Failures of the underlying libraries are failures to read the input or to
write the output (`_output.reading`, `_output.writing`): one line naming the
file, and the variable where there is one.
"""

from __future__ import annotations

import base64
import contextlib
import os
import threading
from collections.abc import Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._output import UsageError, reading, writing

if TYPE_CHECKING:
    from .._blocks import Array

NETCDF = "netcdf"
ZARR = "zarr"
# CF attributes that describe the stored bytes, not the values.
ENCODING_ATTRS = frozenset({"_FillValue", "missing_value", "scale_factor", "add_offset",
                            "_ARRAY_DIMENSIONS", "_Unsigned", "_Netcdf4Dimid",
                            "_Netcdf4Coordinates", "_NCProperties", "_nc3_strict"})
# netCDF's default fill value of float and double variables (NC_FILL_FLOAT).
DEFAULT_FILL = 9.969209968386869e36
# netCDF-C and HDF5 are not safe to call from two threads at once, and
# netCDF4 releases the GIL while they work: one call at a time per process
# (a dask.distributed worker's threads read while the main thread writes).
_NETCDF_LOCK = threading.Lock()


def _serialised(fmt: str) -> contextlib.AbstractContextManager[Any]:
    return _NETCDF_LOCK if fmt == NETCDF else contextlib.nullcontext()


def file_format(path: str, given: str | None) -> str:
    if given is not None:
        return given
    stripped = path.rstrip("/" + os.sep)
    if stripped.endswith(".zarr") or os.path.isfile(os.path.join(stripped, ".zgroup")) or \
            os.path.isfile(os.path.join(stripped, "zarr.json")):
        return ZARR
    return NETCDF


class Variable:
    """One variable of a `Source`: dims, shape, stored dtype, attributes
    (those describing values; the encoding ones are applied by `read`)."""

    def __init__(self, source: Source, name: str, array: Any, dims: Sequence[str],
                 attrs: Mapping[str, Any], fill_values: Sequence[Any]) -> None:
        self.source = source
        self.name = name
        self.array = array
        self.dims = tuple(dims)
        self.shape = tuple(int(n) for n in array.shape)
        self.stored: np.dtype[Any] = np.dtype(array.dtype)
        self.raw_attrs = dict(attrs)
        self.attrs = {k: v for k, v in attrs.items() if k not in ENCODING_ATTRS}
        self._fills = [f for f in fill_values if f is not None]
        # The chunk shape when the variable is stored compressed in chunks:
        # a chunk is inflated whole, so blocks should not cut through it.
        self.compressed_chunks: tuple[int, ...] | None = None
        self._scale = attrs.get("scale_factor")
        self._offset = attrs.get("add_offset")
        self.dtype = self._decoded_dtype()

    def _decoded_dtype(self) -> np.dtype[Any]:
        if self._scale is None and self._offset is None:
            if self.stored.kind in "iu" and self._fills:
                return np.dtype(np.float64)
            return self.stored
        packed = [np.asarray(v).dtype for v in (self._scale, self._offset) if v is not None]
        decoded: np.dtype[Any] = np.dtype(np.result_type(np.float32, *packed))
        return decoded

    @property
    def fill(self) -> Any:
        """The declared fill value (None when there is none)."""
        return self._fills[0] if self._fills else None

    def __getitem__(self, index: Any) -> Array:
        return self.read(index)

    def raw(self, index: Any = ...) -> Array:
        """The stored values of a slab, as they are in the file."""
        with reading(self.source.path, self.name), _serialised(self.source.format):
            return np.asarray(self.array[index])

    def read(self, index: Any = ...) -> Array:
        """The values of a slab, decoded (missing values NaN for floats)."""
        raw = self.raw(index)
        if self.stored.kind not in "fiu" or (
                not self._fills and self._scale is None and self._offset is None):
            return raw
        values = raw if raw.dtype == self.dtype else raw.astype(self.dtype)
        missing = None
        for fill in self._fills:
            hit = raw == np.asarray(fill, dtype=raw.dtype)
            missing = hit if missing is None else missing | hit
        if self._scale is not None:
            values *= np.asarray(self._scale, dtype=self.dtype)
        if self._offset is not None:
            values += np.asarray(self._offset, dtype=self.dtype)
        if missing is not None and values.dtype.kind == "f" and missing.any():
            values[missing] = np.nan
        return values


def _read_once_cache(var: Any) -> tuple[int, ...] | None:
    """Every chunk is read once per block, so HDF5's chunk cache (64 MiB per
    variable by default) would only hold memory: none for uncompressed data,
    which HDF5 then reads straight into the result, and one chunk for
    compressed data, so a chunk is not inflated again for the next run of
    levels of the same block. Returns the chunk shape of compressed data."""
    chunking = var.chunking()
    if chunking == "contiguous":
        return None
    filters = var.filters() or {}
    compressed = any(filters.get(k) for k in ("zlib", "szip", "zstd", "bzip2", "blosc"))
    # (A size of 0 would mean the library's default: 1 byte holds nothing.)
    size = int(np.prod(chunking)) * var.dtype.itemsize if compressed else 1
    var.set_var_chunk_cache(size=size, nelems=1, preemption=1.0)
    return tuple(int(c) for c in chunking) if compressed else None


class Source(Mapping[str, Variable]):
    """A netCDF file or a Zarr store open for reading."""

    def __init__(self, path: str, fmt: str | None = None) -> None:
        self.path = path
        self.format = file_format(path, fmt)
        if not os.path.exists(path):
            raise UsageError(f"{path}: no such file")
        try:
            with reading(path), _serialised(self.format):
                if self.format == ZARR:
                    self._open_zarr()
                else:
                    self._open_netcdf()
        except ImportError as error:
            raise ImportError(f"reading {path} needs {error.name}: pip install "
                              f"'tamrix[{'zarr' if self.format == ZARR else 'netcdf'}]'") from None

    def _open_netcdf(self) -> None:
        import netCDF4

        self._handle: Any = netCDF4.Dataset(self.path, "r")
        self.data_model: str = self._handle.data_model
        self.attrs = {k: self._handle.getncattr(k) for k in self._handle.ncattrs()}
        self.dims = {name: len(d) for name, d in self._handle.dimensions.items()}
        self.unlimited = {name for name, d in self._handle.dimensions.items() if d.isunlimited()}
        self._variables = {}
        for name, var in self._handle.variables.items():
            var.set_auto_maskandscale(False)
            compressed = _read_once_cache(var) if self.data_model.startswith("NETCDF4") else None
            attrs = {k: var.getncattr(k) for k in var.ncattrs()}
            fills = [attrs.get("_FillValue"), *np.atleast_1d(attrs.get("missing_value", []))]
            self._variables[name] = Variable(self, name, var, var.dimensions, attrs, fills)
            self._variables[name].compressed_chunks = compressed

    def _open_zarr(self) -> None:
        import zarr

        self._handle = zarr.open_group(self.path, mode="r")
        self.data_model = ZARR
        self.attrs = dict(self._handle.attrs)
        self.dims = {}
        self.unlimited = set()
        self._variables = {}
        for name, array in self._handle.arrays():
            attrs = dict(array.attrs)
            dims = attrs.get("_ARRAY_DIMENSIONS")
            if dims is None:
                dims = getattr(array.metadata, "dimension_names", None)
            if dims is None:
                raise ValueError(f"Zarr array {name!r} does not name its dimensions")
            fill = attrs.get("_FillValue")
            if isinstance(fill, str):  # Zarr v3 as xarray writes it: the bytes, base64
                fill = np.frombuffer(base64.b64decode(fill), dtype=array.dtype)[0]
            elif fill is None and array.metadata.zarr_format == 2 and array.dtype.kind == "f":
                fill = array.fill_value
            if isinstance(fill, float | np.floating) and np.isnan(fill):
                fill = None
            self._variables[name] = Variable(self, name, array, dims, attrs, [
                fill, *np.atleast_1d(attrs.get("missing_value", []))])
            if getattr(array, "compressors", ()):
                self._variables[name].compressed_chunks = tuple(int(c) for c in array.chunks)
            for dim, size in zip(dims, array.shape):
                self.dims.setdefault(str(dim), int(size))

    def __getitem__(self, name: str) -> Variable:
        return self._variables[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._variables)

    def __len__(self) -> int:
        return len(self._variables)

    def close(self) -> None:
        close = getattr(self._handle, "close", None)
        if close is not None:
            close()


class Sink:
    """A netCDF file or a Zarr store being written (at a temporary path)."""

    def __init__(self, path: str, display: str, fmt: str, data_model: str,
                 zlib: int | None) -> None:
        self.path = path
        self.display = display  # the output's name (`path` is its temporary)
        self.format = fmt
        self.zlib = zlib
        self._handle: Any = None
        self.dims: dict[str, int] = {}
        self._arrays: dict[str, Any] = {}
        if fmt == ZARR:
            import zarr

            with writing(display):
                self._handle = zarr.open_group(path, mode="w", zarr_format=2)
        else:
            import netCDF4

            if not data_model.startswith("NETCDF"):
                data_model = "NETCDF4"
            elif zlib is not None and not data_model.startswith("NETCDF4"):
                data_model = "NETCDF4_CLASSIC"
            with writing(display), _NETCDF_LOCK:
                self._handle = netCDF4.Dataset(path, "w", format=data_model)  # type: ignore[arg-type]

    def set_attrs(self, attrs: Mapping[str, Any]) -> None:
        with writing(self.display), _serialised(self.format):
            if self.format == ZARR:
                self._handle.attrs.update(_json_ready(attrs))
            else:
                self._handle.setncatts(dict(attrs))

    def dimension(self, name: str, size: int, unlimited: bool = False) -> None:
        if name in self.dims:
            return
        self.dims[name] = size
        if self.format != ZARR:
            with writing(self.display), _NETCDF_LOCK:
                self._handle.createDimension(name, None if unlimited else size)

    def variable(self, name: str, dims: Sequence[str], dtype: Any, attrs: Mapping[str, Any],
                 fill: Any = None, compress: bool = False,
                 chunks: Mapping[str, int] | None = None) -> None:
        """A new variable; `compress` applies --zlib (with shuffle) to it.
        Chunks are `chunks` where given (the blocks a run writes, so every
        write fills whole chunks), else one horizontal slab: what CDO and
        most readers read at a time."""
        dtype = np.dtype(dtype)
        shape = tuple(self.dims[d] for d in dims)
        chunk_shape = tuple(
            max(1, min(n, chunks[d])) if chunks is not None and d in chunks
            else max(1, n) if i >= len(shape) - 2 else 1
            for i, (d, n) in enumerate(zip(dims, shape)))
        zlib = compress and self.zlib is not None
        with writing(self.display, name), _serialised(self.format):
            if self.format == ZARR:
                self._arrays[name] = self._zarr_array(name, dims, dtype, attrs, fill, shape,
                                                      chunk_shape, zlib)
            else:
                self._arrays[name] = self._netcdf_variable(name, dims, dtype, attrs, fill,
                                                           chunk_shape, zlib)

    def _netcdf_variable(self, name: str, dims: Sequence[str], dtype: np.dtype[Any],
                         attrs: Mapping[str, Any], fill: Any, chunks: tuple[int, ...],
                         zlib: bool) -> Any:
        options: dict[str, Any] = {}
        if zlib:
            options = {"zlib": True, "complevel": self.zlib, "shuffle": True,
                       "chunksizes": chunks}
        elif any(self._handle.dimensions[d].isunlimited() for d in dims) and chunks:
            options = {"chunksizes": chunks}
        var = self._handle.createVariable(name, dtype.newbyteorder("="), tuple(dims),
                                          fill_value=fill, **options)
        var.set_auto_maskandscale(False)
        if "chunksizes" in options:
            # Written whole, chunk by chunk: a cache would only hold memory.
            var.set_var_chunk_cache(size=1, nelems=1, preemption=1.0)
        var.setncatts({k: v for k, v in attrs.items() if k != "_FillValue"})
        return var

    def _zarr_array(self, name: str, dims: Sequence[str], dtype: np.dtype[Any],
                    attrs: Mapping[str, Any], fill: Any, shape: tuple[int, ...],
                    chunks: tuple[int, ...], zlib: bool) -> Any:
        import numcodecs  # type: ignore[import-untyped]

        options: dict[str, Any] = {}
        if zlib:
            options = {"compressors": numcodecs.Zlib(level=self.zlib),
                       "filters": [numcodecs.Shuffle(elementsize=dtype.itemsize)]}
        if fill is None and dtype.kind == "f":
            fill = np.nan
        attributes = _json_ready({**attrs, "_ARRAY_DIMENSIONS": list(dims)})
        attributes.pop("_FillValue", None)
        return self._handle.create_array(name, shape=shape, dtype=dtype, chunks=chunks,
                                         fill_value=fill, attributes=attributes, **options)

    def write(self, name: str, index: Any, values: Array) -> None:
        with writing(self.display, name), _serialised(self.format):
            self._arrays[name][index] = values

    def close(self) -> None:
        with writing(self.display), _serialised(self.format):
            if self.format == ZARR:
                import zarr

                zarr.consolidate_metadata(self.path, zarr_format=2)
            else:
                self._handle.close()

    def abandon(self, error: BaseException) -> None:
        """Lets go of an output that is being removed because of `error`: the
        file is closed unless a signal stopped the run, which then ends at
        once (the process closes it on exit)."""
        if self.format != ZARR and not isinstance(error, KeyboardInterrupt):
            try:
                with _NETCDF_LOCK:
                    self._handle.close()
            except Exception:  # the file is deleted next; a second error adds nothing
                pass


def _json_ready(attrs: Mapping[str, Any]) -> dict[str, Any]:
    """Attribute values as JSON can hold them (Zarr keeps attributes as JSON)."""
    ready: dict[str, Any] = {}
    for key, value in attrs.items():
        if isinstance(value, np.ndarray):
            value = value.tolist()
        elif isinstance(value, np.generic):
            value = value.item()
        if isinstance(value, float) and not np.isfinite(value):
            continue
        ready[key] = value
    return ready
