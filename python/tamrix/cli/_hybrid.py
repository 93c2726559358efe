"""`tamrix hybrid-to-pressure`: variables on hybrid model levels to pressure
levels, streamed block by block with the remap engine.

`Remap` is the whole description of the work, small and picklable: a block
is computed from it and the block's index alone (`Remap.compute`), in this
process or on a dask.distributed worker. Each block reads its surface
pressure, works out the model levels that can bracket a target anywhere in
the block, reads only those, and remaps every variable with one call.
"""

from __future__ import annotations

import functools
import warnings
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from .. import _hybrid_coordinate as hc
from .. import _kernels
from . import _remap, _stream
from ._files import Source, Variable
from ._output import UsageError
from ._stream import Block

if TYPE_CHECKING:
    from .._blocks import Array

# Variables that hold the surface geopotential (m2 s-2) or the surface height
# (m), by standard name, then by name.
SURFACE_GEOPOTENTIAL = ("surface_geopotential",)
SURFACE_ALTITUDE = ("surface_altitude",)
PHI_NAMES = ("phis", "PHIS", "orog", "zs", "topo")
TEMPERATURE_NAMES = ("ta", "t", "T")
PLAUSIBLE_PA = 120000.0
LOW_SURFACE_PA = 20000.0


class Conversion(NamedTuple):
    """Values from a file unit to the unit the engine needs."""

    source: str
    target: Any  # a tamrix._units.Unit
    where: str

    def __call__(self, values: Array) -> Array:
        from .. import _units

        return _units.convert_array(values, self.source, self.target,  # type: ignore[no-any-return]
                                    self.where)


class Field(NamedTuple):
    """A variable read per block and turned into float64 by `factor`."""

    path: str
    fmt: str | None
    name: str
    factor: float = 1.0
    level: int | None = None  # index along the level dimension, if it has one
    conversion: Conversion | None = None


class Output(NamedTuple):
    name: str
    kind: _remap.Kind
    dtype: str
    fill: Any
    # Extrapolated geopotential heights (m) back to geopotential (m2 s-2).
    height_to_geopotential: bool = False
    conversion: Conversion | None = None


