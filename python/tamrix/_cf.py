"""CF metadata of results and the options that change how a quantity is
evaluated (humidity given as specific humidity, NaN kept as missing)."""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._dispatch import is_dataarray

# CF standard names of the results (quantities without one get only a
# long_name).
STANDARD_NAMES = {
    "relhum": "relative_humidity",
    "relhum_ice": "relative_humidity",
    "relhum_water": "relative_humidity",
    "dewtemp": "dew_point_temperature",
    "temp_extrapolate": "air_temperature",
    "geo_height_extrapolate": "geopotential_height",
    "pressure_at_hybrid_levels": "air_pressure",
    "hybrid_to_pressure": "air_pressure",
}

# Result units as pint spells them where the label differs.
_PINT_UNITS = {"%": "percent", "kPa/degC": "kPa/delta_degC", "hours": "hour"}


@dataclass(frozen=True)
class Options:
    # Position of an argument holding specific humidity, to be turned into a
    # mixing ratio before the kernel sees it (None: no such argument).
    specific_humidity: int | None = None
    # NaN in any input gives NaN out instead of this value, which the kernel
    # gives for NaN (None: the kernel's value stays).
    nan_floor: float | None = None


NO_OPTIONS = Options()


def mixing_ratio(specific_humidity: np.ndarray) -> np.ndarray:
    """w = q / (1 - q), in float64."""
    result: np.ndarray = specific_humidity / (1.0 - specific_humidity)
    return result


def check_nan_policy(function: str, nan_policy: str) -> bool:
    """Whether NaN propagates; the policies are "floor" (the kernel's) and
    "propagate"."""
    if nan_policy not in ("floor", "propagate"):
        raise ValueError(f"{function}: nan_policy must be 'floor' or 'propagate', not "
                         f"{nan_policy!r}")
    return nan_policy == "propagate"


def warn_humidity_kind(function: str, parameter: str, value: Any) -> None:
    """A DataArray whose standard_name says it is the other humidity
    variable is almost certainly passed by mistake (up to ~2 %RH off)."""
    if not is_dataarray(value):
        return
    standard_name = value.attrs.get("standard_name")
    other = {"mixing_ratio": ("specific_humidity", "specific_humidity"),
             "specific_humidity": ("humidity_mixing_ratio", "mixing_ratio")}[parameter]
    if standard_name == other[0]:
        warnings.warn(f"{function}: {parameter} has standard_name {standard_name!r}; pass it as "
                      f"{other[1]}= instead", UserWarning, stacklevel=4)


def keep_attrs_default(keep_attrs: bool | None) -> bool:
    if keep_attrs is not None:
        return bool(keep_attrs)
    import xarray as xr

    return xr.get_options()["keep_attrs"] is True  # type: ignore[no-untyped-call]


def result_attrs(name: str, long_name: str, units: str | None, values: Sequence[Any],
                 keep_attrs: bool | None) -> dict[str, Any]:
    """Attributes of a DataArray result: the first DataArray argument's when
    keep_attrs, then the result's own CF attributes over them."""
    attrs: dict[str, Any] = {}
    if keep_attrs_default(keep_attrs):
        first = next((v for v in values if is_dataarray(v)), None)
        if first is not None:
            attrs.update(first.attrs)
    attrs.pop("standard_name", None)
    if name in STANDARD_NAMES:
        attrs["standard_name"] = STANDARD_NAMES[name]
    attrs["long_name"] = long_name
    if units is not None:
        attrs["units"] = units
    else:
        attrs.pop("units", None)
    return attrs


def pint_units(units: str) -> str:
    return _PINT_UNITS.get(units, units)
