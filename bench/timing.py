"""Timing shared by the benchmark scripts."""

import statistics
import time


def median_seconds(fn, repeat=5):
    """The median wall time of `repeat` calls of fn()."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)
