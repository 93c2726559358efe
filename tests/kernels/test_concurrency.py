"""Threads and processes beyond the pool's own tests: mixed and failing calls from many
threads, failures raised on pool workers, the first call racing in several threads,
fork from a thread and in a grandchild, spawn and forkserver, signals during a long
call, and interpreter exit while daemon threads compute."""

import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import _tamrix_rs

met, grad, interp = _tamrix_rs.meteorology, _tamrix_rs.gradient, _tamrix_rs.interpolation

LONG = 300_001  # split over the pool by every element-wise function


def short_hyb_call():
    """Fails on a pool worker: hyb is shorter than hya."""
    hya = np.linspace(0.0, 1.0, 600)
    return interp.pressure_at_hybrid_levels_array(hya, hya[:-1], np.linspace(5e4, 1e5, 600), 1e5)


def short_column_call():
    """Fails on a pool worker: the last of many columns reaches past xp_flat."""
    xp = np.tile([1.0, 2.0, 3.0], 20_000)
    return interp.interpolate_columns(xp[:-1], xp, np.array([1.5, 2.5] * 50), 3, 20_000)


def test_failure_on_a_worker_is_raised_and_the_pool_keeps_working():
    a = np.linspace(40.0, 100.0, LONG)
    expected = met.saturation_vapor_pressure_array(a)
    for failing, message in [(short_hyb_call, "index out of bounds: the len is 599 but the index is "),
                             (short_column_call, "range end index 60000 out of range for slice of "
                                                 "length 59999")]:
        for _ in range(5):
            with pytest.raises(BaseException) as caught:
                failing()
            assert type(caught.value).__name__ == "PanicException"
            assert str(caught.value).startswith(message)
            assert np.array_equal(met.saturation_vapor_pressure_array(a), expected, equal_nan=True)


def test_mixed_and_failing_calls_from_many_threads():
    rng = np.random.default_rng(3)
    t = rng.uniform(250.0, 320.0, LONG)
    rh = rng.uniform(1.0, 100.0, LONG)
    lat = rng.uniform(-90.0, 90.0, LONG)
    work = {
        "dewtemp": lambda: met.dewtemp_array(t, rh),
        "heat": lambda: met.heat_index_array(t - 200.0, rh, True),
        "arc": lambda: grad.arc_lon_wgs84_array(lat, lat),
        "grid": lambda: met.max_daylight_grid(rh[:300], lat[:1000]),
        "columns": lambda: interp.interpolate_columns(np.sort(t[:3000]), rh[:3000],
                                                      np.array([260.0, 300.0]), 30, 100),
    }
    expected = {name: call() for name, call in work.items()}
    errors = []

    def worker(k):
        try:
            for round_ in range(6):
                name = list(work)[(k + round_) % len(work)]
                if not np.array_equal(work[name](), expected[name], equal_nan=True):
                    errors.append(f"{name}: wrong result")
                for failing in (short_hyb_call, lambda: met.dewtemp_array(t, rh[:-1])):
                    try:
                        failing()
                        errors.append("no failure")
                    except ValueError:
                        pass
                    except BaseException as error:  # noqa: B036
                        if type(error).__name__ != "PanicException":
                            errors.append(repr(error))
        except BaseException as error:  # noqa: B036
            errors.append(repr(error))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


def test_first_array_calls_racing_in_many_threads(python_subprocess):
    result = python_subprocess(
        """
        import os, threading, numpy as np, _tamrix_rs
        met = _tamrix_rs.meteorology
        a = np.linspace(40.0, 100.0, 500_001)
        barrier = threading.Barrier(8)
        results = [None] * 8
        def first_call(k):
            barrier.wait()
            results[k] = met.saturation_vapor_pressure_array(a)
        def pool_workers():
            # by name: a joined Python thread may linger in /proc for a moment
            count = 0
            for task in os.listdir("/proc/self/task"):
                try:
                    count += open(f"/proc/self/task/{task}/comm").read().startswith("tamrix-")
                except FileNotFoundError:
                    pass
            return count
        threads = [threading.Thread(target=first_call, args=(k,)) for k in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        workers = pool_workers()
        same = all(np.array_equal(r, results[0], equal_nan=True) for r in results)
        print(workers, same)
        """,
        env={"RAYON_NUM_THREADS": "3"},
    )
    assert result.stdout.split() == ["3", "True"], result.stderr[-2000:]


