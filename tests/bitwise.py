"""Bit-level comparison of float results (NaN payloads and signed zeros included)."""

import math
import struct

import numpy as np


def bits(value: float) -> int:
    return struct.unpack("<q", struct.pack("<d", value))[0]


def assert_same_bits(actual, expected):
    """Scalars or 1-D arrays must match bit for bit."""
    if isinstance(actual, np.ndarray) or isinstance(expected, np.ndarray):
        actual = np.ascontiguousarray(actual, dtype=np.float64)
        expected = np.ascontiguousarray(expected, dtype=np.float64)
        assert actual.shape == expected.shape
        mismatch = np.flatnonzero(actual.view(np.int64) != expected.view(np.int64))
        assert mismatch.size == 0, (
            f"{mismatch.size} elements differ, first at {mismatch[0]}: "
            f"{actual[mismatch[0]]!r} != {expected[mismatch[0]]!r}"
        )
    else:
        assert isinstance(actual, float)
        assert bits(actual) == bits(expected), f"{actual!r} != {expected!r}"


SPECIAL_VALUES = [0.0, -0.0, math.nan, math.inf, -math.inf, 5e-324, -5e-324, 2.2250738585072014e-308,
                  1.7976931348623157e308, -1.7976931348623157e308, 1e-300, 1e300]


def assert_matches_formula(actual, expected):
    """Bit for bit, signed zeros included, except that a NaN matches any NaN.

    When two NaNs meet in one operation, IEEE 754 leaves open whose payload
    survives, and a compiler may order the operands of an addition or a
    multiplication either way; the payload is not part of the formula.
    """
    actual = np.asarray(actual, dtype=np.float64)
    expected = np.asarray(expected, dtype=np.float64)
    nan = np.isnan(expected)
    misplaced = np.flatnonzero(np.isnan(actual) != nan)
    assert misplaced.size == 0, (
        f"NaN mismatch at {misplaced[0]}: {actual[misplaced[0]]!r} != {expected[misplaced[0]]!r}"
    )
    assert_same_bits(np.where(nan, 0.0, actual), np.where(nan, 0.0, expected))
