#!/usr/bin/env python
"""Throughput of `dewtemp_array` called from two Python threads at once against one.

Each thread calls `dewtemp_array` on 100,000 elements in a loop. Rounds of one and
two threads alternate (so drifting load on a shared machine hits both alike), and the
figure is the median over the rounds of calls per second, summed over the threads.
On a free-threaded interpreter the two threads' calls overlap; with the GIL they are
serialised, so the ratio stays near 1 there.

A call of 100,000 elements is split over the worker pool, which has a worker per
CPU: one calling thread already keeps every CPU busy, and a second can only fill
the gaps of the hand-offs. The same is measured at 10,000 elements, which each
calling thread computes itself: there a second thread has CPUs of its own to use.
Last, the same ratio for hashing, which runs outside the GIL in every build, shows
how much of a second CPU the machine had to give during the run.

`--handoff` also times one call just large enough to go to the worker pool: the
pool's hand-off latency plus half the work of that call.

    python bench/threads.py [--seconds 0.5] [--rounds 9] [--handoff]
"""

import argparse
import hashlib
import os
import statistics
import sys
import sysconfig
import threading
import time

import numpy as np

import _tamrix_rs

dewtemp = _tamrix_rs.meteorology.dewtemp_array
SIZES = (100_000, 10_000)
TARGET = 1.7  # two threads against one, on a free-threaded interpreter


def throughput(threads, seconds, t, rh):
    """Calls per second of `threads` threads each calling in a loop for `seconds`."""
    counts = [0] * threads
    start = threading.Barrier(threads + 1)
    stop = threading.Event()

    def caller(k):
        start.wait()
        while not stop.is_set():
            dewtemp(t, rh)
            counts[k] += 1

    workers = [threading.Thread(target=caller, args=(k,)) for k in range(threads)]
    for worker in workers:
        worker.start()
    start.wait()
    began = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for worker in workers:
        worker.join()
    return sum(counts) / (time.perf_counter() - began)


def headroom(seconds, rounds):
    """Two threads against one hashing, which runs outside the GIL in every build:
    how much of a second CPU this machine has to give right now."""
    data = bytes(1 << 20)

    def rate(threads):
        counts = [0] * threads
        stop = threading.Event()

        def hasher(k):
            while not stop.is_set():
                hashlib.sha256(data).digest()
                counts[k] += 1

        workers = [threading.Thread(target=hasher, args=(k,)) for k in range(threads)]
        began = time.perf_counter()
        for worker in workers:
            worker.start()
        time.sleep(seconds)
        stop.set()
        for worker in workers:
            worker.join()
        return sum(counts) / (time.perf_counter() - began)

    return statistics.median(rate(2) / rate(1) for _ in range(rounds))


def handoff(t, rh, repeats=2000):
    """Median time of one call of the smallest size that the pool computes."""
    n = 262_144 // 8  # the inline cut-off in work units over dewtemp's cost
    a, b = t[:n], rh[:n]
    times = []
    for _ in range(repeats):
        began = time.perf_counter_ns()
        dewtemp(a, b)
        times.append(time.perf_counter_ns() - began)
    return statistics.median(times) / 1000.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=0.5, help="length of one round")
    parser.add_argument("--rounds", type=int, default=9, help="rounds of each thread count")
    parser.add_argument("--handoff", action="store_true", help="also time a pool hand-off")
    args = parser.parse_args()

    rng = np.random.default_rng(1)
    t = rng.uniform(250.0, 310.0, max(SIZES))
    rh = rng.uniform(1.0, 100.0, max(SIZES))
    dewtemp(t, rh)  # the pool starts

    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print(f"{sys.version.split()[0]}{'t' if free_threaded else ''}, GIL {'on' if gil else 'off'}, "
          f"numpy {np.__version__}, {os.cpu_count()} CPUs, "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')}")
    for n in SIZES:
        one, two = [], []
        for _ in range(args.rounds):
            one.append(throughput(1, args.seconds, t[:n], rh[:n]))
            two.append(throughput(2, args.seconds, t[:n], rh[:n]))
        one_rate, two_rate = statistics.median(one), statistics.median(two)
        ratio = two_rate / one_rate
        print(f"dewtemp_array, n = {n:,}: 1 thread {one_rate:,.0f} calls/s, "
              f"2 threads {two_rate:,.0f} calls/s, ratio {ratio:.2f}x")
        if free_threaded and not gil:
            print(f"  target >= {TARGET}x on a free-threaded interpreter: "
                  f"{'met' if ratio >= TARGET else 'not met'}")
    print(f"machine headroom: hashing in 2 threads against 1, {headroom(args.seconds, 3):.2f}x")
    if args.handoff:
        print(f"one pool call of {262_144 // 8:,} elements: {handoff(t, rh):.1f} us (median)")


if __name__ == "__main__":
    main()
