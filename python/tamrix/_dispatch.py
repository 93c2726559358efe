"""Dispatch on the kind of input: Python numbers, NumPy arrays, dask arrays and
xarray DataArrays, each returned as the kind it came in.

xarray and dask are optional: an object can only be a DataArray or a dask
array if its library has already been imported, so the checks look in
`sys.modules` and never import anything themselves.

All kernels are reached by name (`kernel("meteorology", "relhum_array")`) and
every function handed to dask is a module-level function or a
`functools.partial` of one with plain arguments, so task graphs pickle and run
on `dask.distributed` workers.
"""

from __future__ import annotations

import enum
import math
import re
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import numpy as np

import _tamrix_rs

from ._typing import DTypeLike


class Kind(enum.IntEnum):
    # Ordered: the highest kind among the inputs decides how a call runs.
    SCALAR = 0
    NUMPY_SCALAR = 1
    NUMPY = 2
    DASK = 3
    XARRAY = 4


def kernel(submodule: str, name: str) -> Callable[..., Any]:
    function: Callable[..., Any] = getattr(getattr(_tamrix_rs, submodule), name)
    return function


def is_dataarray(value: Any) -> bool:
    xr = sys.modules.get("xarray")
    return xr is not None and isinstance(value, xr.DataArray)


def is_dask_array(value: Any) -> bool:
    da = sys.modules.get("dask.array")
    return da is not None and isinstance(value, da.Array)


def kind_of(value: Any) -> Kind:
    if is_dataarray(value):
        return Kind.XARRAY
    if is_dask_array(value):
        return Kind.DASK
    if isinstance(value, np.ndarray):
        return Kind.NUMPY
    if isinstance(value, np.generic):
        return Kind.NUMPY_SCALAR
    if isinstance(value, (list, tuple)):
        return Kind.NUMPY
    xr = sys.modules.get("xarray")
    if xr is not None and isinstance(value, (xr.Dataset, xr.Variable)):
        raise TypeError(f"expected a DataArray, got {type(value).__name__}; apply the function "
                        f"to each variable")
    return Kind.SCALAR


def common_kind(function: str, names: Sequence[str], values: Sequence[Any]) -> Kind:
    """The kind of the result. Labelled and unlabelled arrays do not mix:
    xarray broadcasts by dimension name, which a bare array does not have."""
    kinds = [kind_of(v) for v in values]
    top = max(kinds, default=Kind.SCALAR)
    if top is Kind.XARRAY:
        for name, value, kind in zip(names, values, kinds):
            if kind in (Kind.NUMPY, Kind.DASK) and np.ndim(value) != 0:
                raise TypeError(
                    f"{function}: {name} is an unlabelled {type(value).__name__} while other "
                    f"arguments are DataArrays; wrap it in a DataArray with named dimensions")
    return top


def check_real(function: str, name: str, dtype: np.dtype[Any]) -> None:
    """Only booleans, integers and floats convert to float64 without loss of
    meaning (complex would drop its imaginary part, strings would be parsed)."""
    if dtype.kind not in "biuf":
        raise TypeError(f"{function}: {name} must hold real numbers, not dtype {dtype}")


def as_numpy(function: str, name: str, value: Any) -> np.ndarray:
    """Any array-like as an ndarray (dtype unchanged, masks dropped: callers
    that honour masks read them first)."""
    array = np.asarray(np.ma.getdata(value) if np.ma.isMaskedArray(value) else value)
    check_real(function, name, array.dtype)
    return array


def flatten_together(function: str, names: Sequence[str], values: Sequence[Any]
                     ) -> tuple[list[np.ndarray], tuple[int, ...], str, np.ndarray | None]:
    """Broadcasts the inputs and returns them as 1-D contiguous float64 arrays.

    Each input is converted at most once (an input that already is contiguous
    float64 of the full shape is used in place). Fortran-ordered inputs are
    flattened in Fortran order rather than copied. Returns the flat arrays,
    the broadcast shape, the flattening order and the combined mask of any
    masked-array inputs (None when there is none).
    """
    broadcast, shape, order, mask = broadcast_together(function, names, values)
    flat = [np.asarray(b, dtype=np.float64, order=order).reshape(-1, order=order)  # type: ignore[call-overload]
            for b in broadcast]
    return flat, shape, order, mask


