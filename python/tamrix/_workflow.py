"""Model levels to pressure levels in one call: pressure on the hybrid
levels, interpolation to the target pressures and, below the ground, the
extrapolation kernels.

Every block is computed column-wise with the level axis last: the pressures
of a block's columns exist only while that block is computed, so with dask
the memory in flight is one input chunk, its pressures and one output chunk.
"""

from __future__ import annotations

import functools
import math
from typing import TYPE_CHECKING, Any, overload

import numpy as np

from . import _cf, _units
from ._docs import shared_docs
from ._dispatch import (Kind, apply_dask, apply_xarray, as_numpy, check_real, common_kind,
                        is_dataarray, is_dask_array, kernel, kind_of, label, rechunk_core,
                        whole_axis)
from ._typing import ArrayIn, DataArrayIn, FloatArray

if TYPE_CHECKING:
    import xarray

_FUNCTION = "hybrid_to_pressure"
_METHODS = ("log", "linear")
_VARIABLES = ("temperature", "geopotential", "other")
# What the data of each kind of variable must be in, and its CF attributes
# when the data has none.
_DATA_UNITS = {"temperature": _units.KELVIN, "geopotential": _units.METRE, "other": None}
_DEFAULT_ATTRS = {
    "temperature": {"standard_name": "air_temperature", "long_name": "air temperature",
                    "units": "K"},
    "geopotential": {"standard_name": "geopotential_height", "long_name": "geopotential height",
                     "units": "m"},
    "other": {},
}
_KINDS_BY_STANDARD_NAME = {"air_temperature": "temperature",
                           "geopotential_height": "geopotential"}


# --- one block of columns (level axis last) ---


def _column_pressures(ps: np.ndarray, hyam: np.ndarray, hybm: np.ndarray, p0: float
                      ) -> np.ndarray:
    """hyam·p0 + hybm·ps for every column, level axis last."""
    table = kernel("interpolation", "pressure_at_hybrid_levels_array")(
        hyam, hybm, np.ascontiguousarray(ps, dtype=np.float64).reshape(-1), p0)
    return np.ascontiguousarray(table.reshape(hyam.size, -1).T).reshape(ps.shape + (hyam.size,))


def _interpolate(data: np.ndarray, coord: np.ndarray, targets: np.ndarray) -> np.ndarray:
    columns, nlev = data.shape[:-1], data.shape[-1]
    ncols = math.prod(columns)
    if ncols == 0 or targets.size == 0:
        return np.full(columns + (targets.size,), np.nan)
    result: np.ndarray = kernel("interpolation", "interpolate_columns")(
        np.ascontiguousarray(coord, dtype=np.float64).reshape(-1),
        np.ascontiguousarray(data, dtype=np.float64).reshape(-1), targets, nlev, ncols)
    return result.reshape(columns + (targets.size,))


def _extrapolate(out: np.ndarray, data: np.ndarray, p: np.ndarray, ps: np.ndarray,
                 t_bot: np.ndarray | None, phi_sfc: np.ndarray, targets: np.ndarray,
                 variable: str) -> None:
    """Fills the targets below the lowest model level, in place: between that
    level and the surface with the lowest level's value; below the surface
    with the extrapolation kernel of `variable` (others: the lowest level's
    value). NaN pressures compare false and stay NaN."""
    lowest = np.argmax(p, axis=-1)[..., None]
    p_low = np.take_along_axis(p, lowest, -1)[..., 0].reshape(-1)
    d_low = np.take_along_axis(data, lowest, -1)[..., 0].reshape(-1).astype(np.float64)
    flat_out = out.reshape(-1, targets.size)
    surface = ps.reshape(-1)
    bottom = d_low if t_bot is None else t_bot.reshape(-1)
    phi = phi_sfc.reshape(-1)
    array_kernel = {"temperature": "temp_extrapolate_array",
                    "geopotential": "geo_height_extrapolate_array"}.get(variable)
    for j, level in enumerate(targets.tolist()):
        below = level > p_low
        if array_kernel is not None:
            under = np.flatnonzero(below & (level > surface))
            below &= level <= surface
            if under.size:
                flat_out[under, j] = kernel("interpolation", array_kernel)(
                    bottom[under], level, p_low[under], surface[under], phi[under])
        flat_out[below, j] = d_low[below]


