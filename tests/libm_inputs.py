"""Inputs for comparing the vector exp/log with the C library: random over the
whole double range, uniform over the range the vector path computes itself,
and dense around every table boundary and every threshold of the library's
special paths. Shared by the tests and bench/libm_compare.py."""

import math

import numpy as np

LN2_128 = math.log(2.0) / 128.0


def around(points, ulps: int) -> np.ndarray:
    """Every double within `ulps` steps of each point (as bit patterns, so a
    step crosses zero into the negative patterns only where asked)."""
    bits = np.asarray(points, dtype=np.float64).view(np.int64)
    steps = np.arange(-ulps, ulps + 1, dtype=np.int64)
    return (bits[:, None] + steps[None, :]).ravel().view(np.float64)


def exp_thresholds() -> np.ndarray:
    t = [2.0**-54, 512.0, 1024.0, 709.782712893384, 708.3964185322641, 745.1332191019411,
         744.4400719213812, 1.0, 0.0]
    return np.concatenate([np.array(t), -np.array(t)])


def log_thresholds() -> np.ndarray:
    return np.array([1.0 - 2.0**-4, 1.0 + float.fromhex("0x1.09p-4"), 1.0, 2.0**-1022, 2.0**-1074,
                     np.finfo(np.float64).max, math.inf])


def exp_table_boundaries() -> np.ndarray:
    """Halfway between neighbouring multiples of ln2/128 over the whole range
    where the vector path computes: where the table entry changes."""
    j = np.arange(math.floor(-745.2 / LN2_128), math.ceil(512.0 / LN2_128) + 1)
    return (j + 0.5) * LN2_128


def log_table_boundaries() -> np.ndarray:
    """Where log's table entry changes: every 1/128 of [0x1.6p-1, 0x1.6p0)
    above every normal power of two."""
    i = np.arange(128, dtype=np.int64) << 45
    e = np.arange(-1022, 1024, dtype=np.int64) << 52
    bits = (0x3FE6000000000000 + i[None, :] + e[:, None]).ravel()
    bits = bits[(bits > 0) & (bits < 0x7FF0000000000000)]
    return bits.view(np.float64)


def random_bits(rng, n: int) -> np.ndarray:
    return rng.integers(np.iinfo(np.int64).min, np.iinfo(np.int64).max, n,
                        dtype=np.int64, endpoint=True).view(np.float64)


def exp_batch(rng, n: int, dense_ulps: int = 8) -> np.ndarray:
    """About n inputs: a fifth random bit patterns, the rest uniform over
    [-746, 746] and, on the first batch (dense_ulps > 0), every table
    boundary and threshold with its neighbours."""
    parts = [random_bits(rng, n // 5)]
    if dense_ulps:
        parts += [around(exp_table_boundaries(), dense_ulps), around(exp_thresholds(), 20_000)]
    rest = n - sum(p.size for p in parts)
    parts.append(rng.uniform(-746.0, 746.0, max(rest, 0)))
    return np.concatenate(parts)


def log_batch(rng, n: int, dense_ulps: int = 8) -> np.ndarray:
    """About n inputs: a fifth random bit patterns, positive normals with
    uniformly drawn bits, values around 1, and on the first batch every table
    boundary and threshold with its neighbours."""
    parts = [random_bits(rng, n // 5)]
    if dense_ulps:
        parts += [around(log_table_boundaries(), dense_ulps), around(log_thresholds(), 20_000)]
    rest = max(n - sum(p.size for p in parts), 0)
    positive = rng.integers(0x0010000000000000, 0x7FF0000000000000, rest - rest // 4,
                            dtype=np.int64).view(np.float64)
    parts += [positive, rng.uniform(0.9, 1.1, rest // 4)]
    return np.concatenate(parts)