class Remap(NamedTuple):
    path: str
    fmt: str | None
    dims: tuple[str, ...]
    coordinate: hc.HybridCoordinate
    outputs: tuple[Output, ...]
    targets: Array
    log: bool
    extrapolate: bool
    phi: Field | None = None
    t_bot: Field | None = None
    surface: tuple[str, ...] = ()

    @property
    def free_dims(self) -> tuple[str, ...]:
        return tuple(d for d in self.dims if d != self.coordinate.dim)

    def compute(self, block: Block) -> tuple[list[Array], tuple[float, float, int, int]]:
        """The outputs of one block, (outer, targets, inner) each, and the
        block's surface pressure statistics (min, max, values below 20,000 Pa,
        values)."""
        source = open_source(self.path, self.fmt)
        free = self.free_dims
        position = self.dims.index(self.coordinate.dim)
        shape = block.shape(free)
        outer, inner = int(np.prod(shape[:position])), int(np.prod(shape[position:]))
        ps_variable = source[self.coordinate.ps.name]
        ps = self.coordinate.ps.pascals(_stream.read_field(ps_variable, block, free,
                                                           "the surface pressure"))
        ps = np.ascontiguousarray(ps, dtype=np.float64).reshape(outer, inner)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN blocks
            ps_min, ps_max = float(np.nanmin(ps, initial=np.inf)), float(np.nanmax(
                ps, initial=-np.inf))
        levels = _remap.needed_levels(self.coordinate, ps_min, ps_max, self.targets,
                                      self.extrapolate)
        data = [self._read_levels(source[o.name], block, levels, outer, inner, o.conversion)
                for o in self.outputs]
        results = [np.empty((outer, self.targets.size, inner), dtype=o.dtype)
                   for o in self.outputs]
        phi = self._field(self.phi, block, outer, inner, "the surface height")
        t_bot = self._field(self.t_bot, block, outer, inner,
                            "the temperature at the lowest model level")
        hya, hyb = self.coordinate.hya[levels], self.coordinate.hyb[levels]
        _kernels.remap_hybrid_to_pressure(
            data, results, [o.kind for o in self.outputs], ps, hya, hyb, self.coordinate.p0,
            self.targets, log=self.log, extrapolate=self.extrapolate, phi_sfc=phi, t_bot=t_bot)
        if self.extrapolate and any(o.height_to_geopotential for o in self.outputs):
            self._heights_to_geopotential(results, ps)
        low = int(np.count_nonzero(ps < LOW_SURFACE_PA))
        return results, (ps_min, ps_max, low, int(np.count_nonzero(~np.isnan(ps))))

    def _read_levels(self, variable: Variable, block: Block, levels: Array, outer: int,
                     inner: int, conversion: Conversion | None) -> Array:
        """The block of `variable` at `levels`, (outer, len(levels), inner)."""
        pieces = [variable.read(block.select(variable.dims, slice(a, b)))
                  for a, b in _remap.runs(levels)]
        if len(pieces) == 1:
            values = pieces[0].reshape(outer, levels.size, inner)
        else:
            values = np.concatenate([p.reshape(outer, -1, inner) for p in pieces], axis=1)
        if conversion is not None:
            values = conversion(values)
        if values.dtype.kind != "f":
            values = values.astype(np.float64)
        return np.ascontiguousarray(values)

    def _field(self, field: Field | None, block: Block, outer: int, inner: int, what: str
               ) -> Array | None:
        if field is None:
            return None
        variable = open_source(field.path, field.fmt)[field.name]
        if field.level is None:
            values = _stream.read_field(variable, block, self.free_dims, what)
        else:
            values = variable.read(block.select(variable.dims, field.level))
        values = np.asarray(values, dtype=np.float64)
        if field.conversion is not None:
            values = field.conversion(values)
        if field.factor != 1.0:
            values = values * field.factor
        return np.ascontiguousarray(values).reshape(outer, inner)

    def _heights_to_geopotential(self, results: list[Array], ps: Array) -> None:
        lowest = int(np.argmax(self.coordinate.hyb * 1e5 + self.coordinate.hya *
                               self.coordinate.p0))
        p_low = self.coordinate.hyb[lowest] * ps + self.coordinate.hya[lowest] * self.coordinate.p0
        for output, result in zip(self.outputs, results):
            if output.height_to_geopotential:
                for j, target in enumerate(self.targets.tolist()):
                    below = target > p_low
                    result[:, j][below] = result[:, j][below] / _remap.INVERSE_GRAVITY


@functools.cache
def open_source(path: str, fmt: str | None) -> Source:
    """One open Source per file and process (workers reuse theirs)."""
    return Source(path, fmt)


# --- what each variable is ---


def _standard_name(variable: Variable) -> str | None:
    value = variable.attrs.get("standard_name")
    return value if isinstance(value, str) else None


def _units_text(variable: Variable) -> str | None:
    value = variable.attrs.get("units")
    return value.strip() if isinstance(value, str) and value.strip() else None


def infer_kind(variable: Variable) -> _remap.Kind:
    """temperature, geopotential (height, or geopotential in m2 s-2) or
    plain: from the standard_name, else the units."""
    from .. import _units

    standard_name = _standard_name(variable)
    if standard_name == "air_temperature":
        return "temperature"
    if standard_name in ("geopotential_height", "geopotential"):
        return "geopotential"
    if standard_name is not None:
        return "plain"
    units = _units_text(variable)
    if units is None:
        return "plain"
    if _units.KELVIN.matches(units):
        return "temperature"
    if _units.METRE.matches(units) or _units.GEOPOTENTIAL.matches(units) or units == "gpm":
        return "geopotential"
    return "plain"


def output_for(variable: Variable, kind: _remap.Kind, dtype: str | None
               ) -> tuple[Output, dict[str, Any]]:
    """How `variable` is remapped, and the attributes of its result."""
    from .. import _units

    attrs = dict(variable.attrs)
    units = _units_text(variable)
    conversion = None
    to_geopotential = False
    if kind == "temperature" and units is not None and not _units.KELVIN.matches(units):
        conversion = _conversion(variable, units, _units.KELVIN)
        attrs["units"] = "K"
    elif kind == "geopotential" and units is not None:
        if _units.GEOPOTENTIAL.matches(units):
            to_geopotential = True
        elif not (_units.METRE.matches(units) or units == "gpm"):
            conversion = _conversion(variable, units, _units.METRE)
            attrs["units"] = "m"
    decoded = variable.dtype if variable.dtype.kind == "f" else np.dtype(np.float64)
    out_dtype = np.dtype(dtype) if dtype is not None else decoded
    if conversion is not None and dtype is None:
        out_dtype = np.dtype(np.float64) if decoded.itemsize > 4 else decoded
    return Output(variable.name, kind, out_dtype.str, _stream.output_fill(variable, out_dtype),
                  to_geopotential, conversion), attrs


