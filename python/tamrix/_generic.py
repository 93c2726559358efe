"""The one path of every public function: binding, units, kind, dtype, core
dimensions and labels, each decided once.

A public function is a NumPy block under a declaration::

    @function("(),(),()->()", units={"temperature": KELVIN, ...},
              result=Result("relative humidity", "%", "relative_humidity"),
              scalar=meteorology.relhum_scalar)
    def relhum(temperature, mixing_ratio, pressure):
        '''docstring'''
        return meteorology.relhum_array(temperature, mixing_ratio, pressure)

The def gives the public signature (`dtype`, `keep_attrs`, `name` and, where
they apply, `axis`, `dim` and `new_dim` are added) and its body computes one
block (see `_blocks`); the signature gives the core dimensions of the
broadcast arguments (the keys of `units` that are not `coordinates`: 1-D or
0-d values converted once, such as hybrid coefficients, targets, p0). A call
binds the arguments (old keyword names warn) and sends Python numbers
straight to the scalar kernel; else it looks at each argument once (kind,
pint units), converts declared units (`_units`), decides the dtype, moves
the level axis last (`axis`) or names it (`dim`), runs the block on NumPy
(block by block when converting), through dask.array.apply_gufunc or
xarray.apply_ufunc, and labels the result (`_metadata`).

Blocks are reached by the function's name, and everything handed to dask is
a module-level function or a `functools.partial` of one with plain arguments,
so task graphs pickle and run on dask.distributed workers.
"""

from __future__ import annotations

import enum
import functools
import inspect
import math
import re
import sys
import warnings
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np

from . import _docs, _metadata, _units
from ._blocks import Array
from ._metadata import SHARED_UNIT, Result

_ma: Any = np.ma  # typed in NumPy 2, not in NumPy 1: used through Any alike

class Kind(enum.IntEnum):
    # Ordered: the highest kind among the inputs decides how a call runs.
    NUMBER = 0
    NUMPY_SCALAR = 1
    NUMPY = 2
    DASK = 3
    XARRAY = 4


_NUMBERS = frozenset({float, int, bool})
_NONE_OR_NUMBERS = _NUMBERS | {type(None)}
_PLAIN = frozenset({float, int, bool, np.ndarray, list, tuple, type(None)})


def is_dask_array(value: Any) -> bool:
    da = sys.modules.get("dask.array")
    return da is not None and isinstance(value, da.Array)


def look(value: Any) -> tuple[Kind, bool]:
    """The kind of an argument and whether it carries pint units (xarray, dask
    and pint objects exist only if their library is imported already)."""
    kind = type(value)
    if kind in _PLAIN:
        return Kind.NUMBER if kind in _NUMBERS else Kind.NUMPY, False
    xr = sys.modules.get("xarray")
    if xr is not None and isinstance(value, xr.DataArray):
        return Kind.XARRAY, _units.is_quantity(value.data)
    if isinstance(value, np.generic):
        return Kind.NUMPY_SCALAR, False
    if isinstance(value, np.ndarray):  # masked arrays and other subclasses
        return Kind.NUMPY, False
    if is_dask_array(value):
        return Kind.DASK, False
    if _units.is_quantity(value):
        return look(value.magnitude)[0], True
    if xr is not None and isinstance(value, (xr.Dataset, xr.Variable)):
        raise TypeError(f"expected a DataArray, got {kind.__name__}; apply the function to "
                        f"each variable")
    return Kind.NUMBER, False


