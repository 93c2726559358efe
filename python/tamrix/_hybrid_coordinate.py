"""The hybrid sigma-pressure coordinate of a dataset, read from its own
metadata: p = a·p0 + b·ps on every model level.

The reader works on any *variable lookup*: a mapping from variable names to
objects that have ``dims`` (or netCDF4's ``dimensions``), ``attrs`` (or
netCDF4's attribute methods) and can be read with ``numpy.asarray(v[...])``:
netCDF4 datasets, Zarr groups wrapped by the command line, and xarray
Datasets (whose DataArrays carry ``dims`` and ``attrs``) all qualify. Only the
coefficients and the reference pressure are ever read; the surface pressure
is named, not loaded, so a caller streams it block by block.

Conventions understood, in this order of precedence:

- CF ``atmosphere_hybrid_sigma_pressure_coordinate``: the level coordinate's
  ``formula_terms``, either ``a: A b: B p0: P0 ps: PS`` (a dimensionless) or
  ``ap: AP b: B ps: PS`` (ap a pressure);
- CAM (``hyam``, ``hybm``, ``P0``, ``PS``) and ECHAM/CDO files (``hyam`` a
  pressure, ``aps``); ERA5 files converted by CDO carry ``lnsp``, the natural
  logarithm of the surface pressure in Pa.

Every pressure is brought to Pa before anything is computed from it: ``ap``,
``p0`` and ``ps`` each by the factor of its own ``units`` (a ``p0`` of 1000
"hPa" is 100000 Pa), so level pressures are always built in one unit.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

if TYPE_CHECKING:
    from ._blocks import Array

_ma: Any = np.ma  # typed in NumPy 2, not in NumPy 1: used through Any alike
STANDARD_NAME = "atmosphere_hybrid_sigma_pressure_coordinate"
# Names tried, in order, when the file does not say which variable is which.
A_NAMES = ("hyam", "a", "ap")
B_NAMES = ("hybm", "b")
P0_NAMES = ("P0", "p0")
PS_NAMES = ("ps", "PS", "aps", "sp", "lnsp", "LNSP")
LOG_PS_NAMES = ("lnsp", "LNSP")
# A dimensionless `a` stays well below 1; a coefficient in Pa (ECHAM's
# hyam) reaches thousands. Used only when the coefficient has no units.
_LARGEST_DIMENSIONLESS_A = 1.5
_DIMENSIONLESS = {"", "1", "dimensionless", "none", "pa pa-1", "pa/pa", "~", "numeric"}
_FORMULA_TERM = re.compile(r"(\w+)\s*:\s*(\S+)")


class CoordinateError(ValueError):
    """The file's vertical coordinate cannot be decoded (the message names
    what is missing)."""


class Overrides(NamedTuple):
    """Variable names (or, for `p0`, a value in Pa) that replace what the
    metadata says."""

    ps: str | None = None
    a: str | None = None
    b: str | None = None
    p0: float | None = None


class SurfacePressure(NamedTuple):
    """How to get ps in Pa from a variable: exp(values) when `log`, else
    values · `factor`."""

    name: str
    factor: float = 1.0
    log: bool = False

    def pascals(self, values: Array) -> Array:
        """The surface pressure in Pa, float64 (untouched, not copied, when it
        is float64 Pa already)."""
        values = np.asarray(values, dtype=np.float64)
        if self.log:
            exponential: Array = np.exp(values)
            return exponential
        return values if self.factor == 1.0 else values * self.factor


class HybridCoordinate(NamedTuple):
    """p[k] = hya[k]·p0 + hyb[k]·ps in Pa, k along `dim` in the file's order."""

    dim: str
    hya: Array
    hyb: Array
    p0: float
    ps: SurfacePressure
    source: str
    # The variables it was read from (coefficients, reference pressure, ps).
    names: tuple[str, ...] = ()

    def pressure_range(self, ps_min: float, ps_max: float) -> tuple[Array, Array]:
        """Smallest and largest pressure of each level over surface pressures
        in [ps_min, ps_max], computed as the kernels compute level pressures."""
        low = self.hyb * ps_min + self.hya * self.p0
        high = self.hyb * ps_max + self.hya * self.p0
        return np.minimum(low, high), np.maximum(low, high)


