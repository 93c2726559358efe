"""Units of the inputs: the spelling rules, checks and conversions to the
kernels' units, in one place.

A `units` text that spells the kernel's own unit passes untouched (results
stay bit-identical to the kernel call); pressures in Pa, hPa, mbar ("mb" is
millibar, as in UDUNITS), kPa and MPa are scaled by one multiplication, the
float64 product pint computes; other texts, pint quantities and pint-backed
DataArrays are converted with pint (cf-xarray's registry of CF spellings
when installed). A unit of another dimension, an angle where none is meant,
a temperature difference where an absolute temperature is meant, or text
pint cannot read is a ValueError naming the argument, the unit found and the
one expected. Inputs without a unit are taken to be in the documented one.

Temperatures are read by one grammar before pint sees them ("K", "degK",
"degC", "deg_C", "degrees_C", "degree C", "degrees Celsius", "°C", "degF":
a degree word, a space or underscore, then K, C, F or the scale's name), as
pint reads "degrees C" as an angle times a temperature difference (20
"degrees C" would be 0.35 K); where a temperature is meant, a bare "C" or "F"
is the scale (as in cf-xarray's registry). Spellings compare with their
case: "MPa" is not "mPa".

For plain arrays and a `units` text (the command line) the rules are three
functions that import pint only when a conversion needs it:
``kernel_spelling(text, unit) -> bool`` (no arithmetic needed),
``check(text, unit, where)`` (the ValueError above, `where` naming the
argument, e.g. "relhum: temperature") and
``convert_array(values, text, unit, where) -> ndarray`` (float64 in `unit`,
or `values` itself when the text is the kernel's spelling).
"""

from __future__ import annotations

import functools
import re
import sys
import warnings
from collections.abc import Iterable
from typing import Any

import numpy as np


def _squeezed(text: str) -> str:
    return " ".join(text.split())


# A degree word (any case) or the degree sign, then the scale; or a scale
# on its own. Single letters only in capitals: "K", "C", "F".
_TEMPERATURE = re.compile(
    r"(?P<delta>(?i:delta)[ _]?)?(?P<degree>°|(?i:deg|degrees?)[ _]?)?"
    r"(?P<scale>[KCF]|(?i:kelvins?|celsius|centigrade|fahrenheit))|(?P<sign>℃|℉)")
_SCALES = {"k": "K", "kelvin": "K", "kelvins": "K", "c": "degC", "celsius": "degC",
           "centigrade": "degC", "f": "degF", "fahrenheit": "degF", "℃": "degC", "℉": "degF"}


def temperature_scale(text: str) -> str | None:
    """"K", "degC" or "degF" for a spelling of an absolute temperature scale,
    "delta" for a temperature difference, None for anything else."""
    match = _TEMPERATURE.fullmatch(_squeezed(text))
    if match is None:
        return None
    scale = match["sign"] or match["scale"]
    return "delta" if match["delta"] else _SCALES[scale.casefold()]


class Unit:
    """One physical unit and the spellings of it that need no conversion:
    `symbols` exactly (case matters: "MPa" is not "mPa"), `names` in any
    case."""

    def __init__(self, description: str, label: str, symbols: Iterable[str] = (),
                 names: Iterable[str] = (), pint_name: str | None = None,
                 scale: str | None = None, pascals: float | None = None) -> None:
        self.description = description
        self.label = label
        self.symbols = frozenset(_squeezed(s) for s in symbols)
        self.names = frozenset(_squeezed(n).casefold() for n in names)
        # The unit as pint reads it, for conversions (the label when None).
        self.pint_name = label if pint_name is None else pint_name
        self.scale = scale  # "K", "degC", "degF": spelled as the temperature grammar says
        self.pascals = pascals  # a pressure's size: pressures convert by one multiplication

    def matches(self, text: str) -> bool:
        return kernel_spelling(text, self)


KELVIN = Unit("kelvin", "K", scale="K")
FAHRENHEIT = Unit("degrees Fahrenheit", "degF", scale="degF")
PERCENT = Unit("percent", "%", ["%"], ["percent", "pct"], "percent")
PASCAL = Unit("pascals", "Pa", ["Pa"], ["pascal", "pascals"], pascals=1.0)
HECTOPASCAL = Unit("hectopascals", "hPa", ["hPa", "mbar", "mb"],
                   ["hectopascal", "hectopascals", "millibar", "millibars"], "hPa", pascals=100.0)
