"""Vertical coordinates: below-ground extrapolation, layer thickness,
interpolation of columns to new levels, pressure on hybrid levels and model
levels to pressure levels in one call. Column functions take the level axis
as `axis=` (arrays) or `dim=` (DataArrays)."""

from __future__ import annotations

import operator
from collections import ChainMap
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from . import _blocks, _kernels
from ._blocks import interpolation as kernels
from ._generic import DESCRIPTIONS, function, level_dim
from ._metadata import PRESSURE_COORDINATE, SHARED_UNIT, Result, is_dataarray
from ._units import GEOPOTENTIAL, KELVIN, METRE, PASCAL

if TYPE_CHECKING:
    import numpy.typing as npt
    import xarray
    from numpy.typing import DTypeLike

# --- below-ground extrapolation ---

_EXTRAPOLATION = {"t_bot": KELVIN, "lev": None, "p_sfc": None, "ps": None,
                  "phi_sfc": GEOPOTENTIAL}
_PRESSURES = ("lev", "p_sfc", "ps")  # in any one unit


@function("(),(),(),(),()->()", units=_EXTRAPOLATION, same_unit=_PRESSURES,
          scalar=kernels.temp_extrapolate_scalar,
          result=Result("temperature extrapolated below ground", "K", "air_temperature"))
def temp_extrapolate(t_bot: Any, lev: Any, p_sfc: Any, ps: Any, phi_sfc: Any) -> Any:
    """Temperature in K at a pressure level below the ground.

    [[extrapolation_method]]

    [[broadcast]]

    Parameters
    ----------
    [[extrapolation_parameters]]
    [[keywords]]

    Returns
    -------
    [[returns]] Temperature at `lev`, K.

    See Also
    --------
    geo_height_extrapolate, hybrid_to_pressure

    References
    ----------
    [[trenberth]]

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.temp_extrapolate(288.0, 100000.0, 95000.0, 98000.0, 2000.0), 2))
    290.85
    """
    return _blocks.extrapolate(_kernels.temp_extrapolate, t_bot, lev, p_sfc, ps, phi_sfc)


@function("(),(),(),(),()->()", units=_EXTRAPOLATION, same_unit=_PRESSURES,
          scalar=kernels.geo_height_extrapolate_scalar,
          result=Result("geopotential height extrapolated below ground", "m",
                        "geopotential_height"))
def geo_height_extrapolate(t_bot: Any, lev: Any, p_sfc: Any, ps: Any, phi_sfc: Any) -> Any:
    """Geopotential height in m at a pressure level below the ground.

    [[extrapolation_method]]

    [[broadcast]]

    Parameters
    ----------
    [[extrapolation_parameters]]
    [[keywords]]

    Returns
    -------
    [[returns]] Geopotential height of `lev`, m.

    See Also
    --------
    temp_extrapolate, hybrid_to_pressure

    References
    ----------
    [[trenberth]]

    Examples
    --------
    >>> import tamrix
    >>> print(round(tamrix.geo_height_extrapolate(288.0, 100000.0, 95000.0, 98000.0, 2000.0), 2))
    32.43
    """
    return _blocks.extrapolate(_kernels.geo_height_extrapolate, t_bot, lev, p_sfc, ps,
                               phi_sfc)


# --- layer thickness ---


@function("(n),(),()->(n)", units={"pressure_lev": None, "ps": None, "pressure_top": None},
          same_unit=("pressure_lev", "ps", "pressure_top"), shared=("pressure_lev", "pressure_top"),
          renamed={"surface_pressure": "ps"}, new_dim="lev",
          result=Result("pressure thickness", SHARED_UNIT, name="delta_pressure"))
