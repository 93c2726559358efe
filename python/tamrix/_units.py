"""Units of the inputs: checked, and converted to the kernels' units.

The kernels take fixed units (kelvin, pascals, degrees Fahrenheit, ...). An
input in another unit would give plausible-looking wrong numbers, so every
declared unit is read before any computation:

- a `units` attribute that spells the kernel's own unit passes untouched (no
  arithmetic at all, so results stay bit-identical to the kernel call);
- any other `units` attribute, and the units of pint quantities and of
  pint-backed DataArrays (whose `attrs` have no `units`), are converted with
  pint, using cf-xarray's registry of CF spellings ("kg kg-1", "1", "%") when
  it is installed; a unit of another dimension, or one pint cannot read, is a
  ValueError naming the argument, the unit found and the unit expected.

Inputs without any unit (numbers, plain arrays, unlabelled DataArrays) are
taken to be in the documented unit: there is nothing to check them against.
"""

from __future__ import annotations

import functools
import re
import sys
import warnings
from collections.abc import Iterable
from typing import Any

import numpy as np


def _normalise(text: str) -> str:
    return "".join(text.split()).replace("_", "").casefold()


class Unit:
    """One physical unit and the spellings of it that are accepted."""

    def __init__(self, description: str, label: str, spellings: Iterable[str],
                 pint_name: str | None = None) -> None:
        self.description = description
        self.label = label
        self.spellings = frozenset(_normalise(s) for s in spellings)
        # The unit as pint reads it, for conversions (the label when None).
        self.pint_name = label if pint_name is None else pint_name

    def matches(self, text: str) -> bool:
        return _normalise(text) in self.spellings


KELVIN = Unit("kelvin", "K", ["K", "kelvin", "kelvins", "degK", "deg_K", "degree_K", "degrees_K",
                               "degreeK", "degreesK", "degree_kelvin", "degrees_kelvin"])
FAHRENHEIT = Unit("degrees Fahrenheit", "degF",
                  ["degF", "deg_F", "degree_F", "degrees_F", "degreeF", "degreesF", "°F", "F",
                   "fahrenheit", "degree_fahrenheit", "degrees_fahrenheit"])
PERCENT = Unit("percent", "%", ["%", "percent", "pct"], "percent")
PASCAL = Unit("pascals", "Pa", ["Pa", "pascal", "pascals"])
HECTOPASCAL = Unit("hectopascals", "hPa", ["hPa", "hectopascal", "hectopascals", "mbar", "millibar",
                                            "millibars", "mb"])
KILOPASCAL = Unit("kilopascals", "kPa", ["kPa", "kilopascal", "kilopascals"])
MIXING_RATIO = Unit("kg/kg (a mass ratio)", "kg/kg",
                    ["kg/kg", "kg kg-1", "kg kg**-1", "kg kg^-1", "kg.kg-1", "kg.kg**-1", "1",
                     "dimensionless"], "kg/kg")
DEGREES_NORTH = Unit("degrees north", "degrees_north",
                     ["degrees_north", "degree_north", "degrees_N", "degree_N", "degreesN",
                      "degreeN", "degrees", "degree", "deg", "°", "°N"], "degree")
DEGREES_EAST = Unit("degrees (of longitude)", "degrees_east",
                    ["degrees_east", "degree_east", "degrees_E", "degree_E", "degreesE", "degreeE",
                     "degrees", "degree", "deg", "°", "°E"], "degree")
GEOPOTENTIAL = Unit("m2 s-2 (geopotential, not a height in metres)", "m2 s-2",
                    ["m2 s-2", "m2/s2", "m^2/s^2", "m^2 s^-2", "m**2 s**-2", "m**2/s**2",
                     "m2.s-2", "J/kg", "J kg-1", "J kg**-1", "J kg^-1"], "m**2/s**2")

DIMENSIONLESS = Unit("a plain number", "1", ["1", "dimensionless"], "dimensionless")
METRE = Unit("metres", "m", ["m", "metre", "metres", "meter", "meters"])

_PRESSURES = (PASCAL, HECTOPASCAL, KILOPASCAL)


def units_of(value: Any) -> str | None:
    """The `units` attribute of a labelled input, or None when it has none."""
    attrs = getattr(value, "attrs", None)
    if not isinstance(attrs, dict):
        return None
    units = attrs.get("units")
    if not isinstance(units, str) or not units.strip():
        return None
    return units


# CF writes exponents as trailing numbers ("m2 s-2", "kg kg-1"), which plain
# pint reads as subtractions; cf-xarray's registry rewrites them (and knows
# more CF names). Without cf-xarray this one rewrite keeps the common
# spellings readable.
_CF_EXPONENT = re.compile(r"(?<=[A-Za-z])(?=-?[0-9])")


def _cf_spelling(text: str) -> str:
    return _CF_EXPONENT.sub("**", text).replace("%", "percent")


@functools.cache
def registry() -> Any:
    """The pint registry used to read `units` attributes (None without pint)."""
    try:
        with warnings.catch_warnings():
            # cf-xarray warns at import when matplotlib is absent.
            warnings.simplefilter("ignore")
            from cf_xarray.units import units
        return units
    except ImportError:
        pass
    try:
        return plain_registry()
    except ImportError:
        return None


def plain_registry() -> Any:
    """pint's own registry, reading CF exponents (without cf-xarray)."""
    import pint

    return pint.UnitRegistry(preprocessors=[_cf_spelling])


