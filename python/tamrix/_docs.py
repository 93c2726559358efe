"""Paragraphs that many of the package's docstrings share, written once."""

import re
from collections.abc import Callable
from typing import Any, TypeVar

F = TypeVar("F", bound=Callable[..., Any])

_PARAGRAPHS = {
    "broadcast": """\
All value arguments broadcast together (DataArrays by dimension name).
DataArray and pint inputs are converted to the required units first (a
``units`` attribute naming another unit is converted with pint, an
impossible one raises ValueError); plain numbers and arrays are taken to be
in the units stated.""",
    "dtype": """\
dtype : data-type, optional
    Type of the result's values. Default: the NumPy result type of the array
    arguments (float32 in, float32 out; Python numbers and lists do not
    count), float64 for integer or boolean input. The kernel computes in
    float64 either way; inputs and results that need converting are converted
    block by block, never whole.""",
    "kinds": """\
Python numbers give a float, NumPy scalars a NumPy scalar, arrays and
sequences an ndarray of their broadcast shape, dask arrays a lazy dask
array, DataArrays a DataArray (dimensions and coordinates kept, CF
attributes set), pint quantities a Quantity.""",
    "extrapolation_method": """\
A surface temperature is estimated from `t_bot` with the standard lapse
rate of 6.5 K/km, then a series in ln(lev / ps) is evaluated, with
corrections for high terrain and warm surfaces (the ECMWF scheme of
Trenberth et al. [1]_).""",
    "extrapolation_parameters": """\
Parameters
----------
t_bot : float or array_like
    Temperature at the lowest model level, K.
lev : float or array_like
    Pressure of the level to extrapolate to (below the ground), in the unit
    of `p_sfc` and `ps`. Give it an axis of its own (e.g.
    ``levels[:, None, None]`` against (lat, lon) fields) to extrapolate to
    several levels at once; arrays cost one kernel call per distinct level.
p_sfc : float or array_like
    Pressure of the lowest model level, the level of `t_bot`.
ps : float or array_like
    Surface pressure.
phi_sfc : float or array_like
    Surface geopotential, m2 s-2 (not a height).""",
    "trenberth": """\
.. [1] K. E. Trenberth, J. C. Berry and L. E. Buja, "Vertical
       interpolation and truncation of model-coordinate data", NCAR
       Technical Note NCAR/TN-396+STR, 1993.""",
}

# A line of its own holding a paragraph name (not, say, a printed nested list).
_MARKER = re.compile(r"( *)\[\[([a-z_]+)\]\]")


def shared_docs(function: F) -> F:
    """Fills each ``[[name]]`` line of the docstring with that paragraph, indented alike."""
    lines: list[str] = []
    for line in (function.__doc__ or "").split("\n"):
        marker = _MARKER.fullmatch(line)
        if marker:
            indent, name = marker.groups()
            lines.extend(indent + text for text in _PARAGRAPHS[name].split("\n"))
        else:
            lines.append(line)
    function.__doc__ = "\n".join(lines)
    return function
