"""What a labelled result carries: one policy for every function.

- A result that is a new quantity gets its CF attributes (`standard_name`
  where CF has one, `long_name`, `units`) and its name; with `keep_attrs`
  (default: xarray's option) it starts from the first DataArray argument's
  other attributes.
- A result that is an input on other levels (interpolation) is that input:
  its name and all its attributes, unless ``keep_attrs=False``, which keeps
  only `standard_name`, `long_name` and `units`.
- Coordinates keep all their attributes (units, standard_name, axis, bounds,
  formula_terms), including those of the inputs' non-dimension coordinates.
- A level dimension that replaces the input's takes its place; a level
  dimension new to the inputs goes after their time dimensions, in CF's
  T, Z, Y, X order ((time, lev, lat, lon); (lev, lat, lon) without time),
  or where `axis` says.
"""

from __future__ import annotations

import sys
import warnings
from collections.abc import Callable, Hashable, Sequence
from dataclasses import dataclass
from typing import Any

# Marks a result in the unit shared by the arguments that must agree.
SHARED_UNIT = "shared"


@dataclass(frozen=True)
class Result:
    """The label of a function's result: fixed CF attributes, or `source`,
    the argument the result is a copy of on other levels."""

    long_name: str | None = None
    units: str | None = None
    standard_name: str | None = None
    name: str | None = None  # default: the function's
    source: str | None = None
    # CF attributes the source lacks, from the call's arguments.
    defaults: Callable[[dict[str, Any]], dict[str, str]] | None = None


# Result units as pint spells them where the label differs.
_PINT_UNITS = {"%": "percent", "kPa/degC": "kPa/delta_degC", "hours": "hour"}

PRESSURE_COORDINATE = {"standard_name": "air_pressure", "long_name": "pressure",
                       "positive": "down", "axis": "Z"}
_IDENTITY = ("standard_name", "long_name", "units")


def pint_units(units: str) -> str:
    return _PINT_UNITS.get(units, units)


def is_dataarray(value: Any) -> bool:
    xr = sys.modules.get("xarray")
    return xr is not None and isinstance(value, xr.DataArray)


def keep_attrs_default(keep_attrs: bool | None, default: bool | None = None) -> bool:
    if keep_attrs is not None:
        return bool(keep_attrs)
    if default is not None:
        return default
    import xarray as xr

    return xr.get_options()["keep_attrs"] is True  # type: ignore[no-untyped-call]


def result_attrs(result: Result, arguments: dict[str, Any], first: Any, units: str | None,
                 keep_attrs: bool | None) -> dict[str, Any]:
    """The attributes of a DataArray result (`first`: the first DataArray
    argument, `units`: the result's unit)."""
    source: Any = arguments.get(result.source) if result.source else None
    if is_dataarray(source):
        kept = source.attrs if keep_attrs_default(keep_attrs, True) else {
            key: source.attrs[key] for key in _IDENTITY if key in source.attrs}
        attrs = dict(kept)
        for key, value in (result.defaults(arguments) if result.defaults else {}).items():
            attrs.setdefault(key, value)
        if units is not None:
            attrs["units"] = units
        return attrs
    attrs = {}
    if first is not None and keep_attrs_default(keep_attrs):
        attrs.update(first.attrs)
    attrs.pop("standard_name", None)
    if result.standard_name is not None:
        attrs["standard_name"] = result.standard_name
    if result.long_name is not None:
        attrs["long_name"] = result.long_name
    attrs.pop("units", None)
    if units is not None:
        attrs["units"] = units
    return attrs


def label(result: Any, name: Hashable | None, attrs: dict[str, Any]) -> Any:
    result.name = name
    result.attrs = attrs
    return result


def warn_mistaken_humidity(function: str, parameter: str, value: Any) -> None:
    """A DataArray whose standard_name says it is the other humidity
    variable is almost certainly passed by mistake (up to ~2 %RH off)."""
    other = {"mixing_ratio": ("specific_humidity", "specific_humidity"),
             "specific_humidity": ("humidity_mixing_ratio", "mixing_ratio")}.get(parameter)
    if other is not None and is_dataarray(value) and value.attrs.get("standard_name") == other[0]:
        warnings.warn(f"{function}: {parameter} has standard_name {other[0]!r}; pass it as "
                      f"{other[1]}= instead", UserWarning, stacklevel=4)


# --- dimensions ---


def _is_time(dim: Hashable, sources: Sequence[Any]) -> bool:
    """Whether a dimension is time: named "time", or with a datetime-like
    coordinate or one marked as time (axis "T", standard_name "time")."""
    if dim == "time":
        return True
    for value in sources:
        if is_dataarray(value) and dim in value.coords:
            coord = value.coords[dim]
            if coord.attrs.get("axis") == "T" or coord.attrs.get("standard_name") == "time":
                return True
            if coord.dtype.kind in "mM" or (coord.dtype == object and coord.size and hasattr(
                    coord.values.flat[0], "calendar")):  # cftime dates
                return True
    return False


def place(result: Any, dim: Hashable, replaced: Sequence[Hashable] | None, old: Hashable,
          sources: Sequence[Any], axis: int | None) -> Any:
    """The result's level dimension `dim` in the place of the input's `old`
    among the input's dimensions `replaced`; else (a level dimension new to
    the inputs) at `axis`, or after the leading time dimensions."""
    if replaced is not None:
        return result.transpose(*[dim if d == old else d for d in replaced], ...)
    dims = [d for d in result.dims if d != dim]
    position = 0 if axis is None else axis % result.ndim
    while axis is None and position < len(dims) and _is_time(dims[position], sources):
        position += 1
    dims.insert(min(position, len(dims)), dim)
    return result.transpose(*dims)


def vertical_dim(value: Any) -> Hashable | None:
    """The dimension of a DataArray whose coordinate says it is vertical
    (axis "Z", or a `positive` direction), if exactly one does."""
    found = [d for d in value.dims if d in value.coords and (
        value.coords[d].attrs.get("axis") == "Z" or "positive" in value.coords[d].attrs)]
    return found[0] if len(found) == 1 else None