KILOPASCAL = Unit("kilopascals", "kPa", ["kPa"], ["kilopascal", "kilopascals"], pascals=1000.0)
MEGAPASCAL = Unit("megapascals", "MPa", ["MPa"], ["megapascal", "megapascals"], pascals=1e6)
MIXING_RATIO = Unit("kg/kg (a mass ratio)", "kg/kg",
                    ["kg/kg", "kg kg-1", "kg kg**-1", "kg kg^-1", "kg.kg-1", "kg.kg**-1", "1"],
                    ["dimensionless"], "kg/kg")
_DEGREES = ["degrees", "degree", "deg", "°"]
DEGREES_NORTH = Unit("degrees north", "degrees_north", names=_DEGREES + [
    "degrees_north", "degree_north", "degrees_N", "degree_N", "degreesN", "degreeN", "°N"],
    pint_name="degree")
DEGREES_EAST = Unit("degrees (of longitude)", "degrees_east", names=_DEGREES + [
    "degrees_east", "degree_east", "degrees_E", "degree_E", "degreesE", "degreeE", "°E"],
    pint_name="degree")
GEOPOTENTIAL = Unit("m2 s-2 (geopotential, not a height in metres)", "m2 s-2",
                    ["m2 s-2", "m2/s2", "m^2/s^2", "m^2 s^-2", "m**2 s**-2", "m**2/s**2",
                     "m2.s-2", "J/kg", "J kg-1", "J kg**-1", "J kg^-1"], pint_name="m**2/s**2")
DIMENSIONLESS = Unit("a plain number", "1", ["1"], ["dimensionless"], "dimensionless")
METRE = Unit("metres", "m", ["m"], ["metre", "metres", "meter", "meters"])

_PRESSURES = (PASCAL, HECTOPASCAL, KILOPASCAL, MEGAPASCAL)


@functools.lru_cache(maxsize=256)
def kernel_spelling(text: str, unit: Unit) -> bool:
    """Whether `text` spells `unit` itself: the values need no conversion."""
    squeezed = _squeezed(text)
    if unit.scale is not None:
        return temperature_scale(squeezed) == unit.scale
    return squeezed in unit.symbols or squeezed.casefold() in unit.names


def _pressure(text: str) -> Unit | None:
    return next((unit for unit in _PRESSURES if kernel_spelling(text, unit)), None)


def _pint_text(text: str) -> str:
    """`text` as pint should read it: temperatures by the grammar, "mb" as
    millibar."""
    scale = temperature_scale(text)
    if scale is not None and scale != "delta":
        return scale
    pressure = _pressure(text)
    return text if pressure is None else pressure.pint_name


def units_of(value: Any) -> str | None:
    """The `units` attribute of a labelled input, or None when it has none."""
    units = getattr(value, "attrs", {}).get("units")
    return units if type(units) is str and units.strip() else None


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


def has_pint_units(value: Any) -> bool:
    """A pint quantity or a pint-backed DataArray."""
    xr = sys.modules.get("xarray")
    return is_quantity(value) or (
        xr is not None and isinstance(value, xr.DataArray) and is_quantity(value.data))


def _expected(unit: Unit) -> str:
    return f"{unit.description} ({unit.label!r})"


class _Refused(ValueError):
    """Why a unit does not convert (the end of the message); the caller
    names the argument."""


def _refusal(registry: Any, units: Any, unit: Unit) -> str | None:
    """Why values in pint `units` (of `registry`) cannot stand for `unit`."""
    one, target = registry.Quantity(1.0, units), registry.Quantity(1.0, unit.pint_name)
    if not one.is_compatible_with(target):
        return " or a unit convertible to it"
    # pint counts angles as plain numbers: "degrees" would pass for a
    # percentage and "degree * kelvin" for a temperature.
    angles = [dict(q.to_base_units().unit_items()).get("radian", 0) for q in (one, target)]
    if angles[0] != angles[1]:
        return " or a unit convertible to it" + ("; an angle is not" if angles[0] else "")
    if unit.scale is not None and any(name.startswith("delta_") for name, _ in one.unit_items()):
        return ", an absolute temperature, not a temperature difference"
    return None


