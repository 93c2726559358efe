"""Nothing leaks: not on success, not on any failure path, not a result buffer, not a borrow.

Each function is called many times on its success path and on every kind of
failure (bad type, non-contiguous or misaligned array, length mismatch,
binding errors, overflow, internal failure). Afterwards the arguments'
reference counts are unchanged, no borrow of their memory is left registered,
and neither the number of live Python objects nor the number of allocated
memory blocks has grown with the number of calls.
Result buffers are checked through the process's resident memory.
"""

import gc
import os
import sys

import numpy as np
import pytest
from signatures import EQUAL_LENGTHS, FUNCTIONS, KINDS, parameters, valid_arguments
from borrowing import assert_not_borrowed, borrow_record

PANIC = "PanicException"
CALLS = 1000


class RaisesTypeError:
    def __float__(self):
        try:
            raise KeyError("inner")
        except KeyError as cause:
            raise TypeError("no float here") from cause


def misaligned(values):
    raw = np.zeros(values.size * 8 + 1, dtype=np.uint8)
    out = np.ndarray(values.shape, dtype=np.float64, buffer=raw.data, offset=1)
    out[:] = values
    return out


def replaced(args, i, value):
    return args[:i] + [value] + args[i + 1:]


def scenarios(name):
    """(label, args, kwargs, expected exception type name or None)."""
    kinds, params, good = KINDS[name], parameters(name), valid_arguments(name)
    yield "success", good, {}, None
    yield "keywords", [], dict(zip(params, good)), None
    for i, kind in enumerate(kinds):
        p = params[i]
        bad = {"F": "1.0", "B": 1, "O": "x", "C": 2.5, "A": [1.0, 2.0]}[kind]
        yield f"{p}-bad-type", replaced(good, i, bad), {}, "TypeError"
        if kind in "FO":
            yield f"{p}-float-raises", replaced(good, i, RaisesTypeError()), {}, "TypeError"
            yield f"{p}-huge-int", replaced(good, i, 10**400), {}, "OverflowError"
        if kind == "C":
            yield f"{p}-negative", replaced(good, i, -1), {}, "OverflowError"
        if kind == "A":
            a = good[i]
            yield f"{p}-strided", replaced(good, i, np.repeat(a, 2)[::2]), {}, "TypeError"
            yield f"{p}-float32", replaced(good, i, a.astype(np.float32)), {}, "TypeError"
            yield f"{p}-2d", replaced(good, i, a.reshape(1, -1)), {}, "TypeError"
            yield f"{p}-misaligned", replaced(good, i, misaligned(a)), {}, None
    if name in EQUAL_LENGTHS:
        last = max(i for i, kind in enumerate(kinds) if kind == "A")
        yield "length-mismatch", replaced(good, last, good[last][:-1]), {}, "ValueError"
    yield "missing", [], {}, "TypeError"
    yield "too-many", good + [1.0, 2.0], {}, "TypeError"
    yield "unknown-keyword", good, {"bogus": 1.0}, "TypeError"
    yield "twice", good, {params[0]: good[0]}, "TypeError"
    if name == "interpolate_columns":
        xp, data, new, nlev_in, ncols = good
        yield "no-targets", [xp, data, new[:0], nlev_in, ncols], {}, PANIC
        yield "no-levels", [xp, data, new, 0, ncols], {}, PANIC
        yield "short-xp", [xp[:-1], data, new, nlev_in, ncols], {}, PANIC
        yield "short-data", [xp, data[:-3], new, nlev_in, ncols], {}, PANIC
    if name == "pressure_at_hybrid_levels_array":
        yield "short-hyb", replaced(good, 1, good[1][:-2]), {}, PANIC


def call(function, args, kwargs):
    try:
        function(*args, **kwargs)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: B036 - PanicException is a BaseException
        return type(error).__name__
    return None


def repeat(function, args, kwargs, times):
    for _ in range(times):
        call(function, args, kwargs)


