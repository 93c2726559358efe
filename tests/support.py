"""Input builders and a fresh-interpreter runner shared by the tests."""

import itertools
import math
import os
import subprocess
import sys
import textwrap

import numpy as np


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


def run_python(code: str, env: dict | None = None, timeout: float = 60) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter (so process-wide state starts empty)."""
    full_env = dict(os.environ)
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        full_env.pop(name, None)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