def broadcast_together(function: str, names: Sequence[str], values: Sequence[Any]
                       ) -> tuple[list[np.ndarray], tuple[int, ...], str, np.ndarray | None]:
    """The inputs as broadcast ndarray views (nothing converted or copied),
    with the broadcast shape, the memory order to keep ("F" when every input
    is Fortran-ordered) and the combined mask of masked-array inputs."""
    arrays = [as_numpy(function, name, v) for name, v in zip(names, values)]
    try:
        broadcast = np.broadcast_arrays(*arrays)
    except ValueError:
        shapes = ", ".join(f"{n} {a.shape}" for n, a in zip(names, arrays))
        raise ValueError(f"{function}: shapes do not broadcast together: {shapes}") from None
    shape = broadcast[0].shape if broadcast else ()
    order = "C"
    if len(shape) > 1 and all(b.flags.f_contiguous and not b.flags.c_contiguous for b in broadcast):
        order = "F"
    mask = None
    for value in values:
        if np.ma.isMaskedArray(value) and np.ma.getmask(value) is not np.ma.nomask:
            part = np.broadcast_to(np.ma.getmaskarray(value), shape)
            mask = part.copy() if mask is None else (mask | part)
    return list(broadcast), shape, order, mask


def unflatten(flat: np.ndarray, shape: tuple[int, ...], order: str, mask: np.ndarray | None
              ) -> np.ndarray:
    result: np.ndarray = flat.reshape(shape, order=order)  # type: ignore[call-overload]
    if mask is not None:
        masked: np.ndarray = np.ma.MaskedArray(result, mask=mask)
        return masked
    return result


# Above this many distinct keys, grouping sorts the positions once instead of
# scanning the whole key array for every distinct value.
_SCAN_LIMIT = 16


def distinct_bits(value: np.ndarray) -> np.ndarray:
    """The distinct bit patterns of an argument's float64 values, sorted."""
    return np.unique(np.ascontiguousarray(value, dtype=np.float64).reshape(-1).view(np.int64))


def grouped(distinct: np.ndarray, key: np.ndarray,
            evaluate: Callable[[float, np.ndarray | None], np.ndarray]) -> np.ndarray:
    """Evaluates a kernel that takes one argument as a single number, once per
    distinct value of that argument.

    `key` is the flat, broadcast argument and `distinct` the distinct bit
    patterns of its values (see `distinct_bits`; counted on the argument before
    broadcasting, which is cheaper). Values are grouped by bit pattern, so
    every element reaches the kernel exactly as given (signed zeros and NaN
    payloads included). `evaluate(value, index)` returns the results for the
    flat positions `index` (None: all positions).
    """
    out = np.empty(key.size, dtype=np.float64)
    if key.size == 0:
        return out
    if distinct.size == 1:
        out[:] = evaluate(float(key[0]), None)
        return out
    bits = key.view(np.int64)
    if distinct.size <= _SCAN_LIMIT:
        for pattern in distinct:
            index = np.flatnonzero(bits == pattern)
            if index.size:
                out[index] = evaluate(float(key[index[0]]), index)
        return out
    order = np.argsort(bits, kind="stable")
    cuts = np.flatnonzero(bits[order[1:]] != bits[order[:-1]]) + 1
    for index in np.split(order, cuts):
        out[index] = evaluate(float(key[index[0]]), index)
    return out


def take(array: np.ndarray, index: np.ndarray | None) -> np.ndarray:
    return array if index is None else array[index]