def to_pressure_block(data: Any, ps: Any, t_bot: Any, phi_sfc: Any, *, hyam: np.ndarray,
                      hybm: np.ndarray, p0: float, targets: np.ndarray, log: bool,
                      extrapolate: bool, variable: str, t_from_data: bool) -> np.ndarray:
    """One block: data (..., nlev) and per-column ps, t_bot, phi_sfc (any
    shapes broadcasting to the columns) -> (..., len(targets))."""
    data = as_numpy(_FUNCTION, "data", data)
    ps, t_bot, phi_sfc = (np.asarray(v, dtype=np.float64) for v in (ps, t_bot, phi_sfc))
    columns = np.broadcast_shapes(data.shape[:-1], ps.shape, t_bot.shape, phi_sfc.shape)
    data = np.broadcast_to(data, columns + data.shape[-1:])
    ps = np.broadcast_to(ps, columns)
    p = _column_pressures(ps, hyam, hybm, p0)
    if log:
        out = _interpolate(data, np.log(p), np.log(targets))
    else:
        out = _interpolate(data, p, targets)
    if extrapolate and out.size:
        _extrapolate(out, data, p, ps, None if t_from_data else np.broadcast_to(t_bot, columns),
                     np.broadcast_to(phi_sfc, columns), targets, variable)
    return out


# --- arguments ---


def _coefficients(name: str, value: Any) -> np.ndarray:
    array = np.asarray(value.values if is_dataarray(value) else value)
    check_real(_FUNCTION, name, array.dtype)
    if array.ndim != 1:
        raise ValueError(f"{_FUNCTION}: {name} must be one-dimensional (one value per level)")
    return np.ascontiguousarray(array, dtype=np.float64)


def _targets(new_levels: Any) -> tuple[np.ndarray, np.ndarray, str]:
    """The target pressures in Pa for the kernels, and the values and unit to
    label the new coordinate with (as the caller gave them)."""
    if _units.has_pint_units(new_levels):
        quantity = new_levels if _units.is_quantity(new_levels) else new_levels.data
        shown = np.asarray(quantity.magnitude, dtype=np.float64)
        symbol = f"{quantity.units:~}"
    else:
        shown = np.asarray(new_levels.values if is_dataarray(new_levels) else new_levels)
        check_real(_FUNCTION, "new_levels", shown.dtype)
        symbol = _units.units_of(new_levels) or "Pa"
    pascals = _units.convert(_FUNCTION, "new_levels", new_levels, _units.PASCAL)
    pascals = np.asarray(pascals.values if is_dataarray(pascals) else pascals, dtype=np.float64)
    if pascals.ndim != 1:
        raise ValueError(f"{_FUNCTION}: new_levels must be one-dimensional")
    return np.ascontiguousarray(pascals), np.asarray(shown, dtype=np.float64).reshape(-1), symbol


def _variable_kind(variable: str | None, data: Any) -> str:
    if variable is None:
        if is_dataarray(data) and "standard_name" in data.attrs:
            return _KINDS_BY_STANDARD_NAME.get(str(data.attrs["standard_name"]), "other")
        return "temperature"
    if variable not in _VARIABLES:
        raise ValueError(f"{_FUNCTION}: variable must be one of {', '.join(map(repr, _VARIABLES))},"
                         f" not {variable!r}")
    return variable


def _lowest_level(value: Any, dim: str, p_order: np.ndarray) -> Any:
    """A full (…, lev, …) field given for t_bot: its lowest model level."""
    if is_dataarray(value) and dim in value.dims:
        return value.isel({dim: int(np.argmax(p_order))}, drop=True)
    return value


# --- the public function ---


