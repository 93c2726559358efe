"""Element-wise quantities: one kernel applied to broadcast inputs.

A `Quantity` describes one public function: its kernels, parameter names,
required input units and result units. `evaluate` runs it on any kind of
input. Scalars go to the `_scalar` kernel; arrays are broadcast, flattened to
contiguous float64 and passed to the array kernel, then reshaped; dask arrays
and DataArrays run the same NumPy code block by block.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from . import _cf, _units
from ._dispatch import (Kind, apply_dask, apply_xarray, broadcast_together, check_real,
                        chunked_map, common_kind, kernel, label, needs_conversion, result_dtype,
                        unflatten)
from ._typing import DTypeLike

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
                options: _cf.Options = _cf.NO_OPTIONS,
                dtype: np.dtype[Any] = np.dtype(np.float64)) -> np.ndarray:
    """The NumPy evaluation of quantity `name`, as `dtype`; also the block
    function handed to dask and xarray (picklable: a module-level function of
    plain values)."""
    quantity = _QUANTITIES[name]
    arrays, shape, order, mask = broadcast_together(name, quantity.params, values)

    def compute(flat: list[np.ndarray], own: Sequence[Any]) -> np.ndarray:
        if options.specific_humidity is not None:
            # Per block, so a dask graph never holds a converted copy of the whole input.
            flat[options.specific_humidity] = _cf.mixing_ratio(flat[options.specific_humidity])
        if quantity.flat_evaluator is None:
            result: np.ndarray = kernel(quantity.submodule, quantity.array_kernel)(*flat, *fixed)
        else:
            result = quantity.flat_evaluator(flat, own, fixed)
        if options.nan_floor is not None and result.size:
            # Only elements at the floor can come from a NaN input.
            floored = np.flatnonzero(result == options.nan_floor)
            if floored.size:
                missing = np.zeros(floored.size, dtype=bool)
                for part in flat:
                    missing |= np.isnan(part[floored])
                result[floored[missing]] = np.nan
        return result

    if needs_conversion(arrays, dtype):
        # Converted chunk by chunk; grouping evaluators see each chunk's own
        # values.
        return unflatten(chunked_map(lambda flat: compute(flat, flat), arrays, dtype, order),
                         shape, order, mask)
    flat = [np.asarray(b, dtype=np.float64, order=order).reshape(-1, order=order)  # type: ignore[call-overload]
            for b in arrays]
    return unflatten(compute(flat, values), shape, order, mask)


def check_units(quantity: Quantity, values: Sequence[Any],
                params: Sequence[str] | None = None) -> list[Any]:
    """The values in the kernel's units: declared units converted (pint
    quantities stripped), wrong ones refused."""
    params = quantity.params if params is None else params
    values = [v if unit is None else _units.convert(quantity.name, name, v, unit)
              for name, v, unit in zip(params, values, quantity.units)]
    if quantity.same_unit:
        positions = [params.index(n) for n in quantity.same_unit]
        group, _ = _units.strip(quantity.name, [(params[i], values[i]) for i in positions])
        for i, value in zip(positions, group):
            values[i] = value
        _units.common(quantity.name, [(params[i], values[i]) for i in positions])
    for i, (name, value) in enumerate(zip(params, values)):
        if _units.has_pint_units(value):
            # A unit the kernel does not look at (a day number): only a
            # dimensionless quantity says nothing it could get wrong.
            values[i] = _units.convert(quantity.name, name, value, _units.DIMENSIONLESS)
    return values


_UNITLESS = (float, int, np.ndarray, np.generic)


def evaluate(quantity: Quantity, values: Sequence[Any], fixed: tuple[Any, ...] = (), *,
             params: Sequence[str] | None = None, options: _cf.Options = _cf.NO_OPTIONS,
             keep_attrs: bool | None = None, name: str | None = None,
             dtype: DTypeLike = None) -> Any:
    """Runs `quantity` on `values` (one per parameter) plus the `fixed` kernel
    arguments that are not broadcast (a flag), returning the kind of input it
    was given (pint quantities in: a quantity in the result's unit out).

    params: the parameter names to use in messages when they differ from the
    quantity's (specific_humidity for mixing_ratio). keep_attrs: whether a
    DataArray result keeps the attributes of the first DataArray argument
    (None: xarray's option); name: the result's name; dtype: the result's
    dtype (None: the result type of the array inputs)."""
    params = quantity.params if params is None else params
    registry = next((v._REGISTRY for v in values if _units.is_quantity(v)), None)
    # Decided by the arguments as given: a unit conversion may widen them.
    out_dtype = result_dtype(quantity.name, values, dtype)
    if not all(isinstance(v, _UNITLESS) for v in values):
        # Plain numbers and arrays declare no unit: nothing to look at.
        values = check_units(quantity, values, params)
    kind = common_kind(quantity.name, params, values)
    if kind <= Kind.NUMPY_SCALAR:
        for param, value in zip(params, values):
            if isinstance(value, np.generic):
                check_real(quantity.name, param, value.dtype)
        result = _scalar(quantity, values, fixed, options)
        if kind is Kind.NUMPY_SCALAR or dtype is not None:
            result = out_dtype.type(result)
    else:
        block = functools.partial(numpy_block, quantity.name, fixed, options=options,
                                  dtype=out_dtype)
        if kind is Kind.NUMPY:
            result = block(*values)
        elif kind is Kind.DASK:
            signature = ",".join("()" for _ in values) + "->()"
            result = apply_dask(block, signature, values, dtype=out_dtype)
        else:
            result = apply_xarray(block, values, dtype=out_dtype)
            attrs = _cf.result_attrs(quantity.name, quantity.long_name, quantity.result_units,
                                     values, keep_attrs)
            return label(result, name or quantity.name, attrs)
    if registry is not None and quantity.result_units is not None:
        return registry.Quantity(result, _cf.pint_units(quantity.result_units))
    return result


def _scalar(quantity: Quantity, values: Sequence[Any], fixed: tuple[Any, ...],
            options: _cf.Options) -> Any:
    values = list(values)
    if options.specific_humidity is not None:
        q = float(values[options.specific_humidity])
        values[options.specific_humidity] = q / (1.0 - q)
    result = kernel(quantity.submodule, quantity.scalar_kernel)(*values, *fixed)
    if result == options.nan_floor and any(math.isnan(float(v)) for v in values):
        return math.nan
    return result
