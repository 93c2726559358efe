"""Checks of the `units` attribute of labelled inputs.

The kernels take fixed units (kelvin, pascals, degrees Fahrenheit, ...). A
DataArray in another unit would give plausible-looking wrong numbers, so an
input whose `units` attribute names a different unit is refused before any
computation. Inputs without a `units` attribute (and plain arrays) are taken
to be in the documented unit.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any


def _normalise(text: str) -> str:
    return "".join(text.split()).replace("_", "").casefold()


class Unit:
    """One physical unit and the spellings of it that are accepted."""

    def __init__(self, description: str, label: str, spellings: Iterable[str]) -> None:
        self.description = description
        self.label = label
        self.spellings = frozenset(_normalise(s) for s in spellings)

    def matches(self, text: str) -> bool:
        return _normalise(text) in self.spellings


KELVIN = Unit("kelvin", "K", ["K", "kelvin", "kelvins", "degK", "deg_K", "degree_K", "degrees_K",
                               "degreeK", "degreesK", "degree_kelvin", "degrees_kelvin"])
FAHRENHEIT = Unit("degrees Fahrenheit", "degF",
                  ["degF", "deg_F", "degree_F", "degrees_F", "degreeF", "degreesF", "°F", "F",
                   "fahrenheit", "degree_fahrenheit", "degrees_fahrenheit"])
PERCENT = Unit("percent", "%", ["%", "percent", "pct"])
PASCAL = Unit("pascals", "Pa", ["Pa", "pascal", "pascals"])
HECTOPASCAL = Unit("hectopascals", "hPa", ["hPa", "hectopascal", "hectopascals", "mbar", "millibar",
                                            "millibars", "mb"])
KILOPASCAL = Unit("kilopascals", "kPa", ["kPa", "kilopascal", "kilopascals"])
MIXING_RATIO = Unit("kg/kg (a mass ratio)", "kg/kg",
                    ["kg/kg", "kg kg-1", "kg kg**-1", "kg kg^-1", "kg.kg-1", "kg.kg**-1", "1",
                     "dimensionless"])
DEGREES_NORTH = Unit("degrees north", "degrees_north",
                     ["degrees_north", "degree_north", "degrees_N", "degree_N", "degreesN",
                      "degreeN", "degrees", "degree", "deg", "°", "°N"])
DEGREES_EAST = Unit("degrees (of longitude)", "degrees_east",
                    ["degrees_east", "degree_east", "degrees_E", "degree_E", "degreesE", "degreeE",
                     "degrees", "degree", "deg", "°", "°E"])
GEOPOTENTIAL = Unit("m2 s-2 (geopotential, not a height in metres)", "m2 s-2",
                    ["m2 s-2", "m2/s2", "m^2/s^2", "m^2 s^-2", "m**2 s**-2", "m**2/s**2",
                     "m2.s-2", "J/kg", "J kg-1", "J kg**-1", "J kg^-1"])

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


def require(function: str, parameter: str, value: Any, unit: Unit) -> None:
    """Raises ValueError when `value` declares a unit other than `unit`."""
    units = units_of(value)
    if units is not None and not unit.matches(units):
        raise ValueError(
            f"{function}: {parameter} has units {units!r}, but it must be in {unit.description} "
            f"({unit.label!r}); convert it first")


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