@overload
def hybrid_to_pressure(data: ArrayIn, ps: ArrayIn, hyam: ArrayIn, hybm: ArrayIn,
                       new_levels: ArrayIn, p0: float = 100000.0, *, dim: str = "lev",
                       axis: int | None = None, new_dim: str = "plev", method: str = "log",
                       extrapolate: bool = False, variable: str | None = None,
                       t_bot: ArrayIn | None = None, phi_sfc: ArrayIn | None = None,
                       keep_attrs: bool | None = None, name: str | None = None) -> FloatArray: ...
@overload
def hybrid_to_pressure(data: xarray.DataArray, ps: DataArrayIn, hyam: ArrayIn | xarray.DataArray,
                       hybm: ArrayIn | xarray.DataArray, new_levels: ArrayIn | xarray.DataArray,
                       p0: float = 100000.0, *, dim: str = "lev", axis: int | None = None,
                       new_dim: str = "plev", method: str = "log", extrapolate: bool = False,
                       variable: str | None = None, t_bot: DataArrayIn | None = None,
                       phi_sfc: DataArrayIn | None = None, keep_attrs: bool | None = None,
                       name: str | None = None) -> xarray.DataArray: ...
@overload
def hybrid_to_pressure(data: Any, ps: Any, hyam: Any, hybm: Any, new_levels: Any,
                       p0: float = 100000.0, *, dim: str = "lev", axis: int | None = None,
                       new_dim: str = "plev", method: str = "log", extrapolate: bool = False,
                       variable: str | None = None, t_bot: Any = None, phi_sfc: Any = None,
                       keep_attrs: bool | None = None, name: str | None = None) -> Any: ...
