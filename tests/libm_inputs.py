"""Inputs for comparing the vector exp/log/acos with the C library: random over
the whole double range, uniform over the range the vector path computes
itself, and dense around every table boundary and every threshold of the
library's special paths. Shared by the tests and bench/libm_compare.py."""

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


def acos_thresholds() -> np.ndarray:
    """Where acos changes branch (the high word of |x| at 0x1.8p-55, 0.125,
    0.96875 and 1) and the exact results 0, pi/2 and pi, both signs."""
    bits = np.array([0x3C880000, 0x3FC00000, 0x3FEF0000, 0x3FF00000], dtype=np.int64) << 32
    points = np.concatenate([bits.view(np.float64), [0.0, 0.5]])
    return np.concatenate([points, -points])


def acos_table_boundaries() -> np.ndarray:
    """Every boundary between two of the Taylor table's subintervals (the high
    word of |x| in steps of 2**15 from 0.125, 2**14 from 0.25 and 2**13 from
    0.5 up to 0.96875), both signs."""
    k = np.concatenate([np.arange(0x3FC00000, 0x3FD00000, 1 << 15),
                        np.arange(0x3FD00000, 0x3FE00000, 1 << 14),
                        np.arange(0x3FE00000, 0x3FEF0000, 1 << 13)]).astype(np.int64)
    points = (k << 32).view(np.float64)
    return np.concatenate([points, -points])


def acos_batch(rng, n: int, dense_ulps: int = 8) -> np.ndarray:
    """About n inputs: a fifth random bit patterns, the rest uniform over
    [-1, 1], close to +-1 (1 - |x| log-uniform from 2**-53, where the square
    root's table and scale change with every binade) and below 0.125, and on
    the first batch every branch and table boundary with its neighbours."""
    parts = [random_bits(rng, n // 5)]
    if dense_ulps:
        parts += [around(acos_table_boundaries(), dense_ulps), around(acos_thresholds(), 20_000)]
    rest = max(n - sum(p.size for p in parts), 0)
    near_one = 1.0 - 2.0 ** rng.uniform(-53.0, -5.0, rest // 4)
    sign = rng.choice([-1.0, 1.0], rest // 4)
    small = rng.uniform(-0.125, 0.125, rest // 4)
    parts += [near_one * sign, small, rng.uniform(-1.0, 1.0, rest - 2 * (rest // 4))]
    return np.concatenate(parts)