FORK_CHECK = """
import os, threading, numpy as np, _tamrix_rs
met = _tamrix_rs.meteorology
a = np.linspace(40.0, 100.0, 400_001)

def check():
    return np.array_equal(met.saturation_vapor_pressure_slope_array(a), expected, equal_nan=True)

def forked(child):
    pid = os.fork()
    if pid == 0:
        os._exit(0 if child() else 3)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
"""


def test_fork_from_a_thread_and_from_a_forked_child(python_subprocess):
    result = python_subprocess(
        FORK_CHECK
        + """
expected = met.saturation_vapor_pressure_slope_array(a)
statuses = []
thread = threading.Thread(target=lambda: statuses.append(forked(check)))
thread.start(); thread.join()
# the child computes, forks a grandchild that computes, and computes again
statuses.append(forked(lambda: check() and forked(check) == 0 and check()))
# a child that starts threads of its own, each computing
def threaded_child():
    results = []
    threads = [threading.Thread(target=lambda: results.append(check())) for _ in range(4)]
    for t in threads: t.start()
    for t in threads: t.join()
    return results == [True] * 4
statuses.append(forked(threaded_child))
print(statuses, check())
""",
    )
    assert result.stdout.strip() == "[0, 0, 0] True", result.stderr[-2000:]


def test_fork_before_the_pool_exists(python_subprocess):
    # the child builds and uses a pool of its own; the parent's comes afterwards
    result = python_subprocess(
        FORK_CHECK
        + """
expected = np.array([met.saturation_vapor_pressure_slope_scalar(x) for x in a])
print(forked(check), check())
""",
        env={"RAYON_NUM_THREADS": "2"},
    )
    assert result.stdout.split() == ["0", "True"], result.stderr[-2000:]


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_multiprocessing_start_methods(tmp_path, method):
    script = tmp_path / "start_methods.py"  # spawned workers import the main module by path
    script.write_text(textwrap.dedent(f"""
        import multiprocessing as mp, numpy as np, _tamrix_rs

        def work(seed):
            a = np.random.default_rng(seed).uniform(-90.0, 90.0, 200_001)
            return _tamrix_rs.gradient.arc_lat_wgs84_array(a).tobytes()

        if __name__ == "__main__":
            work(0)
            with mp.get_context("{method}").Pool(2) as pool:
                print(pool.map(work, range(3)) == [work(s) for s in range(3)])
        """))
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                            timeout=120)
    assert result.stdout.strip() == "True", result.stderr[-2000:]


def test_signals_during_a_long_call(python_subprocess):
    result = python_subprocess(
        """
        import signal, numpy as np, _tamrix_rs
        met = _tamrix_rs.meteorology
        hits = []
        signal.signal(signal.SIGALRM, lambda *_: hits.append(1))
        a = np.linspace(40.0, 100.0, 2_000_001)
        expected = met.max_daylight_grid(a[:2000], a[:1000])
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        same = all(np.array_equal(met.max_daylight_grid(a[:2000], a[:1000]), expected)
                   for _ in range(5))
        signal.setitimer(signal.ITIMER_REAL, 0.0)
        print(same, len(hits) > 0)
        """,
    )
    assert result.stdout.split() == ["True", "True"], result.stderr[-2000:]


def test_interpreter_exit_while_daemon_threads_compute(python_subprocess):
    result = python_subprocess(
        """
        import threading, time, numpy as np, _tamrix_rs
        met = _tamrix_rs.meteorology
        a = np.linspace(40.0, 100.0, 1_000_001)
        def spin():
            while True:
                met.saturation_vapor_pressure_array(a)
                met.max_daylight_grid(a[:300], a[:1000])
        for _ in range(4):
            threading.Thread(target=spin, daemon=True).start()
        time.sleep(0.3)
        print("exiting")
        """,
    )
    assert result.returncode == 0 and result.stdout.strip() == "exiting", result.stderr[-2000:]