@dataclass(frozen=True)
class Description:
    """A public function: its block and what the generic path needs to know."""

    name: str
    block: Callable[..., Any]
    values: tuple[str, ...]  # broadcast parameters, in order
    cores: tuple[str, ...]  # the core dimension of each ("n"; "" for none)
    output: str  # the core dimension of the result ("" for none)
    units: Mapping[str, _units.Unit | None]  # None: any unit (see _convert_units)
    result: Result
    parameters: tuple[inspect.Parameter, ...]
    coordinates: dict[str, str] = field(default_factory=dict)  # name: core dimension
    scalar: Callable[..., float] | None = None
    same_unit: tuple[str, ...] = ()  # arguments in one (any) unit
    shared: frozenset[str] = frozenset()  # may reach the block as one row for all
    dtype_from: tuple[str, ...] = ()
    one_of: tuple[str, ...] = ()
    required: tuple[str, ...] = ()
    # name: (the argument it replaces, the conversion), made per block
    alternatives: dict[str, tuple[str, Callable[[Any], Any]]] = field(default_factory=dict)
    nan_floor: float | None = None  # what the kernel gives for NaN
    renamed: dict[str, str] = field(default_factory=dict)  # old keyword: new
    # (arguments, common keywords) -> units that replace the declared ones
    prepare: Callable[[dict[str, Any], dict[str, Any]], dict[str, Any]] | None = None
    sizes: Callable[[dict[str, Any]], dict[str, int]] | None = None
    new_dim: str | None = None  # default name of a level dimension the result adds
    targets: str | None = None  # the coordinate holding the result's new levels
    target_attrs: dict[str, str] | None = None  # their attributes (None: the argument's)
    # The block takes the arrays as they come (any float dtype, level axis
    # last, often as a view of another layout) and the result's `dtype`.
    own_layout: bool = False
    # Made from the above.
    columns: bool = False
    arity: int = 0  # of the scalar kernel
    positional: tuple[str, ...] = ()
    defaults: dict[str, Any] = field(default_factory=dict)
    choices: dict[str, tuple[tuple[str, ...], bool]] = field(default_factory=dict)


DESCRIPTIONS: dict[str, Description] = {}
_COMMON = ("dtype", "keep_attrs", "name", "axis", "dim", "new_dim")
_ANNOTATIONS = {"dtype": "DTypeLike", "keep_attrs": "bool | None", "name": "Hashable | None",
                "axis": "int | None", "dim": "Hashable | None", "new_dim": "Hashable | None"}


def function(signature: str, *, units: Mapping[str, _units.Unit | None], result: Result,
             **declaration: Any) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
    """Makes the decorated block a public function (see the module's doc)."""
    inputs, output = signature.replace(" ", "").split("->")
    cores, output = tuple(re.findall(r"\(([^)]*)\)", inputs)), output.strip("()")

    def decorate(block: Callable[..., Any]) -> Callable[..., Any]:
        coordinates = declaration.pop("coordinates", {})
        values = tuple(n for n in units if n not in coordinates)
        columns, adds = any(cores) or bool(output), bool(output) and output not in cores
        keywords = ["dtype", "keep_attrs", "name"] + ["axis"] * columns + ["dim"] * any(cores) \
            + ["new_dim"] * adds
        own = inspect.signature(block).parameters  # dtype among them for own_layout blocks
        parameters = tuple(own.values()) + tuple(
            inspect.Parameter(k, inspect.Parameter.KEYWORD_ONLY, default=None,
                              annotation=_ANNOTATIONS[k]) for k in keywords if k not in own)
        scalar = declaration.get("scalar")
        d = Description(
            block.__name__, block, values, cores, output, units, result, parameters, coordinates,
            shared=frozenset(declaration.pop("shared", ())),
            dtype_from=declaration.pop("dtype_from", values), columns=columns,
            arity=len(inspect.signature(scalar).parameters) if scalar else 0,
            positional=tuple(p.name for p in parameters if p.kind is p.POSITIONAL_OR_KEYWORD),
            defaults={p.name: p.default for p in parameters},
            choices={p.name: _choices(p.annotation) for p in parameters
                     if str(p.annotation).startswith("Literal[")}, **declaration)
        DESCRIPTIONS[d.name] = d
        public = _public(d)
        functools.update_wrapper(public, block)
        public.__signature__ = inspect.Signature(parameters)  # type: ignore[attr-defined]
        public.__doc__ = _docs.fill(block.__doc__ or "", _docs.keywords(d, keywords))
        return public
    return decorate


def _choices(annotation: Any) -> tuple[tuple[str, ...], bool]:
    """The values of a Literal[...] annotation, and whether None is allowed."""
    allowed = tuple(a or b for a, b in re.findall(r"\"([^\"]*)\"|'([^']*)'", str(annotation)))
    return allowed, "None" in str(annotation)


