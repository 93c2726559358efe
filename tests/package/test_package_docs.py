"""Every public tamrix function has a numpydoc docstring whose examples run
and print what they say; the extension's documented docstrings stay as they
are."""

import doctest
import inspect
import re

import numpy as np
import pytest

import _tamrix_rs
import tamrix

PUBLIC = sorted(name for name in tamrix.__all__ if name != "PanicException")
SECTIONS = ["Parameters", "Returns", "References", "Examples"]


@pytest.mark.parametrize("name", PUBLIC)
def test_numpydoc_sections_and_documented_parameters(name):
    function = getattr(tamrix, name)
    # Python 3.13 strips the indentation of docstrings itself, 3.12 does not.
    doc = inspect.cleandoc(function.__doc__ or "")
    headings = re.findall(r"^(\w[\w ]*)\n-+$", doc, re.M)
    assert [h for h in headings if h in SECTIONS] == SECTIONS, headings
    documented = set()
    for line in re.findall(r"^(\w[\w, ]*) : ", doc, re.M):
        documented.update(part.strip() for part in line.split(","))
    parameters = set(function.__code__.co_varnames[:function.__code__.co_argcount
                                                   + function.__code__.co_kwonlyargcount])
    assert parameters <= documented, parameters - documented


@pytest.mark.parametrize("name", PUBLIC)
def test_examples_print_what_they_say(name):
    function = getattr(tamrix, name)
    finder = doctest.DocTestFinder(recurse=False)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    tests = finder.find(function, name, globs={"np": np})
    assert tests and tests[0].examples
    for test in tests:
        runner.run(test)
    assert runner.failures == 0


# The docstrings the extension publishes (text after the signature line).
EXTENSION_DOCS = {
    ("interpolation", "temp_extrapolate_array"):
        "Extrapolate temperature for arrays: one level against arrays of t_bot, p_sfc, ps, "
        "phi_sfc.",
    ("interpolation", "geo_height_extrapolate_array"): "Extrapolate geopotential height for arrays.",
    ("interpolation", "pressure_at_hybrid_levels_array"):
        "Compute pressure at hybrid levels for all levels and surface pressures.\n"
        "hya, hyb: 1D arrays of hybrid coefficients.\npsfc: 1D array of surface pressures.\n"
        "Returns flattened array of shape (len(hya) * len(psfc)).",
    ("interpolation", "delta_pressure_1d"): "Delta pressure for 1D pressure levels.",
    ("interpolation", "interpolate_columns"):
        "Batch vertical interpolation across many columns (rayon-parallel).\n"
        "xp_flat and data_flat are column-major: (nlev_in * ncols).\n"
        "Returns flattened (nlev_out * ncols) column-major.",
}


def test_extension_docstrings_stay_as_published():
    for submodule in _tamrix_rs.__all__:
        module = getattr(_tamrix_rs, submodule)
        for name in module.__all__:
            assert getattr(module, name).__doc__ == EXTENSION_DOCS.get((submodule, name)), name
