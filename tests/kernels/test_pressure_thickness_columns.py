"""Pressure thickness of many columns in one call (delta_pressure_columns):
every column bit for bit what delta_pressure_1d gives for it alone."""

import math
import sys

import numpy as np
import pytest
from bitwise import assert_same_bits

import _tamrix_rs
from _tamrix_rs import interpolation as it

many = it.delta_pressure_columns


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
    assert result.shape == (ncols * nlev,)
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


@pytest.mark.parametrize("levels, ps, nlev, top, message", [
    (np.ones(5), np.ones(2), 3, None, r"pressure_lev has 5 values, but it must hold nlev \* "
                                      r"ncols = 3 \* 2 .* or nlev = 3"),
    (np.ones(6), np.ones(2), 2**63, None, r"nlev \* ncols = 9223372036854775808 \* 2"),
    (np.ones(6), np.ones(2), 3, np.ones(3), r"pressure_top has 3 values, .* per column \(2\)"),
    (np.ones(6), np.ones(2), 3, np.ones(0), "pressure_top has 0 values"),
])
def test_lengths_that_do_not_fit_are_a_value_error(levels, ps, nlev, top, message):
    with pytest.raises(ValueError, match=message):
        many(levels, ps, nlev, top)


@pytest.mark.parametrize("args, error, message", [
    ((np.ones(2), [1.0], 2), TypeError, "argument 'surface_pressure'"),
    ((np.ones(2), np.ones(1), 2, np.ones(1, np.float32)), TypeError, "argument 'pressure_top'"),
    ((np.ones(2), np.ones(1), -1), OverflowError, None),
    ((np.ones(4)[::2], np.ones(1), 2), TypeError, "The given array is not contiguous"),
    ((np.ones(2), np.ones(1)), TypeError, r"missing 1 required positional argument: 'nlev'"),
])
def test_bad_arguments_are_refused(args, error, message):
    with pytest.raises(error, match=message):
        many(*args)


@pytest.mark.parametrize("levels, ps, nlev", [
    (np.ones(0), np.ones(0), 0), (np.ones(0), np.ones(4), 0), (np.ones(3), np.ones(0), 3)])
def test_empty_inputs_give_an_empty_result(levels, ps, nlev):
    result = many(levels, ps, nlev, pressure_top=None)
    assert result.shape == (0,) and result.dtype == np.float64


def test_it_is_an_addition_outside_the_published_names():
    assert "delta_pressure_columns" not in it.__all__
    assert len(it.__all__) == 8
    assert many.__module__ == "interpolation" and many.__self__ is it
    assert many.__text_signature__ == "(pressure_lev, surface_pressure, nlev, pressure_top=None)"
    assert _tamrix_rs.__all__ == ["meteorology", "gradient", "interpolation"]


def test_every_array_is_released_on_success_and_failure():
    levels, ps, top = np.ones(6), np.ones(2), np.ones(2)
    before = [sys.getrefcount(a) for a in (levels, ps, top)]
    for _ in range(200):
        many(levels, ps, 3, top)
        many(levels, ps, 3, None)
        for bad in ((levels, ps, 3, np.ones(3)), (levels, ps, 4, top), (levels, ps, 3, [1.0])):
            with pytest.raises((TypeError, ValueError)):
                many(*bad)
    del bad
    assert [sys.getrefcount(a) for a in (levels, ps, top)] == before