@pytest.mark.skipif(sys.platform != "linux", reason="thread counts from /proc")
def test_many_workers_give_the_same_bits(python_subprocess):
    code = """
        import hashlib, numpy as np, _tamrix_rs
        a = np.random.default_rng(2).uniform(-100.0, 100.0, 300_007)
        r = _tamrix_rs.gradient.rad_lat_wgs84_array(a)
        g = _tamrix_rs.meteorology.max_daylight_grid(a[:301], a[:997])
        print(hashlib.sha256(r.tobytes() + g.tobytes()).hexdigest())
    """
    digests = {python_subprocess(code, env={"RAYON_NUM_THREADS": n}).stdout for n in ("1", "2", "16")}
    assert len(digests) == 1 and len(digests.pop().strip()) == 64


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer cannot run under an address-space limit")
def test_pool_that_cannot_start_fails_every_array_call_cleanly(python_subprocess):
    # Too little address space for the workers' stacks: some threads start,
    # then creating the next one fails.
    result = python_subprocess(
        """
        import resource, numpy as np, _tamrix_rs
        met = _tamrix_rs.meteorology
        with open("/proc/self/statm") as statm:
            size = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (40 << 20), resource.RLIM_INFINITY))
        for _ in range(3):
            try:
                met.psychrometric_constant_array(np.ones(4))
                print("computed")
            except BaseException as error:
                print(type(error).__name__, str(error).startswith(
                    "The global thread pool has not been initialized."))
        print(met.psychrometric_constant_scalar(100.0) == 100.0 * 0.00066474)
        """,
        env={"RAYON_NUM_THREADS": "64"},
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split("\n")[:4] == ["PanicException True"] * 3 + ["True"], result.stdout


FAILING_WORKER_NEW = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>
#include <string.h>
#include <sys/prctl.h>
extern void* __libc_malloc(size_t);
int failures;
/* operator new fails on pool workers; the C library's own allocations (the
   thread-local data of a worker, say) still succeed. */
void* malloc(size_t size) {
  char name[17] = {0};
  Dl_info caller;
  prctl(PR_GET_NAME, name);
  if (strncmp(name, "tamrix-", 7) == 0 && dladdr(__builtin_return_address(0), &caller) &&
      caller.dli_sname && strcmp(caller.dli_sname, "_Znwm") == 0) {
    __atomic_add_fetch(&failures, 1, __ATOMIC_RELAXED);
    return NULL;
  }
  return __libc_malloc(size);
}
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer owns malloc")
def test_workers_out_of_memory_still_finish_the_work(tmp_path, python_subprocess):
    # No worker can allocate, so none can grow its queue for a piece of a
    # split range: the work must still be done, and nothing may abort.
    source = tmp_path / "failing_new.c"
    source.write_text(FAILING_WORKER_NEW)
    shim = tmp_path / "failing_new.so"
    try:
        subprocess.run(["cc", "-shared", "-fPIC", "-o", str(shim), str(source), "-ldl"],
                       check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("no C compiler to build the allocation shim")
    result = python_subprocess(
        f"""
        import ctypes, numpy as np, _tamrix_rs
        met = _tamrix_rs.meteorology
        # large enough to be handed to the pool rather than computed inline
        a = np.linspace(40.0, 100.0, 1_000_003)
        expected = np.array([met.saturation_vapor_pressure_scalar(x) for x in a])
        for _ in range(400):  # enough for the queues to need new storage
            assert np.array_equal(met.saturation_vapor_pressure_array(a), expected)
        print(ctypes.c_int.in_dll(ctypes.CDLL("{shim}"), "failures").value > 0)
        """,
        env={"LD_PRELOAD": str(shim), "RAYON_NUM_THREADS": "2"},
    )
    assert result.returncode == 0 and result.stdout.strip() == "True", result.stderr[-2000:]
