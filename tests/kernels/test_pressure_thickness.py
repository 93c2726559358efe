"""Pressure thickness of the layers of one column (delta_pressure_1d)."""

import math

import numpy as np
import pytest
from bitwise import assert_same_bits
from reference import delta_pressure_1d

from _tamrix_rs import interpolation as it

nan = math.nan


@pytest.mark.parametrize(("levels", "ps", "top", "expected"), [
    ([100, 200, 300, 400, 500], 450, None, [50, 100, 100, 100, 0]),
    ([500, 400, 300, 200, 100], 450, None, [0, 100, 100, 100, 50]),
    ([100, 200, 300], 1000, 0.0, [150, 100, 750]),
    ([100, 200, 300], 50, None, [-50, 0, 0]),
    ([850], 1000, None, [150]),
    ([850], 1000, 0.0, [1000]),
    ([100, 200, 300], nan, None, [nan, 0, 0]),
    ([100, 200, 300], 300, None, [50, 100, 50]),  # a level at ps is above ground
    ([300, 200, 100], 300, 120.0, [50, 100, 30]),
    ([100, 200, 300], 1000, 400.0, [-250, 100, 750]),  # the top is not checked
    # A NaN end level: taken as top-first; the NaN is skipped by the minimum.
    ([nan, 300, 200, 100], 250, None, [nan, nan, -100, 100]),
    ([nan, nan], 1000, None, [-math.inf, 0]),
])
def test_documented_columns(levels, ps, top, expected):
    result = it.delta_pressure_1d(np.array(levels, dtype=float), ps, top)
    np.testing.assert_array_equal(result, np.array(expected, dtype=float))
    assert_same_bits(result, delta_pressure_1d([float(x) for x in levels], float(ps), top))


def test_empty_column_ignores_the_scalars():
    for top in (None, nan, 1.0):
        result = it.delta_pressure_1d(np.zeros(0), nan, top)
        assert result.shape == (0,) and result.dtype == np.float64


def test_random_columns_match_the_transcription():
    rng = np.random.default_rng(11)
    for _ in range(300):
        n = int(rng.integers(1, 40))
        levels = np.sort(rng.uniform(1.0, 1100.0, n))
        if rng.random() < 0.2 and n > 2:
            levels[rng.integers(1, n - 1)] = levels[0]  # repeated level
        if rng.random() < 0.15:
            levels[rng.integers(0, n)] = nan
        if rng.random() < 0.5:
            levels = levels[::-1].copy()
        ps = float(rng.choice([rng.uniform(0.0, 1200.0), levels[rng.integers(0, n)]]))
        top = [None, 0.0, float(rng.uniform(0.0, 50.0))][rng.integers(0, 3)]
        result = it.delta_pressure_1d(levels, ps, top)
        assert_same_bits(result, delta_pressure_1d(levels.tolist(), ps, top))
        if top is not None and not np.isnan(levels).any() and ps >= levels.min():
            assert result.sum() == pytest.approx(ps - top, rel=1e-9, abs=1e-9)


def test_reversed_column_gives_the_reversed_result():
    levels = np.array([10.0, 70.0, 250.0, 500.0, 850.0, 925.0, 1000.0])
    down = it.delta_pressure_1d(levels, 960.0, 5.0)
    up = it.delta_pressure_1d(levels[::-1].copy(), 960.0, 5.0)
    assert_same_bits(up, down[::-1].copy())


def test_pressure_top_binding():
    levels = np.array([100.0, 200.0, 300.0])
    default = it.delta_pressure_1d(levels, 250.0)
    assert_same_bits(it.delta_pressure_1d(levels, 250.0, pressure_top=None), default)
    assert_same_bits(it.delta_pressure_1d(pressure_lev=levels, surface_pressure=250.0,
                                          pressure_top=np.float32(100.0)), default)
    with pytest.raises(TypeError, match="^argument 'pressure_top': "):
        it.delta_pressure_1d(levels, 250.0, "top")
    with pytest.raises(TypeError, match=r"takes from 2 to 3 positional arguments but 4 were given"):
        it.delta_pressure_1d(levels, 250.0, None, 3)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        it.delta_pressure_1d(np.ones(8)[::2], 250.0)
