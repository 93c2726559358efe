"""C-library elementary functions with IEEE results where `math` raises, and input builders.

`math` wraps the same C library the extension calls, but raises on overflow
and domain errors; there the C functions return inf, -inf or the NaN of an
invalid operation, which these wrappers return instead.
"""

import itertools
import math

import numpy as np
from bitwise import assert_same_bits

INVALID_NAN = math.inf - math.inf  # the NaN an invalid IEEE operation produces


def exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def log(x):
    if x == 0.0:
        return -math.inf
    try:
        return math.log(x)
    except ValueError:
        return INVALID_NAN


def _domain_checked(function):
    def wrapped(x):
        try:
            return function(x)
        except ValueError:
            return INVALID_NAN

    return wrapped


sin = _domain_checked(math.sin)
tan = _domain_checked(math.tan)
acos = _domain_checked(math.acos)


def around(x, ulps=2):
    """x and its neighbours up to `ulps` representable steps away on each side."""
    values = [x]
    below = above = x
    for _ in range(ulps):
        below = math.nextafter(below, -math.inf)
        above = math.nextafter(above, math.inf)
        values += [below, above]
    return values


def grid(*axes):
    """Every combination of the axes' values, as one float64 array per axis."""
    columns = zip(*itertools.product(*axes))
    return [np.array(column, dtype=np.float64) for column in columns]


def wide_random(rng, n):
    """Values of every sign and magnitude, specials included."""
    magnitudes = 10.0 ** rng.uniform(-310, 308, n)
    values = magnitudes * rng.choice([-1.0, 1.0], n)
    specials = np.array([0.0, -0.0, math.nan, math.inf, -math.inf])
    replace = rng.random(n) < 0.05
    values[replace] = rng.choice(specials, replace.sum())
    return values


def div(a, b):
    """IEEE division: Python raises on a zero divisor, the hardware does not."""
    if b != 0.0:
        return a / b
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


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