@shared_docs
def hybrid_to_pressure(data: Any, ps: Any, hyam: Any, hybm: Any, new_levels: Any,
                       p0: float = 100000.0, *, dim: str = "lev", axis: int | None = None,
                       new_dim: str = "plev", method: str = "log", extrapolate: bool = False,
                       variable: str | None = None, t_bot: Any = None, phi_sfc: Any = None,
                       keep_attrs: bool | None = None, name: str | None = None) -> Any:
    """Data on hybrid sigma-pressure levels interpolated to pressure levels.

    The pressure of model level k is hyam[k]·p0 + hybm[k]·ps, column by column;
    the data are interpolated to `new_levels` linearly in ln(p) (``method="log"``,
    default) or in p (``method="linear"``). Targets outside a column's model
    levels are NaN, unless ``extrapolate=True``: then targets between the lowest
    model level and the surface take the lowest level's value, and targets below
    the surface (greater than ps) are extrapolated according to `variable`.
    Targets above the model top stay NaN.

    NumPy, dask and xarray in and out; dask stays lazy, block by block, the
    level axis rechunked as in `interp_to_levels`.

    Parameters
    ----------
    data : array_like or DataArray
        Values on model levels, level dimension `dim` (DataArrays) or axis
        `axis` (NumPy and dask arrays).
    ps : float, array_like or DataArray
        Surface pressure per column, Pa (or a unit declared by a ``units``
        attribute or pint).
    hyam, hybm : array_like or DataArray
        Hybrid coefficients of the model levels (1-D, equal length).
    new_levels : array_like or DataArray
        1-D target pressures, Pa unless declared otherwise; the result has them
        as its new level dimension `new_dim` (at the place of `dim`), labelled
        as given.
    p0 : float, optional
        Reference pressure, Pa (default 100000).
    dim : str, optional
        Level dimension of DataArrays (default "lev").
    axis : int, optional
        Level axis of NumPy and dask arrays (required for N-D data).
    new_dim : str, optional
        Name of the new level dimension (default "plev").
    method : {"log", "linear"}, optional
        Interpolation in ln(p) (default) or in p.
    extrapolate : bool, optional
        Fill targets below the lowest model level (default False: NaN).
    variable : {"temperature", "geopotential", "other"}, optional
        How to extrapolate below the surface: "temperature" (data in K) with
        `temp_extrapolate` from `t_bot` and `phi_sfc`; "geopotential"
        (geopotential height, m) with `geo_height_extrapolate`, which needs
        `t_bot` and `phi_sfc`; "other": the lowest level's value. None takes the
        kind from a DataArray's ``standard_name`` (air_temperature,
        geopotential_height, anything else: other) and is "temperature" for
        unlabelled data.
    t_bot : float, array_like or DataArray, optional
        Temperature at the lowest model level, K, or the whole temperature field
        (default: the data's lowest level, for temperature).
    phi_sfc : float, array_like or DataArray, optional
        Surface geopotential, m2 s-2 (needed to extrapolate temperature or
        geopotential height).
    keep_attrs : bool, optional
        Whether a DataArray result starts from the attributes of the first
        DataArray argument (default: xarray's ``keep_attrs`` option); its own
        ``standard_name``, ``long_name`` and ``units`` replace theirs.
    name : str, optional
        Name of a DataArray result (default: the data's).

    Returns
    -------
    ndarray, dask array, DataArray or Quantity
        `data` on the pressure levels, float64. DataArray results carry the
        data's ``standard_name``, ``long_name`` and ``units`` (all of its
        attributes with `keep_attrs`), and the new coordinate CF air_pressure
        attributes.

    See Also
    --------
    interp_to_levels, pressure_at_hybrid_levels, temp_extrapolate,
    geo_height_extrapolate

    References
    ----------
    [[trenberth]]
    .. [2] A. J. Simmons and D. M. Burridge, "An energy and angular-momentum
           conserving vertical finite-difference scheme and hybrid vertical
           coordinates", Mon. Wea. Rev. 109, 758-766, 1981.

    Examples
    --------
    >>> import numpy as np, tamrix
    >>> hyam, hybm = np.array([0.05, 0.02, 0.0]), np.array([0.2, 0.6, 0.95])
    >>> t = np.array([[220.0, 260.0, 285.0], [221.0, 259.0, 280.0]])   # K, 2 columns
    >>> ps = np.array([100000.0, 95000.0])                               # Pa
    >>> print(tamrix.hybrid_to_pressure(t, ps, hyam, hybm, [85000.0, 50000.0], axis=1))
    [[278.48403115 250.52642545]
     [277.03895884 252.00760062]]
    """
    if method not in _METHODS:
        raise ValueError(f"{_FUNCTION}: method must be 'log' or 'linear', not {method!r}")
    kind_name = _variable_kind(variable, data)
    a, b = _coefficients("hyam", hyam), _coefficients("hybm", hybm)
    if a.shape != b.shape:
        raise ValueError(f"{_FUNCTION}: hyam and hybm must have the same length "
                         f"({a.size} != {b.size})")
    pascals, shown, symbol = _targets(new_levels)
    registry = data._REGISTRY if _units.is_quantity(data) else None
    unit = _DATA_UNITS[kind_name]
    # The result is in the unit its values are in: the kernel's for
    # temperature and height, the data's own for other variables.
    data_units = (unit.pint_name if unit is not None else f"{data.units:~}") if registry else None
    data = (_units.convert(_FUNCTION, "data", data, unit) if unit is not None
            else _strip(data))
    ps = _units.convert(_FUNCTION, "ps", ps, _units.PASCAL)
    p0 = float(_units.convert(_FUNCTION, "p0", p0, _units.PASCAL))
    needs = extrapolate and kind_name != "other"
    if needs and phi_sfc is None:
        raise TypeError(f"{_FUNCTION}: extrapolating a {kind_name} needs phi_sfc (the surface "
                        f"geopotential, m2 s-2)")
    if extrapolate and kind_name == "geopotential" and t_bot is None:
        raise TypeError(f"{_FUNCTION}: extrapolating geopotential height needs t_bot (the "
                        f"temperature at the lowest model level, K)")
    t_from_data = t_bot is None
    t_bot = np.nan if t_bot is None else _units.convert(_FUNCTION, "t_bot",
                                                         _lowest_level(t_bot, dim, b), _units.KELVIN)
    phi_sfc = np.nan if phi_sfc is None else _units.convert(_FUNCTION, "phi_sfc", phi_sfc,
                                                            _units.GEOPOTENTIAL)
    block = functools.partial(to_pressure_block, hyam=a, hybm=b, p0=p0, targets=pascals,
                              log=method == "log", extrapolate=extrapolate, variable=kind_name,
                              t_from_data=t_from_data)
    values = (data, ps, t_bot, phi_sfc)
    kind = common_kind(_FUNCTION, ("data", "ps", "t_bot", "phi_sfc"), values)
    if kind is Kind.XARRAY:
        return _on_dataarrays(block, values, dim, new_dim, shown, symbol, kind_name, keep_attrs,
                              name)
    result = _on_arrays(block, values, axis, pascals.size)
    if registry is not None:
        return registry.Quantity(result, data_units)
    return result