def delta_pressure(pressure_lev: Any, ps: Any, pressure_top: Any = None) -> Any:
    """Pressure thickness of the layer each level represents.

    Layer edges lie half-way between neighbouring levels; the uppermost layer is
    closed by `pressure_top` and the lowest layer above the ground by the
    surface pressure; levels below the ground get 0. A column may run top-first
    or surface-first (decided by its two end levels), and the result keeps its
    order. For n >= 1 levels the thicknesses of a column sum to
    ``ps - pressure_top``. For thickness from hybrid interface coefficients,
    which is exact, see `delta_pressure_hybrid`.

    All columns go to one call of the batched kernel
    ``tamrix._kernels.delta_pressure_columns``, in parallel on the worker
    pool; each column is bit-identical to its own
    ``_tamrix_rs.interpolation.delta_pressure_1d`` call.

    Parameters
    ----------
    pressure_lev : array_like or DataArray
        Level pressures: one 1-D set shared by all columns, or a field whose
        level axis is `axis` (`dim` for DataArrays). Any pressure unit, the same
        for all three pressure arguments (DataArrays must declare the same
        ``units``; pint quantities are converted to the first one's).
    ps : float, array_like or DataArray
        Surface pressure, one value per column: the shape of `pressure_lev`
        without its level axis, or broadcastable to it. (Formerly
        `surface_pressure`, which still works with a DeprecationWarning.)
    pressure_top : float, array_like or DataArray, optional
        Top of the uppermost layer, one value or one per column. Default: the
        smallest level pressure of each column.
    [[keywords]]

    Returns
    -------
    ndarray, dask array, DataArray or Quantity
        Thickness of each level's layer, in the unit of the pressures, with the
        shape of the broadcast columns plus the level axis. DataArrays get the
        name "delta_pressure" and ``long_name`` and ``units`` attributes.

    See Also
    --------
    delta_pressure_hybrid : exact thickness from interface coefficients.

    References
    ----------
    [[trenberth]]

    Examples
    --------
    >>> import numpy as np, tamrix
    >>> print(tamrix.delta_pressure(np.array([100.0, 200.0, 300.0, 400.0, 500.0]), 450.0))
    [ 50. 100. 100. 100.   0.]
    >>> levels = np.array([100.0, 200.0, 300.0])
    >>> print(tamrix.delta_pressure(levels, np.array([250.0, 1000.0]), 0.0, axis=-1))
    [[150. 100.   0.]
     [150. 100. 750.]]
    """
    return _blocks.thickness(pressure_lev, ps, pressure_top)


def _layers(coordinates: dict[str, Any]) -> dict[str, int]:
    interfaces = coordinates["hyai"].size
    if interfaces < 1:
        raise ValueError("delta_pressure_hybrid: hyai and hybi must be 1-D with one entry per "
                         "interface (number of layers + 1)")
    return {"l": interfaces - 1}


_HYBRID: dict[str, Any] = {"units": {"hya": None, "hyb": None, "ps": None, "p0": None},
           "same_unit": ("ps", "p0"), "dtype_from": ("ps",), "new_dim": "lev",
           "renamed": {"psfc": "ps", "dim": "new_dim"}}


@function("()->(l)", **_HYBRID | {"units": {"hyai": None, "hybi": None, "ps": None, "p0": None}},
          coordinates={"hyai": "k", "hybi": "k", "p0": ""}, sizes=_layers,
          result=Result("pressure thickness", SHARED_UNIT, name="delta_pressure"))
def delta_pressure_hybrid(hyai: Any, hybi: Any, ps: Any, p0: Any) -> Any:
    """Pressure thickness of hybrid layers from their interface coefficients.

    Layer k lies between interfaces k and k + 1, whose pressures are
    hyai·p0 + hybi·ps (computed as `pressure_at_hybrid_levels` computes
    them); its thickness is the absolute difference of the two. This is the
    exact thickness of the model's layers, unlike `delta_pressure`, which places
    layer edges half-way between level pressures. The thicknesses of a column
    sum to the pressure difference between the outermost interfaces (ps
    minus the model top for the usual coefficients).

    Parameters
    ----------
    hyai, hybi : array_like or DataArray
        The hybrid coefficients of the interfaces, 1-D, of equal length (one
        more than there are layers), top-first or surface-first.
    [[hybrid_surface]]
    [[keywords]]

    Returns
    -------
    ndarray, dask array, DataArray or Quantity
        Thickness of each layer, in the unit of `ps`, in the order of the
        interfaces. DataArrays get the name "delta_pressure" and ``long_name``
        and ``units`` attributes.

    See Also
    --------
    delta_pressure, pressure_at_hybrid_levels

    References
    ----------
    [[simmons]] 1

    Examples
    --------
    >>> import numpy as np, tamrix
    >>> hyai, hybi = np.array([0.0, 0.1, 0.05, 0.0]), np.array([0.0, 0.0, 0.5, 1.0])
    >>> print(tamrix.delta_pressure_hybrid(hyai, hybi, np.array([100000.0, 90000.0]), 100000.0))
    [[10000. 10000.]
     [45000. 40000.]
     [45000. 40000.]]
    """
    return _blocks.hybrid_thickness(ps, hyai, hybi, p0)


# --- interpolation of columns to new levels ---