def whole_axis(array: Any, axis: int) -> Any:
    """A dask array with `axis` in one chunk (the kernels need whole columns).

    Merging the chunks of one axis alone multiplies the chunk size by their
    number (30 levels stored one per chunk: 30 times the memory per task), so
    the other axes are re-chunked with dask's "auto" rule under a byte budget:
    a chunk stays within the size of the largest input chunk, or of one whole
    column where that is larger.
    """
    axis %= array.ndim
    if len(array.chunks[axis]) <= 1:
        return array
    itemsize = array.dtype.itemsize
    budget = max(math.prod(max(c, default=0) for c in array.chunks) * itemsize,
                 array.shape[axis] * itemsize)
    chunks: dict[int, Any] = {i: "auto" for i in range(array.ndim)}
    chunks[axis] = -1
    return array.rechunk(chunks, block_size_limit=budget)


def rechunk_core(value: Any, dim: str) -> Any:
    """A dask-backed DataArray with `dim` in one chunk, other dimensions
    re-chunked to keep the chunk size (see `whole_axis`); other inputs
    unchanged."""
    if is_dataarray(value) and value.chunks is not None and dim in value.dims:
        return value.copy(data=whole_axis(value.data, value.dims.index(dim)))
    return value


def apply_xarray(func: Callable[..., Any], args: Sequence[Any], *,
                 input_core_dims: Sequence[Sequence[str]] | None = None,
                 output_core_dims: Sequence[Sequence[str]] = ((),),
                 exclude_dims: frozenset[str] = frozenset(),
                 output_sizes: dict[str, int] | None = None,
                 kwargs: dict[str, Any] | None = None,
                 dtype: np.dtype[Any] | None = None) -> Any:
    """xarray.apply_ufunc, lazy and chunk-wise for dask-backed inputs."""
    import xarray as xr

    gufunc_kwargs = {"output_sizes": output_sizes} if output_sizes else None
    return xr.apply_ufunc(
        func, *args,
        input_core_dims=input_core_dims,
        output_core_dims=output_core_dims,
        exclude_dims=set(exclude_dims),
        kwargs=kwargs,
        dask="parallelized",
        output_dtypes=[np.dtype(np.float64) if dtype is None else dtype],
        dask_gufunc_kwargs=gufunc_kwargs,
        keep_attrs=False,
    )


def apply_dask(func: Callable[..., Any], signature: str, args: Sequence[Any], *,
               output_sizes: dict[str, int] | None = None,
               dtype: np.dtype[Any] | None = None) -> Any:
    """dask.array.apply_gufunc: lazy, one call of `func` per block, loop
    dimensions broadcast. Core dimensions must already be in one chunk; loop
    dimensions are rechunked to agree between the arguments."""
    import dask.array as da

    inputs = signature.split("->")[0]
    core_counts = [len([d for d in group.split(",") if d.strip()])
                   for group in re.findall(r"\(([^)]*)\)", inputs)]
    arrays = _align_loop_chunks([da.asarray(a) for a in args],  # type: ignore[no-untyped-call]
                                core_counts)
    return da.apply_gufunc(func, signature, *arrays,  # type: ignore[no-untyped-call]
                           output_dtypes=np.dtype(np.float64) if dtype is None else dtype,
                           output_sizes=output_sizes or {})


def _align_loop_chunks(arrays: list[Any], core_counts: list[int]) -> list[Any]:
    # apply_gufunc needs equal chunks along each broadcast (loop) dimension;
    # loop dimensions are matched from the right, like NumPy broadcasting,
    # and those of length 1 broadcast whatever their chunks.
    target: dict[int, tuple[int, ...]] = {}
    for array, cores in zip(arrays, core_counts):
        loops = array.ndim - cores
        for k in range(1, loops + 1):
            if array.shape[loops - k] > 1:
                target.setdefault(k, array.chunks[loops - k])
    aligned = []
    for array, cores in zip(arrays, core_counts):
        loops = array.ndim - cores
        changes = {loops - k: target[k] for k in range(1, loops + 1)
                   if array.shape[loops - k] > 1 and array.chunks[loops - k] != target[k]}
        aligned.append(array.rechunk(changes) if changes else array)
    return aligned


def label(result: Any, name: str | None, attrs: dict[str, Any]) -> Any:
    result.name = name
    result.attrs = attrs
    return result


