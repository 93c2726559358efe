"""One exp/log path and one acos path per process: `_tamrix_rs` and
`tamrix._kernels` each link their own numeric core, and whichever is used
first decides for both, even when TAMRIX_SCALAR_LIBM changes between their
first uses.

`_tamrix_rs` cannot be asked which path it took, but the path shows in its
work: an array call is computed on the calling thread when it is cheap enough,
and the C library's exp/log (acos) makes the same call several times as
costly. So a `dewtemp_array` (`max_daylight_grid`) of a middling size runs on
the pool's workers on one path and on the calling thread on the other; the
CPU time of the workers tells.
"""

import pytest

PATH_TAKEN = """
import os, threading, time, numpy as np
def first_use_of_kernels():
    from tamrix import _kernels
    _kernels.status()
def first_use_of_rs():
    import _tamrix_rs
    _tamrix_rs.meteorology.dewtemp_array(np.ones(4), np.ones(4))
for use, value in STEPS:
    os.environ["TAMRIX_SCALAR_LIBM"] = value
    use()

import _tamrix_rs, tamrix
def workers():
    return [t for t in os.listdir("/proc/self/task")
            if open(f"/proc/self/task/{t}/comm").read().startswith("tamrix-")]
def cpu(tids):
    return sum(int(open(f"/proc/self/task/{t}/schedstat").read().split()[0]) for t in tids)
rh = np.linspace(1.0, 100.0, 50_000)
tk = rh + 200.0
days, latitudes = np.arange(1.0, 31.0), np.linspace(-60.0, 60.0, 1000)
def call():
    if PATH == "exp_log":
        _tamrix_rs.meteorology.dewtemp_array(tk, rh)
    else:
        _tamrix_rs.meteorology.max_daylight_grid(days, latitudes)
call()
while len(workers()) < 2:
    time.sleep(0.01)
caller = [str(threading.get_native_id())]
before = cpu(workers()), cpu(caller)
for _ in range(20):
    call()
on_workers = cpu(workers()) - before[0] > cpu(caller) - before[1]
print(tamrix.show_config(mode="dicts")[PATH]["path"], "workers" if on_workers else "caller")
"""


def path_taken(run, path, steps):
    """(path show_config reports, where the call was computed) after `steps`."""
    script = PATH_TAKEN.replace("STEPS", steps).replace("PATH", repr(path))
    result = run(script, env={"RAYON_NUM_THREADS": "2"})
    assert result.returncode == 0, result.stderr[-2000:]
    return tuple(result.stdout.split())


@pytest.mark.parametrize("path", ["exp_log", "acos"])
@pytest.mark.parametrize("steps, decided_by", [
    ('[(first_use_of_kernels, "1"), (first_use_of_rs, "0")]', "1"),
    ('[(first_use_of_rs, "0"), (first_use_of_kernels, "1")]', "0"),
])
def test_first_module_used_decides_the_path_for_both(python_subprocess, path, steps, decided_by):
    # each setting on its own, in a process that never changes it
    alone = {value: path_taken(python_subprocess, path, f'[(first_use_of_rs, "{value}")]')
             for value in ("0", "1")}
    if alone["0"] == alone["1"]:
        pytest.skip(f"both settings take one path here, computed alike: {alone['0']}")
    assert path_taken(python_subprocess, path, steps) == alone[decided_by]
