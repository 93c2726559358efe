"""Many Python threads calling every function at once, as a free-threaded interpreter
runs them (with PYTHON_GIL=0 nothing serialises the calls): every result has the bits of
a single-threaded run, every failure its exception, and afterwards nothing leaked and no
borrow is left. Also: the once-only objects are made once under racing first calls, and
importing the module keeps a free-threaded interpreter free of the GIL."""

import gc
import os
import subprocess
import sys
import sysconfig
import threading

import numpy as np
import pytest
from signatures import FUNCTIONS, KINDS, valid_arguments
from borrowing import FOREIGN_RECORD
from borrowing import assert_not_borrowed, borrow_record

THREADS = 8
ROUNDS = 3
WATCHDOG = 300  # seconds; only a deadlock takes this long
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def calls():
    """(label, function, args): every function on a short input (computed on the calling
    thread) and a long one (split over the pool), and failures of each kind."""
    for name in sorted(KINDS):
        for n in (7, 60_001) if "A" in KINDS[name] else (None,):
            args = valid_arguments(name, n) if n else valid_arguments(name)
            yield f"{name}-{n}", FUNCTIONS[name], args
    t = np.linspace(250.0, 310.0, 60_001)
    yield "length-mismatch", FUNCTIONS["dewtemp_array"], [t, t[:-1]]
    yield "not-contiguous", FUNCTIONS["dewtemp_array"], [t[::2], t[::2]]
    hya = np.linspace(0.0, 1.0, 600)
    yield "short-hyb", FUNCTIONS["pressure_at_hybrid_levels_array"], [
        hya, hya[:-1], np.linspace(5e4, 1e5, 600), 1e5]
    xp = np.tile([1.0, 2.0, 3.0], 20_000)
    yield "short-xp", FUNCTIONS["interpolate_columns"], [
        xp[:-1], xp, np.array([1.5, 2.5]), 3, 20_000]


def outcome(function, args):
    """The result's exact bits, or the exception's type name and message."""
    try:
        result = function(*args)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: B036 - PanicException is a BaseException
        return type(error).__name__, str(error)
    if isinstance(result, float):
        return "float", np.float64(result).tobytes()
    return "array", result.shape, result.tobytes()


def run_threads(target, count=THREADS):
    errors = []

    def guarded(k):
        try:
            target(k)
        except BaseException as error:  # noqa: B036
            errors.append(repr(error))

    threads = [threading.Thread(target=guarded, args=(k,)) for k in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(WATCHDOG)
    assert not any(thread.is_alive() for thread in threads), "threads did not finish"
    return errors


def test_every_function_from_many_threads_matches_one_thread():
    work = list(calls())
    expected = [outcome(function, args) for _, function, args in work]
    kinds = {result[0] for result in expected}
    assert {"float", "array", "ValueError", "TypeError", "PanicException"} <= kinds
    barrier = threading.Barrier(THREADS)

    def caller(k):
        barrier.wait()
        for round_ in range(ROUNDS):
            # each thread walks the list from its own place, so different calls overlap
            for j in range(len(work)):
                i = (j + k * 7 + round_) % len(work)
                label, function, args = work[i]
                assert outcome(function, args) == expected[i], label

    record = borrow_record()
    watched = [a for _, _, args in work for a in args if isinstance(a, np.ndarray)]
    refs = [sys.getrefcount(a) for a in watched]
    assert run_threads(caller) == []
    gc.collect()
    objects = len(gc.get_objects())
    assert run_threads(caller) == []
    gc.collect()
    # a leak of one object per call would add thousands
    assert len(gc.get_objects()) - objects < 50
    assert [sys.getrefcount(a) for a in watched] == refs
    assert_not_borrowed(record, watched, "after the threads")


def test_threads_sharing_one_input_array():
    """Shared borrows of one array from many threads at once count up and all end."""
    a = np.linspace(250.0, 310.0, 200_001)
    expected = FUNCTIONS["dewtemp_array"](a, a).tobytes()
    record = borrow_record()

    def caller(_):
        for _ in range(20):
            assert FUNCTIONS["dewtemp_array"](a, a).tobytes() == expected
            assert FUNCTIONS["psychrometric_constant_array"](a[:3]).shape == (3,)

    assert run_threads(caller) == []
    assert_not_borrowed(record, [a], "shared input")


def test_once_only_objects_made_once_under_racing_first_calls(python_subprocess):
    result = python_subprocess(
        FOREIGN_RECORD
        + """
import threading, _tamrix_rs
met, interp = _tamrix_rs.meteorology, _tamrix_rs.interpolation
a = np.linspace(250.0, 310.0, 100_001)
hya = np.linspace(0.0, 1.0, 600)
barrier = threading.Barrier(8)
panics, containers = [None] * 8, [None] * 8
def first(k):
    barrier.wait()
    containers[k] = type(met.dewtemp_array(a, a).base)
    try:
        interp.pressure_at_hybrid_levels_array(hya, hya[:-1], hya, 1e5)
    except BaseException as error:
        panics[k] = type(error)
threads = [threading.Thread(target=first, args=(k,)) for k in range(8)]
for t in threads: t.start()
for t in threads: t.join()
print(len(set(panics)), panics[0].__name__, len(set(containers)), containers[0].__name__)
# the table the module uses is the one published: a borrow taken there blocks the call
capsule = getattr(multiarray, REGISTRY)
get_pointer = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_char_p)(
    ("PyCapsule_GetPointer", ctypes.pythonapi))
record = Record.from_address(get_pointer(capsule, REGISTRY.encode()))
print(record.acquire_mut(record.flags, a))
try:
    met.dewtemp_array(a, a)
except BaseException as error:
    print(str(error).endswith("AlreadyBorrowed"))
"""
    )
    assert result.stdout.split() == ["1", "PanicException", "1", "PySliceContainer", "0", "True"], \
        result.stderr[-2000:]


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_import_keeps_the_interpreter_free_threaded():
    # PYTHON_GIL unset: the interpreter enables the GIL for a module that does not
    # declare itself free-threading safe, with a RuntimeWarning
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    code = """
import sys, warnings
warnings.simplefilter("error")
import _tamrix_rs, tamrix
print(sys._is_gil_enabled())
"""
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                            text=True, timeout=60)
    assert result.stdout.split() == ["False"], result.stderr[-2000:]
