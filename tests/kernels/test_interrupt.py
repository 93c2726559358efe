"""Ctrl-C during a long array call: the signal handler runs while the pool
computes, its exception ends the call, and the call leaves nothing behind.

Time is counted in alarm ticks: a SIGALRM handler counts them, and it can
only run during a call if the call lets signal handlers run.
"""

import pytest
from borrowing import COUNTING_RECORD

LONG_CALL = COUNTING_RECORD + """
import ctypes, os, signal, sys, time
it = _tamrix_rs.interpolation

# Ascending end levels around a jagged middle below every target: each target
# scans its whole column.
def columns(ncols, nlev_in=1000):
    rng = np.random.default_rng(0)
    xp = rng.uniform(0.0, 1e-3, (ncols, nlev_in))
    xp[:, 0], xp[:, -1] = 0.0, 1.0
    return xp.ravel(), rng.uniform(0.0, 1.0, ncols * nlev_in), nlev_in, ncols
targets = np.linspace(0.001, 0.999, 1000)
call = lambda: it.interpolate_columns(xp, data, targets, nlev_in, ncols)

# About 0.8 s of work (4000 columns on two cores), sized by a short call so
# that one worker or a sanitizer build does not take many times as long.
xp, data, nlev_in, ncols = columns(400)
start = time.perf_counter()
call()
xp, data, nlev_in, ncols = columns(min(4000, max(400, int(320 / (time.perf_counter() - start)))))

# mallinfo2 from glibc 2.33; before it, mallinfo, whose int fields suffice here.
libc = ctypes.CDLL(None)
mallinfo, field = ((libc.mallinfo2, ctypes.c_size_t) if hasattr(libc, "mallinfo2")
                   else (libc.mallinfo, ctypes.c_int))
class Mallinfo(ctypes.Structure):
    _fields_ = [(name, field) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]
mallinfo.restype = Mallinfo
def allocated():
    info = mallinfo()
    return info.uordblks + info.hblkhd

ticks = []
def tick(*_):
    ticks.append(1)
    if len(ticks) == 2 and interrupt:
        os.kill(os.getpid(), signal.SIGINT)
signal.signal(signal.SIGALRM, tick)

def ticks_during(run):
    ticks.clear()
    signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
    try:
        return run()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)

interrupt = False
expected = call()
# handlers that do not raise run during the call and change nothing
same = np.array_equal(ticks_during(call), expected, equal_nan=True)
full = len(ticks)
calls.clear()
refs = sys.getrefcount(xp), sys.getrefcount(targets)
before = allocated()
interrupt = True
"""


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("handler, raised", [
    ("signal.default_int_handler", "KeyboardInterrupt"),
    ("custom", "Custom raised by the handler"),
])
def test_sigint_ends_a_long_call_and_it_leaves_nothing_behind(python_subprocess, threads, handler,
                                                              raised):
    result = python_subprocess(LONG_CALL + f"""
class Custom(Exception):
    pass
def custom(*_):
    raise Custom("raised by the handler")
signal.signal(signal.SIGINT, {handler})
def interrupted():
    try:
        call()
    except BaseException as error:
        return f"{{type(error).__name__}} {{error}}".strip(), len(ticks)
    return "returned", len(ticks)
outcome, at_interrupt = ticks_during(interrupted)
print(outcome)
# the alarm that sent SIGINT was the second; a third may only slip in on a
# stalled machine, where it waits in line behind SIGINT
print(same, at_interrupt in (2, 3), full > 2 * at_interrupt or full)
# nothing kept: the result buffer, the references, the borrows
print(allocated() - before < 1 << 20, (sys.getrefcount(xp), sys.getrefcount(targets)) == refs)
print(sorted(event for event, *_ in calls) == ["acquire"] * 3 + ["release"] * 3)
# the pool computes the next call as before
print(np.array_equal(call(), expected, equal_nan=True))
""", env={"RAYON_NUM_THREADS": threads})
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines() == [raised, "True True True", "True True", "True", "True"]