def _public(d: Description) -> Callable[..., Any]:
    scalar, floor = d.scalar, d.nan_floor
    if scalar is None:
        return lambda *args, **kwargs: Call(d, args, kwargs)()
    # Python numbers only, positionally: the scalar kernel, nothing else.
    tail = [p.default for p in d.parameters[:d.arity]]
    while tail and tail[0] in (None, inspect.Parameter.empty):
        tail.pop(0)
    fill, fewest, arity = tuple(tail), d.arity - len(tail), d.arity

    def public(*args: Any, **kwargs: Any) -> Any:
        if not kwargs and fewest <= len(args) <= arity and _NUMBERS.issuperset(map(type, args)):
            result = scalar(*args, *fill[len(args) - fewest:])
            if result == floor and any(a != a for a in args):
                return math.nan
            return result
        return Call(d, args, kwargs)()
    return public


def _bind(d: Description, args: tuple[Any, ...], kwargs: dict[str, Any]) -> dict[str, Any]:
    for old, new in d.renamed.items():
        if old in kwargs:
            warnings.warn(f"{d.name}: {old}= is deprecated, use {new}=", DeprecationWarning,
                          stacklevel=4)
            value = kwargs.pop(old)
            if new == "method":  # log=True was the flag of method="log"
                value = "log" if value else "linear"
            kwargs.setdefault(new, value)
    if len(args) > len(d.positional):
        raise TypeError(f"{d.name}: takes {len(d.positional)} positional arguments but "
                        f"{len(args)} were given")
    arguments = dict(d.defaults)
    arguments.update(zip(d.positional, args))
    for name, value in kwargs.items():
        if name not in d.defaults:
            raise TypeError(f"{d.name}: got an unexpected keyword argument {name!r}")
        if name in d.positional[:len(args)]:
            raise TypeError(f"{d.name}: got multiple values for argument {name!r}")
        arguments[name] = value
    missing = [n for n, v in arguments.items() if v is inspect.Parameter.empty] + [
        n for n in d.required if arguments[n] is None]
    if missing:
        raise TypeError(f"{d.name}: missing required argument {missing[0]!r}")
    for name, (allowed, none) in d.choices.items():
        if arguments[name] not in allowed and not (none and arguments[name] is None):
            listed = ", ".join(map(repr, allowed[:-1])) + f" or {allowed[-1]!r}"
            raise ValueError(f"{d.name}: {name} must be {listed}, not {arguments[name]!r}")
    if d.one_of and sum(arguments[p] is not None for p in d.one_of) != 1:
        raise TypeError(f"{d.name}: give exactly one of {' and '.join(d.one_of)}")
    return arguments


_FLOAT64 = np.dtype(np.float64)


def result_dtype(function: str, values: Sequence[Any], dtype: Any = None) -> np.dtype[Any]:
    """`dtype` (a floating-point type), else the result type of the array
    inputs (Python numbers and lists do not count, with NumPy 1 and 2 alike),
    float64 for integers, booleans and numbers only."""
    if dtype is None and _NONE_OR_NUMBERS.issuperset(map(type, values)):
        return _FLOAT64
    if dtype is not None:
        resolved: np.dtype[Any] = np.dtype(dtype)
        if resolved.kind != "f":
            raise TypeError(f"{function}: dtype must be a floating-point type, not {resolved}")
        return resolved
    dtypes = [d for d in (getattr(v, "dtype", None) for v in values) if isinstance(d, np.dtype)]
    found = np.dtype(np.result_type(*dtypes)) if dtypes else _FLOAT64
    return found if found.kind == "f" else _FLOAT64


def _real(function: str, name: str, value: Any) -> Array:
    """An array-like as an ndarray (dtype unchanged, masks dropped) of real
    numbers (complex would lose its imaginary part, strings be parsed)."""
    array = value if type(value) is np.ndarray else np.asarray(_ma.getdata(value))
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{function}: {name} must hold real numbers, not dtype {array.dtype}")
    return array


# --- a call ---