@function("(n),(n)->(m)", units={"data": None, "coord": None, "new_levels": None},
          coordinates={"new_levels": "m"}, same_unit=("coord", "new_levels"), shared=("coord",),
          dtype_from=("data", "coord"), renamed={"log": "method"}, targets="new_levels",
          result=Result(source="data"))
def interp_to_levels(data: Any, coord: Any, new_levels: Any,
                     *, method: Literal["linear", "log"] = "linear") -> Any:
    """Linear interpolation of every column of data to common target levels.

    Piecewise linear in the coordinate as given (``method="linear"``) or in
    its natural logarithm (``method="log"``, with the C library's log, as the
    kernels take it); a column may run either way. Targets outside a
    column's range give NaN. All columns go to the kernel in one call (the
    level axis is moved last and made contiguous; no Python loop). With dask
    the level axis is rechunked into one chunk automatically, and the other
    axes into smaller chunks so that a chunk holds about as many bytes as the
    largest input chunk (never less than one whole column).

    Parameters
    ----------
    data : array_like or DataArray
        Values on levels along `axis` (`dim` for DataArrays), e.g. a (time,
        level, lat, lon) field, in any unit (the result's).
    coord : array_like or DataArray
        The vertical coordinate of each value (pressure, height, ...): the shape
        of `data`, or 1-D along the level axis when all columns share it.
    new_levels : array_like or DataArray
        1-D targets, in the unit of `coord` (pint quantities and pint-backed
        DataArrays for `coord` and `new_levels` are converted to one unit);
        the result's new level coordinate, as given.
    method : {"linear", "log"}, optional
        Interpolate linearly in `coord` (default) or in its logarithm.
        (``log=True`` still works, with a DeprecationWarning.)
    [[keywords]]

    Returns
    -------
    ndarray, dask array, DataArray or Quantity
        `data` with its level axis replaced by `new_levels`, NaN outside each
        column's range. DataArrays keep the data's name and attributes.

    See Also
    --------
    interpolate_columns : the kernel's flat arguments, checked.
    hybrid_to_pressure : from hybrid model levels, with extrapolation.

    References
    ----------
    [[trenberth]]

    Examples
    --------
    >>> import numpy as np, tamrix
    >>> data = np.array([[10.0, 20.0, 30.0]])          # one column, 3 levels
    >>> levels = np.array([1000.0, 850.0, 500.0])     # hPa, shared by all columns
    >>> print(tamrix.interp_to_levels(data, levels, [900.0, 700.0], axis=1))
    [[16.66666667 24.28571429]]
    """
    if method == "log":
        coord, new_levels = _blocks.log(coord), _blocks.log(new_levels)
    return _blocks.interpolate(data, coord, new_levels)


def interpolate_columns(xp_flat: npt.ArrayLike, data_flat: npt.ArrayLike,
                        new_levels: npt.ArrayLike, nlev_in: int, ncols: int, *,
                        dtype: npt.DTypeLike | None = None) -> npt.NDArray[np.floating[Any]]:
    """Linear interpolation of columns given one after the other, checked.

    The arguments of ``_tamrix_rs.interpolation.interpolate_columns`` (any
    real dtype, lists too), with the counts checked against the data: the
    kernel trusts them (one too small ignores the rest of the data, one too
    large is an internal failure); here counts that do not describe the
    arrays exactly raise ValueError naming both. Values are the kernel's bit
    for bit; it is `interp_to_levels` on the columns as rows.

    Parameters
    ----------
    xp_flat, data_flat : array_like
        1-D, nlev_in * ncols values each: the coordinate (pressure, height,
        ...) and the values of column j at positions j * nlev_in ...
        (j + 1) * nlev_in - 1. A column may run either way.
    new_levels : array_like
        1-D targets, in the unit of `xp_flat`.
    nlev_in : int
        Number of levels per column.
    ncols : int
        Number of columns.
    dtype : data-type, optional
        Type of the result's values (default: the result type of `xp_flat`
        and `data_flat`: float32 in, float32 out).

    Returns
    -------
    ndarray
        The nlev_out * ncols results, column after column (NaN outside a
        column's range).

    References
    ----------
    [[trenberth]]

    Examples
    --------
    >>> import tamrix
    >>> xp = [1000.0, 850.0, 500.0, 1000.0, 700.0, 400.0]   # two columns of 3 levels
    >>> data = [10.0, 20.0, 30.0, 1.0, 2.0, 3.0]
    >>> print(tamrix.interpolate_columns(xp, data, [850.0], nlev_in=3, ncols=2))
    [20.   1.5]
    """
    function, counts = "interpolate_columns", []
    for name, count in (("nlev_in", nlev_in), ("ncols", ncols)):
        try:
            counts.append(operator.index(count))
        except TypeError:
            raise TypeError(f"{function}: {name} must be an integer, not "
                            f"{type(count).__name__}") from None
        if counts[-1] < 0:
            raise ValueError(f"{function}: {name} must not be negative (got {count})")
    nlev, columns = counts
    arrays = [np.asarray(xp_flat), np.asarray(data_flat)]
    for name, array in zip(("xp_flat", "data_flat"), arrays):
        if array.ndim != 1:
            raise ValueError(f"{function}: {name} must be one-dimensional (got shape "
                             f"{array.shape}); for arrays with a level axis use "
                             f"tamrix.interp_to_levels")
        if array.size != nlev * columns:
            raise ValueError(f"{function}: {name} has {array.size} values, but nlev_in * ncols = "
                             f"{nlev} * {columns} = {nlev * columns}")
    if np.ndim(new_levels) > 1:
        raise ValueError(f"{function}: new_levels must be one-dimensional")
    if nlev == 0 and columns > 0:
        raise ValueError(f"{function}: nlev_in is 0, but each of the {columns} columns needs at "
                         f"least one level")
    result = interp_to_levels(arrays[1].reshape(columns, nlev), arrays[0].reshape(columns, nlev),
                              new_levels, axis=1, dtype=dtype)
    return np.asarray(result).reshape(-1)