def is_quantity(value: Any) -> bool:
    """A pint quantity (of any registry); never imports pint."""
    pint = sys.modules.get("pint")
    return pint is not None and isinstance(value, pint.Quantity)


def is_pint_dataarray(value: Any) -> bool:
    xr = sys.modules.get("xarray")
    return xr is not None and isinstance(value, xr.DataArray) and is_quantity(value.data)


def has_pint_units(value: Any) -> bool:
    return is_quantity(value) or is_pint_dataarray(value)


def _dask_backed(data: Any) -> bool:
    da = sys.modules.get("dask.array")
    return da is not None and isinstance(data, da.Array)


def convert_block(block: Any, source: str, target: str) -> np.ndarray:
    """Values in unit `source` as float64 in unit `target` (module level, so
    dask graphs that use it pickle)."""
    values = np.asarray(block, dtype=np.float64)
    converted: np.ndarray = np.asarray(
        registry().Quantity(values, source).to(target).magnitude, dtype=np.float64)
    return converted


def _expected(unit: Unit) -> str:
    return f"{unit.description} ({unit.label!r})"


def _check_convertible(function: str, parameter: str, text: str, unit: Unit) -> None:
    units = registry()
    if units is None:
        raise ValueError(
            f"{function}: {parameter} has units {text!r}, but it must be in {_expected(unit)}; "
            f"install pint to have it converted, or convert it first")
    try:
        source = units.Unit(text)
    except Exception:  # pint raises several kinds of error for unreadable text
        raise ValueError(
            f"{function}: {parameter} has units {text!r}, which is not a unit tamrix can read; "
            f"it must be in {_expected(unit)}") from None
    if not source.is_compatible_with(unit.pint_name):
        raise ValueError(
            f"{function}: {parameter} has units {text!r}, but it must be in {_expected(unit)} or "
            f"a unit convertible to it")


def _quantity_magnitude(function: str, parameter: str, quantity: Any, unit: Unit) -> Any:
    # A quantity converts in its own registry (registries do not mix), so the
    # target is given as text.
    if not quantity.is_compatible_with(unit.pint_name):
        raise ValueError(
            f"{function}: {parameter} has units {str(quantity.units)!r}, but it must be in "
            f"{_expected(unit)} or a unit convertible to it")
    if quantity.units == quantity._REGISTRY.Unit(unit.pint_name):
        return quantity.magnitude
    magnitude = quantity.magnitude
    if isinstance(magnitude, np.ndarray) and magnitude.dtype != np.float64:
        # Converted in the precision the kernels compute in, not the input's.
        quantity = quantity._REGISTRY.Quantity(magnitude.astype(np.float64), quantity.units)
    return quantity.to(unit.pint_name).magnitude


def convert(function: str, parameter: str, value: Any, unit: Unit) -> Any:
    """`value` in `unit`: unchanged when it declares no unit or `unit` itself;
    converted (pint quantities and pint-backed DataArrays also stripped to
    plain numbers) when it declares a compatible unit; ValueError otherwise."""
    if is_quantity(value):
        return _quantity_magnitude(function, parameter, value, unit)
    if is_pint_dataarray(value):
        data = _quantity_magnitude(function, parameter, value.data, unit)
        return value.copy(data=data).assign_attrs(units=unit.label)
    text = units_of(value)
    if text is None or unit.matches(text):
        return value
    _check_convertible(function, parameter, text, unit)
    data = value.data
    if _dask_backed(data):
        converted = data.map_blocks(convert_block, text, unit.pint_name, dtype=np.float64)
    else:
        converted = convert_block(data, text, unit.pint_name)
    return value.copy(data=converted).assign_attrs(units=unit.label)


def strip(function: str, named_values: Iterable[tuple[str, Any]]) -> tuple[list[Any], str | None]:
    """Arguments that must share one (any) unit. When any of them is a pint
    quantity or pint-backed, all are converted to the unit of the first such
    one and stripped to plain numbers (DataArrays then carry the unit as
    their `units` attribute). Returns the values and that unit's symbol (None
    when no argument is a pint quantity)."""
    named = list(named_values)
    first = next((v for _, v in named if has_pint_units(v)), None)
    if first is None:
        return [v for _, v in named], None
    units = (first if is_quantity(first) else first.data).units
    symbol = f"{units:~}"
    target = Unit(str(units), symbol, [symbol, str(units)], str(units))
    return [convert(function, name, value, target) for name, value in named], symbol

def _canonical(units: str) -> str:
    for unit in _PRESSURES:
        if unit.matches(units):
            return unit.label
    return _normalise(units)


def common(function: str, named_values: Iterable[tuple[str, Any]]) -> str | None:
    """Checks that the labelled values among `named_values` declare one unit.

    For arguments that only need to agree with each other (the kernel uses
    their ratio or difference). Returns that unit's text, or None when none is
    declared.
    """
    first: tuple[str, str] | None = None
    for name, value in named_values:
        units = units_of(value)
        if units is None:
            continue
        if first is None:
            first = (name, units)
        elif _canonical(units) != _canonical(first[1]):
            raise ValueError(
                f"{function}: {first[0]} has units {first[1]!r} but {name} has units {units!r}; "
                f"they must be in the same unit")
    return None if first is None else first[1]