def _conversion(variable: Variable, units: str, unit: Any) -> Conversion:
    from .. import _units

    where = f"{variable.source.path}: {variable.name!r}"
    try:
        _units.check(units, unit, where)
    except ValueError as error:
        raise UsageError(str(error)) from None
    return Conversion(units, unit, where)


def find_temperature(sources: list[Source], dims: tuple[str, ...], given: str | None
                     ) -> Variable | None:
    """The temperature on model levels (for extrapolating geopotential)."""
    for source in sources[:1]:
        if given is not None:
            if given not in source:
                raise UsageError(f"{source.path} has no variable {given!r} for the temperature")
            return source[given]
        for name, variable in source.items():
            if variable.dims == dims and _standard_name(variable) == "air_temperature":
                return variable
        for name in TEMPERATURE_NAMES:
            if name in source and source[name].dims == dims:
                return source[name]
    return None


def find_surface_height(sources: list[Source], level_dim: str, given: str | None
                        ) -> tuple[Variable, float] | None:
    """The surface geopotential or height, and the factor to m2 s-2."""
    from .. import _units

    for source in sources:
        candidates: list[Variable] = []
        if given is not None:
            if given in source:
                candidates = [source[given]]
        else:
            candidates = [v for v in source.values() if level_dim not in v.dims and (
                _standard_name(v) in SURFACE_GEOPOTENTIAL + SURFACE_ALTITUDE)]
            candidates += [source[n] for n in PHI_NAMES if n in source
                           and level_dim not in source[n].dims]
        for variable in candidates:
            units = _units_text(variable)
            by_name = variable.name in ("orog", "zs", "topo") or \
                _standard_name(variable) in SURFACE_ALTITUDE
            if units is None:
                return variable, (1.0 / _remap.INVERSE_GRAVITY) if by_name else 1.0
            if _units.GEOPOTENTIAL.matches(units):
                return variable, 1.0
            if _units.METRE.matches(units):
                return variable, 1.0 / _remap.INVERSE_GRAVITY
            raise UsageError(f"{source.path}: the surface height {variable.name!r} has units "
                             f"{units!r}; expected m2 s-2 (geopotential) or m (height)")
    if given is not None:
        raise UsageError(f"no variable {given!r} for the surface geopotential in "
                         f"{', '.join(s.path for s in sources)}")
    return None


# --- checks of plausibility ---


def merge_stats(total: list[float], block: tuple[float, float, int, int]) -> list[float]:
    """Surface pressure statistics of the blocks so far: min, max, values
    below 20,000 Pa, values."""
    return [min(total[0], block[0]), max(total[1], block[1]), total[2] + block[2],
            total[3] + block[3]]


def check_levels(coordinate: hc.HybridCoordinate, ps_min: float, ps_max: float) -> None:
    if not (np.isfinite(ps_min) and np.isfinite(ps_max)):
        return
    low, high = coordinate.pressure_range(ps_min, ps_max)
    top, bottom = float(low.min()), float(high.max())
    if top < 0.0 or bottom > PLAUSIBLE_PA:
        _stream.warn(f"the model levels' pressures (hybrid coefficients, {coordinate.source}, "
                     f"p0 = {coordinate.p0:g} Pa, surface pressure {coordinate.ps.name!r}) range "
                     f"from {top:.6g} to {bottom:.6g} Pa, outside a plausible atmosphere (0 to "
                     f"120,000 Pa): check the units of the coefficients, p0 and "
                     f"{coordinate.ps.name!r}")


def check_surface(name: str, ps_min: float, ps_max: float, low: float, count: float) -> None:
    if count and (ps_min < 0.0 or ps_max > PLAUSIBLE_PA):
        _stream.warn(f"the surface pressure {name!r} ranges from {ps_min:.6g} to {ps_max:.6g} Pa, "
                     f"outside a plausible atmosphere (0 to 120,000 Pa): check its units")
    elif count and low > count / 2:
        _stream.warn(f"the surface pressure {name!r} is mostly below 20,000 Pa (taken as Pa): "
                     f"is it in hPa without a units attribute?")