# --- pressure on hybrid levels ---


@function("()->(k)", **_HYBRID, coordinates={"hya": "k", "hyb": "k", "p0": ""},
          scalar=kernels.pressure_at_hybrid_level_scalar,
          result=Result("pressure at hybrid levels", SHARED_UNIT, "air_pressure", "pressure"))
def pressure_at_hybrid_levels(hya: Any, hyb: Any, ps: Any, p0: Any) -> Any:
    """Pressure hya·p0 + hyb·ps on hybrid sigma-pressure levels.

    Each level's pressure is a fixed part hya·p0 plus a part hyb·ps that
    follows the surface pressure, computed exactly as
    ``_tamrix_rs.interpolation.pressure_at_hybrid_levels_array`` computes it.
    The kind of `ps` decides the kind of the result.

    Parameters
    ----------
    hya, hyb : float, array_like or DataArray
        The hybrid coefficients: numbers (one level, and no level axis in the
        result) or 1-D arrays of equal length (one entry per level). The
        coordinate of a DataArray `hya` becomes the result's.
    [[hybrid_surface]]
    [[keywords]]

    Returns
    -------
    float, NumPy scalar, ndarray, dask array, DataArray or Quantity
        Pressure, in the unit of `ps` and `p0`. DataArrays get the name
        "pressure" and ``standard_name``, ``long_name`` and ``units``
        attributes.

    See Also
    --------
    delta_pressure_hybrid, hybrid_to_pressure

    References
    ----------
    [[simmons]] 1

    Examples
    --------
    >>> import numpy as np, tamrix
    >>> hyam, hybm = np.array([0.05, 0.025]), np.array([0.25, 0.75])
    >>> print(tamrix.pressure_at_hybrid_levels(hyam, hybm, np.array([100000.0, 90000.0]), 100000.0))
    [[30000. 27500.]
     [77500. 70000.]]
    """
    return _blocks.hybrid_pressure(ps, hya, hyb, p0)


# --- model levels to pressure levels ---

# The kind of variable, and what its data must be in.
_KINDS = {"air_temperature": "temperature", "geopotential_height": "geopotential"}
_DATA_UNITS = {"temperature": KELVIN, "geopotential": METRE}
# CF attributes a result of each kind gets when its data has none.
_KIND_ATTRS = {kind: {"standard_name": name, "long_name": name.replace("_", " "), "units": unit}
               for kind, name, unit in (("temperature", "air_temperature", "K"),
                                        ("geopotential", "geopotential_height", "m"))}


