"""Pressure on hybrid sigma-pressure levels."""

import numpy as np
import pytest
from bitwise import SPECIAL_VALUES, assert_same_bits

from _tamrix_rs import interpolation as it


def panic_message(function, *args):
    with pytest.raises(BaseException) as info:
        function(*args)
    assert type(info.value).__name__ == "PanicException"
    return str(info.value)


@pytest.mark.parametrize("value", SPECIAL_VALUES)
def test_scalar_is_surface_part_plus_fixed_part(value):
    for hya, hyb, psfc, p0 in [(value, 0.3, 98000.0, 1e5), (0.1, value, 98000.0, 1e5),
                               (0.1, 0.3, value, 1e5), (0.1, 0.3, 98000.0, value)]:
        assert_same_bits(it.pressure_at_hybrid_level_scalar(hya, hyb, psfc, p0),
                         hyb * psfc + hya * p0)


def test_table_is_level_major():
    a0, a1, b0, b1, s0, s1, s2, p = 0.1, 0.2, 0.7, 0.9, 98000.0, 99000.0, 100000.0, 1e5
    result = it.pressure_at_hybrid_levels_array(
        np.array([a0, a1]), np.array([b0, b1]), np.array([s0, s1, s2]), p)
    expected = [b0 * s0 + a0 * p, b0 * s1 + a0 * p, b0 * s2 + a0 * p,
                b1 * s0 + a1 * p, b1 * s1 + a1 * p, b1 * s2 + a1 * p]
    assert_same_bits(result, np.array(expected))


def test_large_table_on_the_pool_matches_scalar_form():
    rng = np.random.default_rng(3)
    hya, hyb = rng.uniform(0, 0.3, 137), rng.uniform(0, 1, 137)
    psfc = rng.uniform(50000.0, 105000.0, 301)
    result = it.pressure_at_hybrid_levels_array(hya, hyb, psfc, 101325.0)
    expected = (hyb[:, None] * psfc[None, :] + (hya * 101325.0)[:, None]).ravel()
    assert_same_bits(result, expected)
    for k in (0, 300, 301, 20000, 137 * 301 - 1):
        i, j = divmod(k, 301)
        assert_same_bits(float(result[k]),
                         it.pressure_at_hybrid_level_scalar(hya[i], hyb[i], psfc[j], 101325.0))


def test_pure_pressure_and_pure_sigma_levels():
    psfc = np.array([90000.0, 100000.0])
    result = it.pressure_at_hybrid_levels_array(np.array([0.05, 0.0]), np.array([0.0, 0.8]), psfc,
                                                1e5)
    assert result.tolist() == [5000.0, 5000.0, 72000.0, 80000.0]


@pytest.mark.parametrize(("nlev", "nhyb", "npts"), [(3, 2, 4), (5, 0, 1), (300, 17, 200)])
def test_short_hyb_fails_at_its_first_missing_level(nlev, nhyb, npts):
    message = panic_message(it.pressure_at_hybrid_levels_array, np.ones(nlev), np.ones(nhyb),
                            np.ones(npts), 1.0)
    assert message == f"index out of bounds: the len is {nhyb} but the index is {nhyb}"


def test_long_hyb_is_accepted_and_empty_tables():
    result = it.pressure_at_hybrid_levels_array(np.ones(2), np.array([1.0, 2.0, np.nan]),
                                                np.array([3.0]), 10.0)
    assert result.tolist() == [13.0, 16.0]
    for hya, hyb, psfc in [(0, 0, 5), (3, 0, 0), (0, 4, 0)]:
        result = it.pressure_at_hybrid_levels_array(np.ones(hya), np.ones(hyb), np.ones(psfc), 1.0)
        assert result.shape == (0,) and result.dtype == np.float64


def test_contiguity_is_checked_before_computing():
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        it.pressure_at_hybrid_levels_array(np.ones(3), np.ones(2), np.ones(8)[::2], 1.0)


def test_table_size_overflow_is_a_memory_error():
    # Views claiming 2**33 elements over a few bytes: the table's size
    # overflows 64 bits, which must be refused before any element is read.
    base = np.ones(4)
    huge = np.lib.stride_tricks.as_strided(base, shape=(2**33,), strides=(8,))
    with pytest.raises(MemoryError):
        it.pressure_at_hybrid_levels_array(huge, base, huge, 1.0)
