"""The humidity argument of the relative-humidity functions: a mixing ratio,
or specific humidity converted to one."""

from __future__ import annotations

from typing import Any

from . import _cf
from ._elementwise import Quantity, evaluate
from ._typing import DTypeLike


def humidity(quantity: Quantity, temperature: Any, mixing_ratio: Any, pressure: Any,
             specific_humidity: Any, *, nan_floor: float | None = None, keep_attrs: bool | None = None,
             name: str | None = None, dtype: DTypeLike = None) -> Any:
    function = quantity.name
    if (mixing_ratio is None) == (specific_humidity is None):
        raise TypeError(f"{function}: give exactly one of mixing_ratio and specific_humidity")
    if pressure is None:
        raise TypeError(f"{function}: missing required argument 'pressure'")
    if specific_humidity is None:
        _cf.warn_humidity_kind(function, "mixing_ratio", mixing_ratio)
        return evaluate(quantity, (temperature, mixing_ratio, pressure),
                        options=_cf.Options(nan_floor=nan_floor), keep_attrs=keep_attrs,
                        name=name, dtype=dtype)
    _cf.warn_humidity_kind(function, "specific_humidity", specific_humidity)
    return evaluate(quantity, (temperature, specific_humidity, pressure),
                    params=("temperature", "specific_humidity", "pressure"),
                    options=_cf.Options(specific_humidity=1, nan_floor=nan_floor),
                    keep_attrs=keep_attrs, name=name, dtype=dtype)