def _variable(arguments: dict[str, Any], common: dict[str, Any]) -> dict[str, Any]:
    """The coordinate (`_from_coordinates`), the kind of variable (from the
    data's standard_name unless given), what extrapolating it needs, and
    t_bot from a whole temperature field."""
    _from_coordinates(arguments, common)
    data, variable = arguments["data"], arguments["variable"]
    if variable is None:
        standard_name = data.attrs.get("standard_name") if is_dataarray(data) else None
        variable = "temperature" if standard_name is None else _KINDS.get(standard_name, "other")
    arguments["variable"] = variable
    if arguments["extrapolate"] and variable != "other" and arguments["phi_sfc"] is None:
        raise TypeError(f"hybrid_to_pressure: extrapolating a {variable} needs phi_sfc (the "
                        f"surface geopotential, m2 s-2)")
    t_bot = arguments["t_bot"]
    if arguments["extrapolate"] and variable == "geopotential" and t_bot is None:
        raise TypeError("hybrid_to_pressure: extrapolating geopotential height needs t_bot (the "
                        "temperature at the lowest model level, K)")
    if is_dataarray(t_bot) and is_dataarray(data) and t_bot.ndim == data.ndim:
        # A whole temperature field: its lowest model level.
        hybm = np.asarray(getattr(arguments["hybm"], "values", arguments["hybm"]))
        dim = common["dim"] or level_dim(DESCRIPTIONS["hybrid_to_pressure"], arguments, [data],
                                         {"n": hybm.size})
        arguments["t_bot"] = t_bot.isel({dim: int(np.argmax(hybm))}, drop=True)
    return {"data": _DATA_UNITS.get(variable)}


def _from_coordinates(arguments: dict[str, Any], common: dict[str, Any]) -> None:
    """Without hyam and hybm: they, p0 and (unless given) ps from the hybrid
    coordinate among the data's coordinates, then those of `coordinates`,
    read as the command line reads a file (`_hybrid_coordinate`)."""
    data, dataset = arguments["data"], arguments["coordinates"]
    arguments["coordinates"] = None  # never carried into the blocks (or a dask graph)
    given = [arguments[n] is not None for n in ("hyam", "hybm")]
    if all(given) and dataset is None:
        arguments["p0"] = 100000.0 if arguments["p0"] is None else arguments["p0"]
        if arguments["ps"] is None:
            raise TypeError("hybrid_to_pressure: missing required argument 'ps'")
        return
    if any(given) or arguments["p0"] is not None or not is_dataarray(data):
        raise TypeError("hybrid_to_pressure: give ps, hyam, hybm (and p0), or none of hyam, "
                        "hybm and p0 and a DataArray whose coordinates (or coordinates=, a "
                        "Dataset) hold its hybrid coordinate")
    from ._hybrid_coordinate import CoordinateError, decode

    lookup = ChainMap(dict(data.coords), {} if dataset is None else dataset)
    try:
        found = decode(lookup, tuple(map(str, data.dims)), dim=common["dim"])
    except CoordinateError as error:
        searched = "the data's coordinates" + (" and coordinates=" if dataset is not None else
                                               "; pass the Dataset as coordinates=")
        raise ValueError(f"hybrid_to_pressure: {error} ({searched})") from None
    common["dim"] = found.dim
    arguments.update(hyam=found.hya, hybm=found.hyb, p0=found.p0)
    if arguments["ps"] is None:
        import xarray as xr

        ps = lookup[found.ps.name]
        extra = [d for d in ps.dims if d not in data.dims and ps.sizes[d] == 1]  # ERA5's lnsp
        arguments["ps"] = xr.apply_ufunc(found.ps.pascals, ps.squeeze(extra, drop=True),
                                         dask="parallelized", output_dtypes=[np.float64]
                                         ).assign_attrs(units="Pa")


@function("(n),(),(),()->(m)",
          units={"data": None, "ps": PASCAL, "hyam": None, "hybm": None, "new_levels": PASCAL,
                 "p0": PASCAL, "t_bot": KELVIN, "phi_sfc": GEOPOTENTIAL},
          coordinates={"hyam": "n", "hybm": "n", "new_levels": "m", "p0": ""},
          dtype_from=("data",), prepare=_variable, new_dim="plev", targets="new_levels",
          target_attrs=PRESSURE_COORDINATE, required=("new_levels",), own_layout=True,
          result=Result(source="data", defaults=lambda a: _KIND_ATTRS.get(a["variable"], {})))
