"""Element-wise quantities: one kernel applied to broadcast inputs.

A `Quantity` describes one public function: its kernels, parameter names,
required input units and result units. `evaluate` runs it on any kind of
input. Scalars go to the `_scalar` kernel; arrays are broadcast, flattened to
contiguous float64 and passed to the array kernel, then reshaped; dask arrays
and DataArrays run the same NumPy code block by block.
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from . import _units
from ._dispatch import (DTypeLike, Kind, apply_dask, apply_xarray, broadcast_together,
                        check_real, chunked_map, common_kind, flatten_together, kernel, label,
                        needs_conversion, result_dtype, unflatten)

# (flat float64 inputs, the same inputs before broadcasting, fixed kernel
# arguments) -> flat float64 result.
FlatEvaluator = Callable[[Sequence[np.ndarray], Sequence[Any], tuple[Any, ...]], np.ndarray]


@dataclass(frozen=True)
class Quantity:
    name: str
    long_name: str
    submodule: str
    scalar_kernel: str
    array_kernel: str
    params: tuple[str, ...]
    units: tuple[_units.Unit | None, ...]
    result_units: str | None
    # Parameters that must share one (any) unit, e.g. pressures used in a ratio.
    same_unit: tuple[str, ...] = ()
    # Evaluation of the flat inputs, when it is not one call of the array kernel.
    flat_evaluator: FlatEvaluator | None = field(default=None, compare=False)


_QUANTITIES: dict[str, Quantity] = {}


def register(quantity: Quantity) -> Quantity:
    _QUANTITIES[quantity.name] = quantity
    return quantity


def numpy_block(name: str, fixed: tuple[Any, ...], *values: Any,
                dtype: np.dtype[Any] = np.dtype(np.float64)) -> np.ndarray:
    """The NumPy evaluation of quantity `name`, as `dtype`; also the block
    function handed to dask and xarray (picklable: a module-level function of
    plain values)."""
    quantity = _QUANTITIES[name]
    arrays, shape, order, mask = broadcast_together(name, quantity.params, values)
    if needs_conversion(arrays, dtype):
        # Converted chunk by chunk; grouping evaluators see each chunk's own
        # values.
        def compute(flat: list[np.ndarray]) -> np.ndarray:
            if quantity.flat_evaluator is None:
                chunk: np.ndarray = kernel(quantity.submodule, quantity.array_kernel)(*flat, *fixed)
                return chunk
            return quantity.flat_evaluator(flat, flat, fixed)
        return unflatten(chunked_map(compute, arrays, dtype, order), shape, order, mask)
    flat, shape, order, mask = flatten_together(name, quantity.params, values)
    if quantity.flat_evaluator is None:
        result = kernel(quantity.submodule, quantity.array_kernel)(*flat, *fixed)
    else:
        result = quantity.flat_evaluator(flat, values, fixed)
    return unflatten(result, shape, order, mask)


def check_units(quantity: Quantity, values: Sequence[Any]) -> None:
    for name, value, unit in zip(quantity.params, values, quantity.units):
        if unit is not None:
            _units.require(quantity.name, name, value, unit)
    if quantity.same_unit:
        by_name = dict(zip(quantity.params, values))
        _units.common(quantity.name, [(n, by_name[n]) for n in quantity.same_unit])


def evaluate(quantity: Quantity, values: Sequence[Any], fixed: tuple[Any, ...] = (),
             dtype: DTypeLike = None) -> Any:
    """Runs `quantity` on `values` (one per parameter) plus the `fixed` kernel
    arguments that are not broadcast (a flag), returning the kind of input it
    was given, with values of `dtype` (default: the inputs' result type)."""
    kind = common_kind(quantity.name, quantity.params, values)
    out_dtype = result_dtype(quantity.name, values, dtype)
    if kind <= Kind.NUMPY_SCALAR:
        for name, value in zip(quantity.params, values):
            if isinstance(value, np.generic):
                check_real(quantity.name, name, value.dtype)
        result = kernel(quantity.submodule, quantity.scalar_kernel)(*values, *fixed)
        if kind is Kind.NUMPY_SCALAR or dtype is not None:
            return out_dtype.type(result)
        return result
    block = functools.partial(numpy_block, quantity.name, fixed, dtype=out_dtype)
    if kind is Kind.NUMPY:
        return block(*values)
    if kind is Kind.DASK:
        signature = ",".join("()" for _ in values) + "->()"
        return apply_dask(block, signature, values, dtype=out_dtype)
    check_units(quantity, values)
    result = apply_xarray(block, values, dtype=out_dtype)
    attrs = {"long_name": quantity.long_name}
    if quantity.result_units is not None:
        attrs["units"] = quantity.result_units
    return label(result, quantity.name, attrs)
