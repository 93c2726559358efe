"""Below-ground extrapolation with a level per element (tamrix._kernels): each
element bit for bit what the documented scalar kernel gives, NaN payloads
included, in one call for any number of distinct levels."""

import math
import sys

import numpy as np
import pytest
from bitwise import assert_same_bits
from support import wide_random

from _tamrix_rs import interpolation as it
from tamrix import _kernels

KERNELS = {"temp_extrapolate": it.temp_extrapolate_scalar,
           "geo_height_extrapolate": it.geo_height_extrapolate_scalar}


def realistic(rng, n):
    """Surfaces from sea level to high plateaus, warm and cold, and levels
    below them; some NaN with their own payloads."""
    ps = rng.uniform(5.0e4, 1.05e5, n)
    inputs = [rng.uniform(230.0, 310.0, n), ps * rng.uniform(1.0, 1.3, n),
              ps * rng.uniform(0.9, 1.0, n), ps, rng.uniform(-500.0, 45000.0, n)]
    payload = np.frombuffer(np.int64(0x7FF8000000000ABC).tobytes(), np.float64)[0]
    for i, values in enumerate(inputs):
        values[i::97] = payload if i % 2 else -math.nan
    return inputs


@pytest.mark.parametrize("name", KERNELS)
@pytest.mark.parametrize("n, inputs", [(0, "realistic"), (1, "realistic"), (3, "realistic"),
                                       (517, "realistic"), (200_003, "realistic"),
                                       (4099, "wide")])
def test_every_element_is_the_scalar_kernel(name, n, inputs):
    rng = np.random.default_rng(n)
    arrays = realistic(rng, n) if inputs == "realistic" else [wide_random(rng, n)
                                                              for _ in range(5)]
    out = np.full(n, 1.5)
    getattr(_kernels, name)(*arrays, out)
    step = max(1, n // 5000)  # every element of the small cases, a sample of the large one
    expected = [KERNELS[name](*(float(a[i]) for a in arrays)) for i in range(0, n, step)]
    assert_same_bits(out[::step], np.array(expected))


@pytest.mark.parametrize("name", KERNELS)
def test_a_shared_level_gives_the_array_kernel(name):
    arrays = realistic(np.random.default_rng(2), 10_000)
    arrays[1][:] = 85000.0
    out = np.empty(10_000)
    getattr(_kernels, name)(*arrays, out)
    array_kernel = getattr(it, name + "_array")
    assert_same_bits(out, array_kernel(arrays[0], 85000.0, *arrays[2:]))


@pytest.mark.parametrize("name", KERNELS)
def test_arguments_it_cannot_use_are_refused(name):
    kernel = getattr(_kernels, name)
    good = [np.ones(4) for _ in range(5)]
    with pytest.raises(ValueError, match=r"all arrays must have the same length \(got 4, 3, 4, "
                                         r"4, 4 for t_bot, lev, p_sfc, ps, phi_sfc and 4 for out"):
        kernel(good[0], np.ones(3), *good[2:], np.empty(4))
    with pytest.raises(TypeError, match="lev must be a C-contiguous float64 array"):
        kernel(good[0], np.ones(8)[::2], *good[2:], np.empty(4))
    with pytest.raises(TypeError, match="out must be a C-contiguous writable float64"):
        kernel(*good, np.empty(4, np.float32))
    with pytest.raises(ValueError, match="out must not share memory with ps"):
        kernel(*good, good[3])
    before = [sys.getrefcount(a) for a in good]
    for _ in range(50):
        kernel(*good, np.empty(4))
        with pytest.raises(ValueError):
            kernel(*good, np.empty(5))
    assert [sys.getrefcount(a) for a in good] == before
