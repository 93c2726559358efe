"""Pressure thickness of many columns in one call (tamrix._kernels, the
package's own extension): every column bit for bit what
_tamrix_rs.interpolation.delta_pressure_1d gives for it alone."""

import math
import sys

import numpy as np
import pytest
from bitwise import assert_same_bits

from _tamrix_rs import interpolation as it
from tamrix import _kernels


def many(levels, ps, nlev, top=None):
    out = np.full(nlev * ps.size, -1.0)
    _kernels.delta_pressure_columns(levels, ps, nlev, top, out)
    return out


def random_columns(rng, ncols, nlev):
    p = np.sort(rng.uniform(1.0, 1000.0, (ncols, nlev)), axis=1)
    p[::2] = p[::2, ::-1].copy()  # top-first and surface-first columns
    p[rng.random((ncols, nlev)) < 0.05] = math.nan
    ps = rng.uniform(0.0, 1100.0, ncols)
    ps[rng.random(ncols) < 0.05] = math.nan
    return p, ps


@pytest.mark.parametrize("ncols, nlev", [(1, 1), (7, 2), (3000, 9), (200, 40)])
@pytest.mark.parametrize("top", ["none", "shared", "per column"])
def test_each_column_matches_delta_pressure_1d(ncols, nlev, top):
    rng = np.random.default_rng(ncols * nlev)
    p, ps = random_columns(rng, ncols, nlev)
    tops = {"none": None, "shared": np.array([5.0]),
            "per column": rng.uniform(-10.0, 50.0, ncols)}[top]
    result = many(p.ravel(), ps, nlev, tops)
    for j in range(ncols):
        column_top = None if tops is None else float(tops[0 if tops.size == 1 else j])
        assert_same_bits(result[j * nlev:(j + 1) * nlev], it.delta_pressure_1d(p[j], ps[j],
                                                                                column_top))


def test_shared_levels_and_nan_payloads_match():
    levels = np.array([100.0, math.nan, 300.0, 400.0, 500.0])
    odd_nan = np.frombuffer(np.int64(0x7FF8000000000123).tobytes(), dtype=np.float64)[0]
    ps = np.array([450.0, math.nan, -math.nan, odd_nan, 50.0, math.inf])
    result = many(levels, ps, 5).reshape(6, 5)
    for j in range(6):
        assert_same_bits(result[j], it.delta_pressure_1d(levels, ps[j]))


@pytest.mark.parametrize("levels, ps, nlev, top, out, message", [
    (np.ones(5), np.ones(2), 3, None, 6, r"pressure_lev has 5 values, but it must hold nlev \* "
                                         r"ncols = 3 \* 2 .* or nlev = 3"),
    (np.ones(6), np.ones(2), 2**63, None, 6, r"nlev \* ncols = 9223372036854775808 \* 2"),
    (np.ones(6), np.ones(2), 3, np.ones(3), 6, r"pressure_top has 3 values, .* per column \(2\)"),
    (np.ones(6), np.ones(2), 3, np.ones(0), 6, "pressure_top has 0 values"),
    (np.ones(3), np.ones(2), 3, None, 3, r"out has 3 values, but it must hold nlev \* ncols = 6"),
])
def test_lengths_that_do_not_fit_are_a_value_error(levels, ps, nlev, top, out, message):
    with pytest.raises(ValueError, match=message):
        _kernels.delta_pressure_columns(levels, ps, nlev, top, np.empty(out))


def test_an_output_sharing_memory_with_an_input_is_refused():
    levels = np.arange(1.0, 7.0)
    with pytest.raises(ValueError, match="out must not share memory with pressure_lev"):
        _kernels.delta_pressure_columns(levels, np.ones(2), 3, None, levels)
    assert_same_bits(levels, np.arange(1.0, 7.0))


@pytest.mark.parametrize("args, error, message", [
    ((np.ones(2), [1.0], 2, None, np.ones(2)), TypeError, "surface_pressure must be a C-contig"),
    ((np.ones(2), np.ones(1), 2, np.ones(1, np.float32), np.ones(2)), TypeError, "pressure_top"),
    ((np.ones(2), np.ones(1), 2, None, np.ones(2, np.float32)), TypeError, "out must be"),
    ((np.ones(2), np.ones(1), -1, None, np.ones(2)), OverflowError, None),
    ((np.ones(2), np.ones(1), 2.0, None, np.ones(2)), TypeError, "an integer is required"),
    ((np.ones(4)[::2], np.ones(1), 2, None, np.ones(2)), TypeError, "pressure_lev must be a C-"),
    ((np.ones(2), np.ones(1), 2, None, bytes(16)), TypeError, "out must be a C-contiguous writ"),
    ((np.ones(2), np.ones(1), 2), TypeError, "missing required argument 'pressure_top'"),
])
def test_bad_arguments_are_refused(args, error, message):
    with pytest.raises(error, match=message):
        _kernels.delta_pressure_columns(*args)


@pytest.mark.parametrize("levels, ps, nlev", [
    (np.ones(0), np.ones(0), 0), (np.ones(0), np.ones(4), 0), (np.ones(3), np.ones(0), 3)])
def test_empty_inputs_give_an_empty_result(levels, ps, nlev):
    _kernels.delta_pressure_columns(levels, ps, nlev, None, np.empty(0))


def test_the_kernel_takes_keywords_and_describes_itself():
    out = np.empty(3)
    _kernels.delta_pressure_columns(pressure_lev=np.array([1.0, 2.0, 3.0]), surface_pressure=
                                    np.array([2.5]), nlev=3, pressure_top=None, out=out)
    assert_same_bits(out, it.delta_pressure_1d(np.array([1.0, 2.0, 3.0]), 2.5))
    assert _kernels.delta_pressure_columns.__text_signature__ == (
        "(pressure_lev, surface_pressure, nlev, pressure_top, out)")


def test_every_array_is_released_on_success_and_failure():
    levels, ps, top, out = np.ones(6), np.ones(2), np.ones(2), np.empty(6)
    arrays = (levels, ps, top, out)
    before = [sys.getrefcount(a) for a in arrays]
    for _ in range(200):
        _kernels.delta_pressure_columns(levels, ps, 3, top, out)
        _kernels.delta_pressure_columns(levels, ps, 3, None, out)
        for bad in ((levels, ps, 3, np.ones(3), out), (levels, ps, 4, top, out),
                    (levels, ps, 3, [1.0], out), (levels, ps, 3, top, levels)):
            with pytest.raises((TypeError, ValueError)):
                _kernels.delta_pressure_columns(*bad)
    del bad
    assert [sys.getrefcount(a) for a in arrays] == before