@pytest.mark.parametrize("name", sorted(KINDS))
def test_repeated_calls_leak_nothing(name):
    function = FUNCTIONS[name]
    record = borrow_record()
    cases = list(scenarios(name))
    for label, args, kwargs, expected in cases:
        assert call(function, args, kwargs) == expected, label
        repeat(function, args, kwargs, 100)  # caches, freelists, once-only state settle
    gc.collect()
    objects = len(gc.get_objects())
    for label, args, kwargs, _ in cases:
        watched = [*args, *kwargs.values()]
        refs = [sys.getrefcount(o) for o in watched]
        growth = []
        # two rounds: a leak grows both, while memory that settles once (a
        # free-threaded interpreter frees some blocks only later) grows one
        for _ in range(2):
            blocks = sys.getallocatedblocks()
            repeat(function, args, kwargs, CALLS)
            growth.append(sys.getallocatedblocks() - blocks)
        # one block per call would add CALLS; a few settle once
        assert min(growth) < CALLS // 4, label
        assert [sys.getrefcount(o) for o in watched] == refs, label
        assert_not_borrowed(record, watched, label)
    gc.collect()
    assert len(gc.get_objects()) - objects < 20


# --- result buffers and aligned copies, through resident memory ---------------------

PAGE = os.sysconf("SC_PAGE_SIZE")
MB = 1 << 20
N = 4 << 20  # 32 MiB of doubles per result
ROUNDS = 40  # a leak of one buffer per round would add 1.25 GiB


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


big = np.linspace(33.0, 120.0, N)
nan = np.full(N, np.nan)  # makes the trigonometry of the daylight grid cheap
BIG_CALLS = {
    "elementwise": lambda: FUNCTIONS["saturation_vapor_pressure_array"](big),
    "grid": lambda: FUNCTIONS["max_daylight_grid"](nan[:1024], nan[: N // 1024]),
    "hybrid": lambda: FUNCTIONS["pressure_at_hybrid_levels_array"](big[:1024], big[:1024],
                                                                  big[: N // 1024], 1e5),
    "delta-pressure": lambda: FUNCTIONS["delta_pressure_1d"](big, 200.0),
    "columns": lambda: FUNCTIONS["interpolate_columns"](big[: N // 8], big[: N // 8], big[:32],
                                                        4, N // 32),
}


@pytest.mark.parametrize("kind", BIG_CALLS)
def test_result_buffer_freed_when_its_last_view_goes(kind):
    make = BIG_CALLS[kind]
    first = make()
    expected = first[1::4097].copy()
    del first
    baseline = resident()
    view = None
    for _ in range(ROUNDS):
        result = make()
        # a view taken from the last result outlives it and must stay readable
        assert view is None or np.array_equal(view[::4097], expected, equal_nan=True)
        view = result[1:]
        del result
    assert np.array_equal(view[::4097], expected, equal_nan=True)
    del view
    grown = resident() - baseline
    assert grown < 16 * N * 8, f"resident memory grew by {grown // MB} MiB"


def test_aligned_copies_of_misaligned_inputs_are_freed():
    source = misaligned(big)
    expected = FUNCTIONS["psychrometric_constant_array"](big)
    baseline = resident()
    for _ in range(ROUNDS):
        assert FUNCTIONS["psychrometric_constant_array"](source)[-1] == expected[-1]
    grown = resident() - baseline
    assert grown < 16 * N * 8, f"resident memory grew by {grown // MB} MiB"


def test_failed_call_frees_its_partly_filled_result(python_subprocess):
    # With one worker the columns run in order, so the whole result is written
    # before the last column fails.
    result = python_subprocess(
        f"""
        import os, numpy as np, _tamrix_rs

        def resident():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        f = _tamrix_rs.interpolation.interpolate_columns
        levels = np.linspace(0.0, 1.0, {N // 1024})
        xp = np.array([0.0, 1.0] * 1024)
        f(xp, xp, levels, 2, 1024)
        baseline = resident()
        for _ in range({ROUNDS}):
            try:
                f(xp[:-1], xp, levels, 2, 1024)
            except BaseException as error:
                assert type(error).__name__ == "PanicException", error
            else:
                raise AssertionError("no failure")
        print(resident() - baseline)
        """,
        env={"RAYON_NUM_THREADS": "1"},
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert int(result.stdout) < 16 * N * 8