# --- reading a lookup ---


def dims_of(variable: Any) -> tuple[str, ...]:
    dims: Any = getattr(variable, "dims", None)
    if dims is None:
        dims = getattr(variable, "dimensions", ())
    return tuple(str(d) for d in dims)


def attrs_of(variable: Any) -> Mapping[str, Any]:
    attrs = getattr(variable, "attrs", None)
    if attrs is not None:
        return attrs  # type: ignore[no-any-return]
    if hasattr(variable, "ncattrs"):
        return {key: variable.getncattr(key) for key in variable.ncattrs()}
    return {}


def _text(variable: Any, key: str) -> str | None:
    value = attrs_of(variable).get(key)
    return value.strip() if isinstance(value, str) else None


def _values(variable: Any) -> Array:
    values = getattr(variable, "values", None)
    if values is None:
        values = variable[...]
    values = _ma.filled(values, np.nan) if _ma.isMaskedArray(values) else values
    return np.asarray(values, dtype=np.float64)


def pascals_per(units: str | None, what: str) -> float:
    """The factor from `units` to Pa (no units: Pa)."""
    if units is None or not units.strip():
        return 1.0
    from . import _units

    try:
        return float(_units.convert_array(np.ones(()), units, _units.PASCAL, what))
    except ValueError as error:
        raise CoordinateError(str(error)) from None


def _dimensionless(variable: Any, what: str) -> None:
    units = _text(variable, "units")
    if units is not None and "".join(units.split()).casefold() not in _DIMENSIONLESS:
        raise CoordinateError(f"{what} has units {units!r} but must be dimensionless")


def formula_terms(text: str) -> dict[str, str]:
    """CF's "term: variable term: variable ..." as a dict."""
    return dict(_FORMULA_TERM.findall(text))


def level_dimension(lookup: Mapping[str, Any], dims: Sequence[str]) -> str | None:
    """The dimension among `dims` whose coordinate variable is a hybrid
    sigma-pressure coordinate, or along which hybrid coefficients are given."""
    for dim in dims:
        coordinate = lookup.get(dim) if dim in lookup else None
        if coordinate is not None and (
                _text(coordinate, "standard_name") == STANDARD_NAME
                or "formula_terms" in attrs_of(coordinate)):
            return dim
    for name in A_NAMES + B_NAMES:
        if name in lookup:
            found = dims_of(lookup[name])
            if len(found) == 1 and found[0] in dims:
                return found[0]
    return None


def _first(lookup: Mapping[str, Any], names: Iterable[str]) -> str | None:
    return next((name for name in names if name in lookup), None)


def _named(lookup: Mapping[str, Any], name: str, role: str) -> Any:
    if name not in lookup:
        raise CoordinateError(f"no variable {name!r} for {role}")
    return lookup[name]


def _coefficient(lookup: Mapping[str, Any], name: str, role: str, nlev: int | None) -> Array:
    values = _values(_named(lookup, name, role))
    if values.ndim != 1 or (nlev is not None and values.size != nlev):
        shape = "x".join(map(str, values.shape)) or "a scalar"
        raise CoordinateError(f"{role} {name!r} must have one value per level ({nlev}), not "
                              f"{shape}")
    if not np.isfinite(values).all():
        raise CoordinateError(f"{role} {name!r} has missing values")
    return values


def surface_pressure(lookup: Mapping[str, Any], name: str) -> SurfacePressure:
    variable = _named(lookup, name, "the surface pressure")
    if name in LOG_PS_NAMES or _text(variable, "standard_name") == "logarithm_of_surface_pressure":
        return SurfacePressure(name, log=True)
    return SurfacePressure(name, pascals_per(_text(variable, "units"), f"surface pressure {name!r}"))