@functools.lru_cache(maxsize=256)
def _plan(text: str, unit: Unit) -> float | str | None:
    """How values declared in `text` reach `unit`: None (they are in it), a
    factor (one multiplication) or the text pint converts from. Raises
    _Refused when they cannot."""
    if kernel_spelling(text, unit):
        return None
    source = _pressure(text)
    if source is not None and unit.pascals is not None:
        # pint multiplies by this same float64 quotient of exact sizes.
        return source.pascals / unit.pascals  # type: ignore[operator]
    if unit.scale is not None and temperature_scale(text) == "delta":
        raise _Refused(", an absolute temperature, not a temperature difference")
    units = registry()
    if units is None:
        raise _Refused("; install pint to have it converted, or convert it first")
    readable = _pint_text(text)
    try:
        parsed = units.Unit(readable)
    except Exception:  # pint raises several kinds of error for unreadable text
        raise _Refused("; it is not a unit tamrix can read") from None
    reason = _refusal(units, parsed, unit)
    if reason is not None:
        raise _Refused(reason)
    return readable


def check(text: str, unit: Unit, where: str) -> float | str | None:
    """Raises ValueError naming `where`, the unit found and the unit expected
    unless values declared in `text` convert to `unit`."""
    try:
        return _plan(text, unit)
    except _Refused as refused:
        raise ValueError(f"{where} has units {text!r}, but it must be in {_expected(unit)}"
                         f"{refused}") from None


def convert_array(values: Any, text: str, unit: Unit, where: str) -> Any:
    """`values` declared in `text` as float64 in `unit` (`values` itself when
    `text` is the kernel's spelling); ValueError as `check` otherwise. Module
    level, so dask graphs that use it pickle."""
    plan = check(text, unit, where)
    if plan is None:
        return values
    array = np.asarray(values, dtype=np.float64)
    if isinstance(plan, float):
        return array * plan
    return np.asarray(registry().Quantity(array, plan).to(unit.pint_name).magnitude,
                      dtype=np.float64)


def _quantity_magnitude(function: str, parameter: str, quantity: Any, unit: Unit) -> Any:
    # A quantity converts in its own registry (registries do not mix), so the
    # target is given as text.
    reason = _refusal(quantity._REGISTRY, quantity.units, unit)
    if reason is not None:
        raise ValueError(f"{function}: {parameter} has units {str(quantity.units)!r}, but it "
                         f"must be in {_expected(unit)}{reason}")
    if quantity.units == quantity._REGISTRY.Unit(unit.pint_name):
        return quantity.magnitude
    magnitude = quantity.magnitude
    if isinstance(magnitude, np.ndarray) and magnitude.dtype != np.float64:
        # Converted in the precision the kernels compute in, not the input's.
        quantity = quantity._REGISTRY.Quantity(magnitude.astype(np.float64), quantity.units)
    return quantity.to(unit.pint_name).magnitude


def convert(function: str, parameter: str, value: Any, unit: Unit, pint: bool | None = None
            ) -> Any:
    """`value` in `unit`: unchanged when it declares no unit or `unit` itself,
    else converted (pint quantities and pint-backed DataArrays stripped to
    plain numbers) or refused. `pint`: whether it has pint units, if known."""
    if pint is None:
        pint = has_pint_units(value)
    if pint and is_quantity(value):
        return _quantity_magnitude(function, parameter, value, unit)
    if pint:
        data = _quantity_magnitude(function, parameter, value.data, unit)
        return value.copy(data=data).assign_attrs(units=unit.label)
    text = units_of(value)
    if text is None or kernel_spelling(text, unit):
        return value
    where = f"{function}: {parameter}"
    check(text, unit, where)
    data = value.data
    da = sys.modules.get("dask.array")
    if da is not None and isinstance(data, da.Array):
        converted = data.map_blocks(convert_array, text, unit, where, dtype=np.float64)
    else:
        converted = convert_array(data, text, unit, where)
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
    target = Unit(str(units), symbol, [symbol, str(units)], pint_name=str(units))
    return [convert(function, name, value, target) for name, value in named], symbol


def _canonical(units: str) -> str:
    pressure = _pressure(units)
    return _squeezed(units) if pressure is None else pressure.label


def common(function: str, named_values: Iterable[tuple[str, Any]]) -> str | None:
    """Checks that the labelled values among `named_values` declare one unit.

    For arguments that only need to agree with each other (the kernel uses
    their ratio or difference); spellings of one pressure unit agree ("hPa",
    "mbar", "mb"), units that differ in case do not ("MPa", "mPa"). Returns
    that unit's text, or None when none is declared.
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