class Call:
    """One call of a public function, from its bound arguments to its result."""

    def __init__(self, d: Description, args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
        self.d = d
        self.arguments = arguments = _bind(d, args, kwargs)
        self.common = {k: arguments.pop(k, None) for k in _COMMON}
        self.units = dict(d.units)
        if d.prepare is not None:
            self.units.update(d.prepare(arguments, self.common))
        self.looks = {n: look(arguments[n]) for n in self.units if arguments[n] is not None}
        for name in ("mixing_ratio", "specific_humidity"):
            if self.looks.get(name, (0,))[0] is Kind.XARRAY:
                _metadata.warn_mistaken_humidity(d.name, name, arguments[name])
        self.dtype = result_dtype(d.name, [arguments[n] for n in d.dtype_from],
                                  self.common["dtype"])
        self.given = arguments.get(d.targets) if d.targets else None
        self.registry: Any = None
        self.shared_unit: str | None = None
        self.source_unit: str | None = None
        if any(kind is Kind.XARRAY or pint for kind, pint in self.looks.values()):
            self._convert_units()
        self.present = tuple(n for n in d.values if n in self.looks)
        self.values = [arguments[n] for n in self.present]
        self.kind = max((self.looks[n][0] for n in self.present), default=Kind.NUMBER)
        self.options, self.sizes = self._coordinates()
        self.options.update((n, v) for n, v in arguments.items()
                            if n not in d.values and n not in self.options)
        self.run = functools.partial(evaluate, d.name, self.present, self.options, self.sizes,
                                     self.dtype)

    def _convert_units(self) -> None:
        """The arguments in their declared units (pint quantities stripped),
        the unit the `same_unit` arguments share and that of the `source`."""
        d, arguments = self.d, self.arguments
        pints = [n for n, (_, pint) in self.looks.items() if pint]
        if pints:
            value = arguments[pints[0]]
            self.registry = (value.data if self.looks[pints[0]][0] is Kind.XARRAY
                             else value)._REGISTRY
        group = [n for n in d.same_unit if n in self.looks]
        if group:
            if any(self.looks[n][1] for n in group):
                stripped, symbol = _units.strip(d.name, [(n, arguments[n]) for n in group])
                arguments.update(zip(group, stripped))
            self.shared_unit = _units.common(d.name, [(n, arguments[n]) for n in group]) or (
                symbol if any(self.looks[n][1] for n in group) else None)
        for name, (kind, pint) in self.looks.items():
            if name in group or not (pint or kind is Kind.XARRAY):
                continue
            unit, value = self.units[name], arguments[name]
            if unit is None and name == d.result.source:
                self.source_unit = _units.units_of(value)
                if pint:  # kept as it is, in its own unit
                    quantity = value.data if kind is Kind.XARRAY else value
                    self.source_unit = f"{quantity.units:~}"
                    arguments[name] = quantity.magnitude if kind is not Kind.XARRAY else \
                        value.copy(data=quantity.magnitude).assign_attrs(units=self.source_unit)
            elif unit is not None or pint:
                # A unit the kernel does not look at (a day number): only a
                # dimensionless quantity says nothing it could get wrong.
                arguments[name] = _units.convert(d.name, name, value,
                                                 unit or _units.DIMENSIONLESS, pint)
        if d.result.source is not None and self.units.get(d.result.source) is not None:
            self.source_unit = self.units[d.result.source].label  # type: ignore[union-attr]

    def _coordinates(self) -> tuple[dict[str, Any], dict[str, int]]:
        """The coordinates as floats or float64 arrays (1-D, or 0-d: one level
        and no level axis), and the sizes of the core dimensions they give."""
        d = self.d
        converted: dict[str, Any] = {}
        sizes: dict[str, int] = {}
        first: dict[str, str] = {}
        for name, letter in d.coordinates.items():
            value = self.arguments[name]
            array = _real(d.name, name, getattr(value, "values", value))
            if not letter:
                converted[name] = float(array)
                continue
            if array.ndim == 0 and letter == d.output:
                sizes["squeeze"] = 1
            elif array.ndim != 1:
                raise ValueError(f"{d.name}: {name} must be one-dimensional")
            first.setdefault(letter, name)
            if sizes.setdefault(letter, array.size) != array.size:
                raise ValueError(f"{d.name}: {first[letter]} and {name} must have the same "
                                 f"length ({sizes[letter]} != {array.size})")
            converted[name] = np.ascontiguousarray(array.reshape(-1), dtype=np.float64)
        if d.sizes is not None:
            sizes.update(d.sizes(converted))
        return converted, sizes

    def result_units(self) -> str | None:
        if self.d.result.units == SHARED_UNIT:
            return self.shared_unit
        return self.source_unit if self.d.result.source else self.d.result.units

    def __call__(self) -> Any:
        d, kind = self.d, self.kind
        if kind is Kind.XARRAY:
            return self.on_dataarrays()
        if kind is Kind.DASK or d.columns:
            result = self.on_arrays()
        elif kind <= Kind.NUMPY_SCALAR and d.scalar is not None:
            result = self.on_numbers()
        else:
            result = self.run(*self.values)
        if kind <= Kind.NUMPY_SCALAR and getattr(result, "ndim", 0) == 0:
            result = self.dtype.type(result) if kind is Kind.NUMPY_SCALAR or \
                self.common["dtype"] else float(result)
        units = self.result_units()
        if self.registry is None or units is None:
            return result
        return self.registry.Quantity(result, _metadata.pint_units(units))

    def on_numbers(self) -> float:
        """The scalar kernel, which takes the positional parameters."""
        d, numbers = self.d, dict(self.arguments)
        for name, value in zip(self.present, self.values):
            if type(value) not in _NUMBERS:
                _real(d.name, name, value)
        for source, (target, convert) in d.alternatives.items():
            if numbers[source] is not None:
                numbers[target] = convert(float(numbers.pop(source)))
        result = d.scalar(*[numbers[n] for n in d.positional[:d.arity]])  # type: ignore[misc]
        if result == d.nan_floor and numbers.get("nan_policy") == "propagate" and any(
                math.isnan(float(v)) for v in self.values):
            return math.nan
        return result

    def on_arrays(self) -> Any:
        """NumPy and dask arrays: the level axis moved last and back."""
        d, axis, values = self.d, self.common["axis"], self.values
        cores = dict(zip(d.values, d.cores))
        position = None  # where the result's level axis goes, counted from the end
        core = [(p, v) for p, v in zip(self.present, values) if cores[p]]
        if core:
            first, ndim = core[0][0], np.ndim(core[0][1])
            if ndim == 0:
                raise ValueError(f"{d.name}: {first} must be an array with a level axis")
            if ndim > 1:
                if axis is None:
                    raise TypeError(f"{d.name}: {first} has {ndim} dimensions; give its level "
                                    f"axis with axis=")
                position = _normalise_axis(axis, ndim) - ndim
            for p, v in core[1:]:
                if np.ndim(v) not in (1, ndim):
                    raise ValueError(f"{d.name}: {p} must have the dimensions of {first}, or be "
                                     f"1-D along the level axis (got {np.shape(v)} for {first} "
                                     f"{np.shape(core[0][1])})")
            if position is not None:
                # dask joins the level axis's chunks before the axis is moved,
                # so a block keeps the data's own layout (moving is a view).
                values = [_move(whole_axis(v, position) if is_dask_array(v) else v, position, -1)
                          if cores[p] and np.ndim(v) > 1 else v
                          for p, v in zip(self.present, values)]
        if self.kind is Kind.DASK:
            result = self.on_dask(values)
        else:
            result = self.run(*values)
        if self.sizes.get("squeeze"):
            return result[..., 0]
        if not d.output:
            return result
        if position is None:
            position = _normalise_axis(0 if axis is None else axis, result.ndim)
        return _move(result, -1, position)

    def on_dask(self, values: list[Any]) -> Any:
        """dask.array.apply_gufunc: lazy, one call of the block per chunk, core
        dimensions in one chunk, loop dimensions broadcast."""
        import dask.array as da

        d = self.d
        cores = [c for p, c in zip(d.values, d.cores) if p in self.present]
        arrays = [da.asarray(v) for v in values]  # type: ignore[no-untyped-call]
        arrays = _align_loop_chunks([whole_axis(a, -1) if c else a for a, c in
                                     zip(arrays, cores)], [len(c) for c in cores])
        new = d.output and d.output not in cores
        return da.apply_gufunc(  # type: ignore[no-untyped-call]
            self.run, ",".join(f"({c})" for c in cores) + f"->({d.output})", *arrays,
            output_dtypes=self.dtype, output_sizes={d.output: self.sizes[d.output]} if new else {})

    def on_dataarrays(self) -> Any:
        """DataArrays: xarray.apply_ufunc, lazy and chunk-wise for dask-backed
        inputs, labelled by the policy of `_metadata`."""
        import xarray as xr

        d, common, arguments = self.d, self.common, self.arguments
        cores = dict(zip(d.values, d.cores))
        core = [v for p, v in zip(self.present, self.values) if cores[p]]
        axis, dim = common["axis"], common["dim"]
        if core and axis is not None:
            raise TypeError(f"{d.name}: give the level dimension of DataArrays by name (dim=)")
        if d.columns and dim is None:
            dim = level_dim(d, arguments, core, self.sizes)
        inputs = []
        for p, value in zip(self.present, self.values):
            kind = self.looks[p][0]
            if kind is not Kind.XARRAY and np.ndim(value) != bool(cores[p]):
                raise TypeError(f"{d.name}: {p} is an unlabelled {type(value).__name__} while "
                                f"other arguments are DataArrays; wrap it in a DataArray with "
                                f"named dimensions")
            if cores[p]:
                if kind is not Kind.XARRAY:  # levels shared by every column
                    value = xr.DataArray(_real(d.name, p, value), dims=(dim,))
                if dim not in value.dims:
                    raise ValueError(f"{d.name}: {p} has no dimension {dim!r} (its dimensions: "
                                     f"{', '.join(map(str, value.dims))}); give the level "
                                     f"dimension with dim=")
                if value.chunks is not None:
                    value = value.copy(data=whole_axis(value.data, value.dims.index(dim)))
            elif d.columns and kind is Kind.XARRAY and dim in value.dims:
                raise ValueError(f"{d.name}: {p} must not have the level dimension {dim!r}")
            inputs.append(value)
        letter = d.output
        new = bool(letter) and letter not in cores.values()
        out_dim = _new_dim(d, arguments, common["new_dim"], dim) if letter not in d.cores \
            else dim
        result = xr.apply_ufunc(
            self.run, *inputs, input_core_dims=[[dim] if cores[p] else [] for p in self.present],
            output_core_dims=[[out_dim] if letter else []],
            exclude_dims={dim} if new and core else set(), dask="parallelized",
            output_dtypes=[self.dtype], keep_attrs=True,
            dask_gufunc_kwargs={"output_sizes": {out_dim: self.sizes[letter]}} if new else None)
        if letter:
            replaced = inputs[[bool(cores[p]) for p in self.present].index(True)].dims if \
                core and np.ndim(core[0]) > 1 else None
            if replaced is None and axis is not None:
                _normalise_axis(axis, result.ndim)
            result = _metadata.place(result, out_dim, replaced, dim, self.values, axis)
        if self.sizes.get("squeeze"):
            result = result.isel({out_dim: 0}, drop=True)
        elif new:
            result = self.new_coordinate(result, out_dim)
        name, source = common["name"], d.result.source
        if name is None:
            name = arguments[source].name if source and self.looks[source][0] is Kind.XARRAY \
                else d.result.name or d.name
        first = next((v for p, v in zip(self.present, self.values)
                      if self.looks[p][0] is Kind.XARRAY), None)
        return _metadata.label(result, name, _metadata.result_attrs(
            d.result, arguments, first, self.result_units(), common["keep_attrs"]))

    def new_coordinate(self, result: Any, out_dim: Any) -> Any:
        """The new levels as the result's coordinate: the target levels as the
        caller gave them, or the coordinate of a DataArray of coefficients."""
        d, given = self.d, self.given  # type: Description, Any
        if d.targets is None:
            source = next((self.arguments[n] for n, letter in d.coordinates.items()
                           if letter == d.output and _metadata.is_dataarray(self.arguments[n])),
                          None)
            if source is not None and out_dim in source.coords:
                return result.assign_coords({out_dim: source.coords[out_dim]})
            return result
        attrs: dict[str, Any] = {}
        unit: str | None
        if _units.has_pint_units(given):
            quantity = given if _units.is_quantity(given) else given.data
            shown, unit = np.asarray(quantity.magnitude), f"{quantity.units:~}"
        else:
            shown = np.asarray(getattr(given, "values", given))
            attrs = dict(getattr(given, "attrs", {}))
            declared = self.units.get(d.targets)
            unit = _units.units_of(given) or (declared.label if declared else self.shared_unit)
        if d.target_attrs is not None:
            attrs = dict(d.target_attrs)
        if unit:
            attrs.setdefault("units", unit)
        return result.assign_coords({out_dim: (out_dim, shown.reshape(-1), attrs)})


# --- NumPy: the block on whole arrays or block by block ---

# Elements per block when inputs or results are converted: 2 MiB of float64
# per operand, small beside the arrays worth converting in blocks, large
# enough that one kernel call per block still keeps the worker pool busy.
CHUNK = 1 << 18


def evaluate(name: str, present: tuple[str, ...], options: dict[str, Any],
             sizes: dict[str, int], dtype: np.dtype[Any], *values: Any) -> Any:
    """The block of function `name` on NumPy inputs of any dtype and layout
    (core dimensions last), as `dtype`, converting CHUNK values at a time,
    never whole. Also what dask and xarray call per chunk."""
    d = DESCRIPTIONS[name]
    cores = [len(c) for p, c in zip(d.values, d.cores) if p in present]
    masked = [v for v in values if type(v) not in _PLAIN and _ma.isMaskedArray(v)]
    if masked and d.columns:
        raise TypeError(f"{name}: masked arrays are not taken; fill the masked values (e.g. "
                        f"with NaN) first")
    arrays = [_real(name, p, v) for p, v in zip(present, values)]
    try:
        loop = np.broadcast_shapes(*(a.shape[:a.ndim - c] for a, c in zip(arrays, cores)))
    except ValueError:
        shapes = ", ".join(f"{p} {a.shape}" for p, a in zip(present, arrays))
        raise ValueError(f"{name}: shapes do not broadcast together: {shapes}") from None
    known = dict(sizes)  # the level counts, checked against each other
    for p, a, c in zip(present, arrays, cores):
        if c and known.setdefault(d.cores[d.values.index(p)], a.shape[-1]) != a.shape[-1]:
            raise ValueError(f"{name}: {p} has {a.shape[-1]} levels, where "
                             f"{known[d.cores[d.values.index(p)]]} are expected")
    output = (known[d.output],) if d.output else ()
    if d.own_layout:
        return d.block(**dict(zip(present, arrays)), **options, dtype=dtype)
    order: Literal["C", "F"] = "C"
    if not d.columns and len(loop) > 1 and all(
            a.shape == loop and a.flags.f_contiguous and not a.flags.c_contiguous for a in arrays):
        order = "F"  # flattened in Fortran order rather than copied

    def compute(index: tuple[Any, ...], order: Literal["C", "F"] = "C") -> Array:
        inputs = {}
        for p, a, c in zip(present, arrays, cores):
            core = a.shape[a.ndim - c:]
            if p in d.shared and math.prod(a.shape[:a.ndim - c]) == 1:
                part = a.reshape((1, *core))  # the same for every column
            elif a.shape == loop + core:
                part = a[index]
            elif not index:  # expanded once, in float64
                part = np.empty(loop + core, order=order)
                part[...] = a
            else:
                part = np.broadcast_to(a, loop + core)[index]
            inputs[p] = np.asarray(part, dtype=np.float64, order=order).reshape(
                (math.prod(part.shape[:part.ndim - c]), *core), order=order)
        return _block(d, inputs, options)

    if dtype == np.float64 and all(a.dtype == np.float64 for a in arrays):
        result = compute((), order).reshape(loop + output, order=order)
    else:
        result = np.empty(loop + output, dtype=dtype, order=order)
        per_column = max([math.prod(a.shape[a.ndim - c:]) for a, c in zip(arrays, cores)]
                         + [math.prod(output), 1])
        for index in _blocks_of(loop, per_column):
            target = result[(*index, ...)]
            target[...] = compute(index).reshape(target.shape)
    if not masked:
        return result
    mask = np.zeros(loop, dtype=bool)
    for value in masked:
        mask |= np.broadcast_to(_ma.getmaskarray(value), loop)
    return _ma.MaskedArray(result, mask=mask)


def _block(d: Description, inputs: dict[str, Array], options: dict[str, Any]) -> Array:
    for source, (target, convert) in d.alternatives.items():
        if source in inputs:
            inputs[target] = convert(inputs.pop(source))
    result: Array = d.block(**{n: inputs.get(n) for n in d.values}, **options)
    if d.nan_floor is not None and options.get("nan_policy") == "propagate" and result.size:
        # The kernel gives its floor for NaN: only elements at the floor can
        # come from a NaN input.
        floored = np.flatnonzero(result == d.nan_floor)
        if floored.size:
            missing = np.zeros(floored.size, dtype=bool)
            for part in inputs.values():
                missing |= np.isnan(part.reshape(-1)[floored])
            result[floored[missing]] = np.nan
    return result


def _blocks_of(columns: tuple[int, ...], per_column: int) -> Iterator[tuple[int | slice, ...]]:
    """Blocks of a space of columns, each of about CHUNK values and at least
    one column, in C order: indices into the column axes, each a
    basic-indexing view, so converting one never touches the rest."""
    inner, axis = 1, len(columns)  # the trailing axes that fit in one block together
    while axis > 0 and inner * columns[axis - 1] * per_column <= CHUNK:
        axis -= 1
        inner *= columns[axis]
    if axis == 0:
        yield ()
        return
    axis -= 1
    step = max(1, CHUNK // (inner * per_column))
    for outer in np.ndindex(*columns[:axis]):
        for start in range(0, columns[axis], step):
            yield (*outer, slice(start, min(start + step, columns[axis])))


# --- levels, dask chunks and dimensions ---


def _normalise_axis(axis: int, ndim: int) -> int:
    if not -ndim <= axis < ndim:
        raise np.exceptions.AxisError(axis, ndim)
    return axis % ndim


def _move(value: Any, source: int, destination: int) -> Any:
    if is_dask_array(value):
        import dask.array as da

        return da.moveaxis(value, source, destination)
    return np.moveaxis(np.asanyarray(value), source, destination)


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


def whole_axis(array: Any, axis: int) -> Any:
    """A dask array with `axis` in one chunk (the kernels need whole columns);
    the other axes re-chunked by dask's "auto" rule within the size of the
    largest input chunk (or one column), so levels stored one per chunk do
    not make 30 times larger tasks."""
    if array.ndim == 0 or len(array.chunks[axis]) <= 1:
        return array
    itemsize = array.dtype.itemsize
    budget = max(math.prod(max(c, default=0) for c in array.chunks) * itemsize,
                 array.shape[axis] * itemsize)
    chunks: dict[int, Any] = {i: "auto" for i in range(array.ndim)}
    chunks[axis % array.ndim] = -1
    return array.rechunk(chunks, block_size_limit=budget)


def level_dim(d: Description, arguments: dict[str, Any], core: list[Any],
              sizes: dict[str, int]) -> Any:
    """`dim` when not given: that of a 1-D DataArray of levels or coefficients,
    else a vertical coordinate's, else the one as long as the coefficients."""
    letters = [letter for letter in d.cores if letter]
    labelled = [v for v in core + [arguments[n] for n, letter in d.coordinates.items()
                                   if letter in letters] if _metadata.is_dataarray(v)]
    for value in labelled:
        if value.ndim == 1:
            return value.dims[0]
    if not labelled:
        return d.new_dim or "lev"
    found = _metadata.vertical_dim(labelled[0])
    if found is None and letters[0] in sizes:
        matching = [k for k, size in labelled[0].sizes.items() if size == sizes[letters[0]]]
        found = matching[0] if len(matching) == 1 else None
    if found is None:
        raise TypeError(f"{d.name}: give the level dimension with dim=")
    return found


def _new_dim(d: Description, arguments: dict[str, Any], new_dim: Any, dim: Any) -> Any:
    """`new_dim`, else that of a DataArray giving the new levels, else the
    function's default, else the input's level dimension."""
    if new_dim is not None:
        return new_dim
    for name, letter in d.coordinates.items():
        value = arguments[name]
        if letter == d.output and _metadata.is_dataarray(value) and value.ndim == 1:
            return value.dims[0]
    return d.new_dim or dim