def decode(lookup: Mapping[str, Any], dims: Sequence[str], overrides: Overrides = Overrides(),
           dim: str | None = None) -> HybridCoordinate:
    """The hybrid coordinate of a variable with dimensions `dims`.

    `dim` names the level dimension when known; else it is the dimension whose
    coordinate variable has ``formula_terms`` or the hybrid standard name, or
    the one the coefficients are given along. Raises CoordinateError naming
    what is missing.
    """
    dim = dim or level_dimension(lookup, dims)
    if dim is None:
        raise CoordinateError(
            f"no hybrid level dimension among ({', '.join(dims)}): no coordinate with "
            f"formula_terms or standard_name {STANDARD_NAME!r}, and no hyam/hybm, a/b or ap/b "
            f"variables")
    if dim not in dims:
        raise CoordinateError(f"no dimension {dim!r} (dimensions: {', '.join(dims)})")
    coordinate = lookup[dim] if dim in lookup else None
    terms = formula_terms(_text(coordinate, "formula_terms") or "") if coordinate is not None else {}
    source = f"formula_terms of {dim!r}" if terms else "variable names"
    shape = getattr(coordinate, "shape", None)
    nlev = int(shape[0]) if shape is not None and len(shape) == 1 else None

    a_name = overrides.a or terms.get("a") or terms.get("ap") or _first(lookup, A_NAMES)
    b_name = overrides.b or terms.get("b") or _first(lookup, B_NAMES)
    ps_name = overrides.ps or terms.get("ps") or _first(lookup, PS_NAMES)
    missing = [role for role, name in (("A coefficients (a, ap or hyam)", a_name),
                                       ("B coefficients (b or hybm)", b_name),
                                       ("surface pressure (ps, aps or lnsp)", ps_name))
               if name is None]
    if missing:
        raise CoordinateError(f"cannot decode the hybrid coordinate {dim!r} ({source}): no "
                              f"{' and no '.join(missing)}")
    assert a_name is not None and b_name is not None and ps_name is not None
    hya = _coefficient(lookup, a_name, "the A coefficients", nlev)
    hyb = _coefficient(lookup, b_name, "the B coefficients", hya.size)
    _dimensionless(lookup[b_name], f"the B coefficients {b_name!r}")

    a_variable = lookup[a_name]
    a_units = _text(a_variable, "units")
    a_is_pressure = ("ap" in terms and terms["ap"] == a_name and overrides.a is None) or (
        a_units is not None and "".join(a_units.split()).casefold() not in _DIMENSIONLESS)
    if a_units is None and not terms and float(np.max(np.abs(hya), initial=0.0)) > \
            _LARGEST_DIMENSIONLESS_A:
        a_is_pressure = True  # ECHAM/CDO's hyam, in Pa without saying so
    if a_is_pressure:
        factor = pascals_per(a_units, f"the A coefficients {a_name!r}")
        hya = hya if factor == 1.0 else hya * factor
        p0 = 1.0  # ap·1.0 is ap exactly: the same pressures as ap + b·ps
        p0_name = None
    elif overrides.p0 is not None:
        p0 = float(overrides.p0)
        p0_name = None
    else:
        p0_name = terms.get("p0") or _first(lookup, P0_NAMES)
        if p0_name is None:
            p0 = 100000.0
        else:
            p0_variable = _named(lookup, p0_name, "the reference pressure")
            p0_values = _values(p0_variable).reshape(-1)
            if p0_values.size != 1 or not np.isfinite(p0_values[0]):
                raise CoordinateError(f"the reference pressure {p0_name!r} must be one number")
            p0 = float(p0_values[0]) * pascals_per(_text(p0_variable, "units"),
                                                   f"the reference pressure {p0_name!r}")
    names = tuple(n for n in (a_name, b_name, p0_name, ps_name) if n is not None)
    return HybridCoordinate(dim, np.ascontiguousarray(hya), np.ascontiguousarray(hyb), p0,
                            surface_pressure(lookup, ps_name), source, names)
