"""Paragraphs that many of the package's docstrings share, written once, and
the keywords every function takes, documented here for all of them."""

import re
from typing import Any

_PARAGRAPHS = {
    "broadcast": """\
All value arguments broadcast together (DataArrays by dimension name).
DataArray and pint inputs are converted to the required units first (a
``units`` attribute naming another unit is converted with pint, an
impossible one raises ValueError); plain numbers and arrays are taken to be
in the units stated.""",
    "returns": """\
float, ndarray, DataArray or Quantity
    {}
    Python numbers give a float, NumPy scalars a NumPy scalar, arrays and
    sequences an ndarray of their broadcast shape, dask arrays a lazy dask
    array, DataArrays a DataArray (dimensions, coordinates and their
    attributes kept, CF attributes set), pint quantities a Quantity.""",
    "humidity_parameters": """\
temperature : float or array_like
    Air temperature, K.
mixing_ratio : float or array_like
    Water vapour mixing ratio, kg/kg (mass of vapour per mass of dry air).
    Give either this or `specific_humidity`.
pressure : float or array_like
    Air pressure, Pa.
specific_humidity : float or array_like, optional
    Specific humidity q, kg/kg, instead of `mixing_ratio`; converted element
    by element as w = q / (1 - q). A DataArray whose ``standard_name`` says
    it is the other kind of humidity than the argument it is passed as
    draws a warning.""",
    "extrapolation_method": """\
A surface temperature is estimated from `t_bot` with the standard lapse
rate of 6.5 K/km, then a series in ln(lev / ps) is evaluated, with
corrections for high terrain and warm surfaces (the ECMWF scheme of
Trenberth et al. [1]_).""",
    "extrapolation_parameters": """\
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
    "hybrid_surface": """\
ps : float, array_like or DataArray
    Surface pressure(s), any shape, in any pressure unit. (Formerly `psfc`,
    which still works with a DeprecationWarning.)
p0 : float or DataArray
    Reference pressure, in the unit of `ps`.""",
    "simmons": """\
.. [{}] A. J. Simmons and D. M. Burridge, "An energy and angular-momentum
       conserving vertical finite-difference scheme and hybrid vertical
       coordinates", Mon. Wea. Rev. 109, 758-766, 1981.""",
    "wallace": """\
.. [1] J. M. Wallace and P. V. Hobbs, "Atmospheric Science: An
       Introductory Survey", 2nd ed., Academic Press, 2006, ch. 3.""",
    "alduchov": """\
.. [1] O. A. Alduchov and R. E. Eskridge, "Improved Magnus form
       approximation of saturation vapor pressure", J. Appl. Meteor. 35,
       601-609, 1996.""",
    "fao56": """\
.. [1] R. G. Allen, L. S. Pereira, D. Raes and M. Smith, "Crop
       evapotranspiration: guidelines for computing crop water
       requirements", FAO Irrigation and Drainage Paper 56, Rome, 1998.""",
    "wgs84": """\
.. [1] National Imagery and Mapping Agency, "Department of Defense World
       Geodetic System 1984: its definition and relationships with local
       geodetic systems", Technical Report TR8350.2, 3rd ed., 2000.""",
}

_KEYWORDS = {
    "axis": """\
axis : int, optional
    The level axis of NumPy and dask inputs (required for N-D inputs); for
    levels new to the result (shared by all columns, from coefficients),
    where it goes in the result (default 0).""",
    "dim": """\
dim : hashable, optional
    The level dimension of DataArrays. Default: that of a 1-D DataArray of
    levels, else the one with a vertical coordinate (axis "Z", a
    ``positive`` direction), else the one as long as the coefficients. New
    level dimensions go after time ((time, lev, lat, lon)), else first.""",
    "new_dim": """\
new_dim : hashable, optional
    Name of the level dimension the result adds (DataArrays): default that
    of a DataArray giving the new levels, else {value}.""",
    "dtype": """\
dtype : data-type, optional
    Type of the result's values. Default: the result type of the array
    arguments (float32 in, float32 out; Python numbers and lists do not
    count{value}), float64 for integers. Computed in float64 either way,
    converted block by block, never whole.""",
    "keep_attrs": """\
keep_attrs : bool, optional
    DataArray results: {value}""",
    "name": """\
name : hashable, optional
    Name of a DataArray result (default: {value}).""",
}
_NEW_QUANTITY = ("whether the result starts from the attributes of the first DataArray\n"
                 "    argument (default: xarray's ``keep_attrs`` option); its own\n"
                 "    ``standard_name``, ``long_name`` and ``units`` replace theirs.")
_SAME_QUANTITY = ("whether the result keeps all attributes of `{source}` (default\n"
                  "    True), or only its ``standard_name``, ``long_name`` and ``units``.")

# A line of its own holding a paragraph name (not, say, a printed nested
# list), and the words that fill the paragraph's blank.
_MARKER = re.compile(r"( *)\[\[([a-z_0-9]+)\]\](?: (.*))?")


def fill(doc: str, keywords: dict[str, str]) -> str:
    """Fills each ``[[name]]`` line of a docstring with that paragraph,
    indented alike (``[[name]] words`` puts the words in its blank);
    ``[[keywords]]`` with the documentation of the common keywords named in
    `keywords` (name: the words that fill it)."""
    paragraphs = dict(_PARAGRAPHS)
    paragraphs["keywords"] = "\n".join(_KEYWORDS[k].format(value=v) for k, v in keywords.items())
    lines: list[str] = []
    for line in doc.split("\n"):
        marker = _MARKER.fullmatch(line)
        if marker:
            indent, name, words = marker.groups()
            lines.extend(indent + text if text else text
                         for text in (paragraphs[name].format(words) if words else
                                      paragraphs[name]).split("\n"))
        else:
            lines.append(line)
    return "\n".join(lines)


def keywords(d: Any, names: list[str]) -> dict[str, str]:
    """What the documentation of the common keywords `names` says for the
    function `d` (a `_generic.Description`)."""
    source = d.result.source
    words = {"dtype": "" if set(d.dtype_from) == set(d.values) else
             "; only " + " and ".join(f"`{n}`" for n in d.dtype_from) + " count",
             "keep_attrs": _SAME_QUANTITY.format(source=source) if source else _NEW_QUANTITY,
             "name": f"the name of `{source}`" if source else f'"{d.result.name or d.name}"',
             "new_dim": f'"{d.new_dim}"' if d.new_dim else "`dim`", "axis": "", "dim": ""}
    return {n: words[n] for n in names}
