"""Paragraphs that many of the package's docstrings share, written once."""

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
}


def shared_docs(function: F) -> F:
    """Fills each ``[[name]]`` line of the docstring with that paragraph, indented alike."""
    lines: list[str] = []
    for line in (function.__doc__ or "").split("\n"):
        stripped = line.strip()
        if stripped.startswith("[[") and stripped.endswith("]]"):
            indent = line[: len(line) - len(line.lstrip())]
            lines.extend(indent + text for text in _PARAGRAPHS[stripped[2:-2]].split("\n"))
        else:
            lines.append(line)
    function.__doc__ = "\n".join(lines)
    return function