def hybrid_to_pressure(data: Any, ps: Any = None, hyam: Any = None, hybm: Any = None,
                       new_levels: Any = None, p0: Any = None, *,
                       method: Literal["log", "linear"] = "log", extrapolate: bool = False,
                       variable: Literal["temperature", "geopotential", "other"] | None = None,
                       t_bot: Any = None, phi_sfc: Any = None,
                       coordinates: xarray.Dataset | None = None, dtype: DTypeLike | None = None
                       ) -> Any:
    """Data on hybrid sigma-pressure levels interpolated to pressure levels.

    The pressure of model level k is hyam[k]·p0 + hybm[k]·ps, column by column;
    the data are interpolated to `new_levels` linearly in ln(p) (``method="log"``,
    default, with the C library's log) or in p (``method="linear"``). Targets
    outside a column's model levels are NaN, unless ``extrapolate=True``: then
    every target below the lowest model level, between it and the surface as
    well as below the surface, is extrapolated from the lowest model level
    according to `variable`, so that the profile is continuous there:
    temperature with `temp_extrapolate`, geopotential height with
    `geo_height_extrapolate` (from `t_bot`), other variables keep the lowest
    level's value. This is the scheme of Trenberth et al. (1993) that ECMWF's
    post-processing applies from the lowest model level.

    Each block is one call of the remap engine in the data's own layout and
    dtype, bit-identical to composing the kernels.

    The coefficients may come from the data instead: without `hyam`, `hybm`
    and `p0`, a DataArray's hybrid coordinate is read from its coordinates,
    then from those of `coordinates` (a Dataset), as ``tamrix
    hybrid-to-pressure`` reads a file: CF ``formula_terms`` (``a: b: p0: ps:``
    or ``ap: b: ps:``), CAM's ``hyam``, ``hybm``, ``P0``, ``PS``, ECHAM's
    ``hyam`` in Pa and ``aps``, or ERA5's ``lnsp``, each converted from its
    own ``units``. A coordinate that cannot be decoded is a ValueError naming
    what is missing.

    Parameters
    ----------
    data : array_like or DataArray
        Values on model levels, level dimension `dim` (DataArrays) or axis
        `axis` (NumPy and dask arrays).
    ps : float, array_like or DataArray, optional
        Surface pressure per column, Pa (or a unit declared by a ``units``
        attribute or pint). Needed with `hyam` and `hybm`; else read with them.
    hyam, hybm : array_like or DataArray, optional
        Hybrid coefficients of the model levels (1-D, equal length). Not
        given: read from the coordinates of `data` (a DataArray).
    new_levels : array_like or DataArray
        1-D target pressures, Pa unless declared otherwise; the result has them
        as its new level dimension `new_dim` (at the place of `dim`), labelled
        as given, with CF air_pressure attributes.
    p0 : float or DataArray, optional
        Reference pressure, Pa unless declared otherwise (default 100000 with
        `hyam` and `hybm`; else read with them).
    method : {"log", "linear"}, optional
        Interpolation in ln(p) (default) or in p.
    extrapolate : bool, optional
        Fill targets below the lowest model level (default False: NaN).
    variable : {"temperature", "geopotential", "other"}, optional
        How to extrapolate: "temperature" (data in K) with `temp_extrapolate`
        from the data's lowest level and `phi_sfc`; "geopotential"
        (geopotential height, m) with `geo_height_extrapolate`, which needs
        `t_bot` and `phi_sfc`; "other": the lowest level's value. None takes the
        kind from a DataArray's ``standard_name`` (air_temperature,
        geopotential_height, anything else: other) and is "temperature" for
        unlabelled data.
    t_bot : float, array_like or DataArray, optional
        Temperature at the lowest model level, K, or the whole temperature field
        (needed for geopotential height; temperature starts from its own
        lowest level).
    phi_sfc : float, array_like or DataArray, optional
        Surface geopotential, m2 s-2 (needed to extrapolate temperature or
        geopotential height).
    coordinates : Dataset, optional
        Where to look for the hybrid coordinate after the data's own
        coordinates: the Dataset `data` comes from (with
        ``decode_coords="all"`` xarray makes CF's terms the data's own).
    [[keywords]]

    Returns
    -------
    ndarray, dask array, DataArray or Quantity
        `data` on the pressure levels, in the dtype of `data` (float32 in,
        float32 out) and the unit its values are in (K and m for temperature
        and geopotential height, else the data's). DataArray results keep
        the data's attributes (only ``standard_name``, ``long_name`` and
        ``units`` with ``keep_attrs=False``).

    See Also
    --------
    interp_to_levels, pressure_at_hybrid_levels, temp_extrapolate,
    geo_height_extrapolate

    References
    ----------
    [[trenberth]]
    [[simmons]] 2

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
    return _blocks.hybrid_to_pressure(data, ps, t_bot, phi_sfc, hyam=hyam, hybm=hybm, p0=p0,
                                      targets=new_levels, log_p=method == "log",
                                      extrapolate=extrapolate, variable=variable or "other",
                                      dtype=np.dtype(dtype))