def _strip(data: Any) -> Any:
    if _units.is_quantity(data):
        return data.magnitude
    if _units.is_pint_dataarray(data):
        return data.copy(data=data.data.magnitude).assign_attrs(units=f"{data.data.units:~}")
    return data


def _on_arrays(block: Any, values: tuple[Any, ...], axis: int | None, nout: int) -> Any:
    data, ps, t_bot, phi_sfc = values
    if kind_of(data) < Kind.NUMPY or np.ndim(data) == 0:
        raise ValueError(f"{_FUNCTION}: data must be an array with a level axis")
    if not is_dask_array(data):
        data = as_numpy(_FUNCTION, "data", data)
    if axis is None:
        if data.ndim != 1:
            raise TypeError(f"{_FUNCTION}: data has {data.ndim} dimensions; give its level axis "
                            f"with axis=")
        axis = 0
    if not -data.ndim <= axis < data.ndim:
        raise np.exceptions.AxisError(axis, data.ndim)
    axis %= data.ndim
    if is_dask_array(data) or any(is_dask_array(v) for v in (ps, t_bot, phi_sfc)):
        import dask.array as da

        moved = (whole_axis(da.moveaxis(data, axis, -1), -1) if is_dask_array(data)
                 else np.moveaxis(data, axis, -1))
        result = apply_dask(block, "(n),(),(),()->(m)",
                            [moved, ps, t_bot, phi_sfc], output_sizes={"m": nout})
        return da.moveaxis(result, -1, axis)
    result = block(np.moveaxis(data, axis, -1), ps, t_bot, phi_sfc)
    return np.moveaxis(result, -1, axis)


def _on_dataarrays(block: Any, values: tuple[Any, ...], dim: str, new_dim: str,
                   shown: np.ndarray, symbol: str, kind_name: str, keep_attrs: bool | None,
                   name: str | None) -> Any:
    data = values[0]
    if not is_dataarray(data):
        raise TypeError(f"{_FUNCTION}: data must be a DataArray when other arguments are")
    if dim not in data.dims:
        raise ValueError(f"{_FUNCTION}: data has no dimension {dim!r} (its dimensions: "
                         f"{', '.join(map(str, data.dims))}); give the level dimension with dim=")
    for other, value in zip(("ps", "t_bot", "phi_sfc"), values[1:]):
        if is_dataarray(value) and dim in value.dims:
            raise ValueError(f"{_FUNCTION}: {other} must not have the level dimension {dim!r}")
    result = apply_xarray(block, [rechunk_core(data, dim), *values[1:]],
                          input_core_dims=[[dim], [], [], []], output_core_dims=[[new_dim]],
                          exclude_dims=frozenset({dim}), output_sizes={new_dim: shown.size})
    order = [new_dim if d == dim else d for d in data.dims]
    result = result.transpose(*order, ...)
    level_attrs = {"standard_name": "air_pressure", "long_name": "pressure", "units": symbol,
                   "positive": "down", "axis": "Z"}
    result = result.assign_coords({new_dim: (new_dim, shown, level_attrs)})
    attrs = dict(data.attrs) if _cf.keep_attrs_default(keep_attrs) else {
        key: data.attrs[key] for key in ("standard_name", "long_name", "units")
        if key in data.attrs}
    for key, value in _DEFAULT_ATTRS[kind_name].items():
        attrs.setdefault(key, value)
    return label(result, data.name if name is None else name, attrs)