# --- result dtype and chunked conversion ---

# Elements per chunk when inputs or results are converted: 2 MiB of float64
# per operand, small beside the arrays worth converting in chunks, large
# enough that one kernel call per chunk still keeps the worker pool busy.
CHUNK = 1 << 18



_PYTHON_NUMBERS = frozenset({float, int, bool, type(None)})
_FLOAT64 = np.dtype(np.float64)


def result_dtype(function: str, values: Sequence[Any], dtype: DTypeLike = None) -> np.dtype[Any]:
    """The dtype of a result: `dtype` when given (a floating-point type), else
    the NumPy result type of the array inputs (float32 in, float32 out).

    Python numbers and lists of them do not take part, like NumPy's weak
    scalars, so `relhum(t32, 0.01, 1e5)` stays float32 with NumPy 1 and 2
    alike. Integer and boolean inputs, and calls with no array input at all,
    give float64. The kernels compute in float64 either way.
    """
    if dtype is None and all(type(v) in _PYTHON_NUMBERS for v in values):
        return _FLOAT64  # the common scalar call, without looking for dtypes
    if dtype is not None:
        resolved = np.dtype(dtype)
        if resolved.kind != "f":
            raise TypeError(f"{function}: dtype must be a floating-point type, not {resolved}")
        return resolved
    # Arrays of every kind (NumPy, dask, DataArrays, pint quantities of
    # arrays) and NumPy scalars have a dtype; Python numbers and lists do not.
    dtypes = [d for d in (getattr(v, "dtype", None) for v in values) if isinstance(d, np.dtype)]
    found = np.result_type(*dtypes) if dtypes else _FLOAT64
    return found if found.kind == "f" else _FLOAT64


def needs_conversion(arrays: Sequence[np.ndarray], dtype: np.dtype[Any]) -> bool:
    return dtype != np.float64 or any(a.dtype != np.float64 for a in arrays)


def chunked_map(compute: Callable[[list[np.ndarray]], np.ndarray], arrays: Sequence[np.ndarray],
                dtype: np.dtype[Any], order: str) -> np.ndarray:
    """compute(chunks) over broadcast arrays of one shape, CHUNK elements at a
    time: each chunk of each input is converted to contiguous float64 and the
    float64 result converted to `dtype`, so no input or result is ever
    converted whole (numpy.nditer's buffering does the conversions)."""
    shape = arrays[0].shape if arrays else ()
    out = np.empty(shape, dtype=dtype, order=order)  # type: ignore[call-overload]
    operands = [*arrays, out]
    iterator = np.nditer(  # type: ignore[call-overload]
        operands, flags=["external_loop", "buffered", "zerosize_ok"],
        op_flags=[["readonly"]] * len(arrays) + [["writeonly"]],
        op_dtypes=[np.float64] * len(operands), casting="same_kind", buffersize=CHUNK,
        order="K")
    with iterator:
        for chunk in iterator:
            *inputs, target = chunk
            target[...] = compute([np.ascontiguousarray(part) for part in inputs])
    result: np.ndarray = out
    return result


def column_blocks(columns: tuple[int, ...], per_column: int
                  ) -> Iterator[tuple[tuple[int | slice, ...], int]]:
    """Blocks of a space of columns, each of about CHUNK values (per_column
    values per column) and at least one column, in C order: (index into the
    column axes, number of columns). Every block is a basic-indexing view,
    so converting one never touches the rest."""
    inner, axis = 1, len(columns)
    # The trailing axes whose columns fit in one chunk together.
    while axis > 0 and inner * columns[axis - 1] * max(per_column, 1) <= CHUNK:
        axis -= 1
        inner *= columns[axis]
    if axis == 0:
        yield (), inner
        return
    axis -= 1
    step = max(1, CHUNK // (inner * max(per_column, 1)))
    for outer in np.ndindex(*columns[:axis]):
        for start in range(0, columns[axis], step):
            stop = min(start + step, columns[axis])
            yield (*outer, slice(start, stop)), (stop - start) * inner
