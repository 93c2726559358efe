"""The worker pool: sizing from the environment, fork safety, threads."""

import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import _tamrix_rs

met = _tamrix_rs.meteorology

COUNT_WORKERS = """
import os
import subprocess
import sys
import numpy as np
import _tamrix_rs
a = np.linspace(40.0, 100.0, 1_000_003)
before = len(os.listdir("/proc/self/task"))
met = _tamrix_rs.meteorology
result = met.saturation_vapor_pressure_array(a)
after = len(os.listdir("/proc/self/task"))
expected = np.array([met.saturation_vapor_pressure_scalar(x) for x in a[::1009]])
assert np.array_equal(result[::1009], expected)
print(after - before)
"""


def worker_count(run, **env):
    result = run(COUNT_WORKERS, env=env)
    assert result.returncode == 0, result.stderr
    return int(result.stdout)


def available_cpus():
    return len(os.sched_getaffinity(0))


@pytest.mark.parametrize("env, expected", [
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "+3"}, 3),
    ({"RAYON_NUM_THREADS": "1"}, 1),
    ({"RAYON_NUM_THREADS": "5", "RAYON_RS_NUM_CPUS": "2"}, 5),
    ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_NUM_THREADS": "+", "RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": " 2", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "99999999999999999999999", "RAYON_RS_NUM_CPUS": "3"}, 3),
])
def test_pool_size_from_environment(python_subprocess, env, expected):
    assert worker_count(python_subprocess, **env) == expected


@pytest.mark.parametrize("env", [
    {},
    {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "7"},  # 0 means the default
    {"RAYON_RS_NUM_CPUS": "0"},
    {"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "y"},
])
def test_pool_default_size(python_subprocess, env):
    assert worker_count(python_subprocess, **env) == available_cpus()


def test_default_size_follows_cpu_affinity(python_subprocess):
    result = python_subprocess("import os; os.sched_setaffinity(0, {0})\n" + COUNT_WORKERS)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) == 1


def test_pool_created_on_first_array_call_even_when_tiny(python_subprocess):
    result = python_subprocess(
        """
        import os, numpy as np, _tamrix_rs
        met = _tamrix_rs.meteorology
        met.psychrometric_constant_scalar(1.0)
        before = len(os.listdir("/proc/self/task"))
        met.psychrometric_constant_array(np.zeros(0))
        middle = len(os.listdir("/proc/self/task"))
        met.psychrometric_constant_array(np.zeros(10**6))
        after = len(os.listdir("/proc/self/task"))
        print(middle - before, after - middle)
        """,
        env={"RAYON_NUM_THREADS": "2"},
    )
    assert result.stdout.split() == ["2", "0"], result.stderr


def test_environment_read_only_once(python_subprocess):
    result = python_subprocess(
        """
        import os, numpy as np, _tamrix_rs
        met = _tamrix_rs.meteorology
        before = len(os.listdir("/proc/self/task"))
        met.psychrometric_constant_array(np.zeros(10**6))
        os.environ["RAYON_NUM_THREADS"] = "6"
        met.psychrometric_constant_array(np.zeros(10**6))
        print(len(os.listdir("/proc/self/task")) - before)
        """,
        env={"RAYON_NUM_THREADS": "2"},
    )
    assert result.stdout.strip() == "2", result.stderr


def test_forked_child_computes_with_its_own_pool(python_subprocess):
    result = python_subprocess(
        """
        import os, numpy as np, _tamrix_rs
        met = _tamrix_rs.meteorology
        a = np.linspace(40.0, 100.0, 2_000_001)
        expected = met.saturation_vapor_pressure_array(a)
        pid = os.fork()
        if pid == 0:
            ok = np.array_equal(met.saturation_vapor_pressure_array(a), expected, equal_nan=True)
            os._exit(0 if ok else 3)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
        """,
        timeout=60,
    )
    assert result.stdout.strip() == "0", result.stderr


def test_multiprocessing_fork_pool(python_subprocess):
    result = python_subprocess(
        """
        import multiprocessing as mp, numpy as np, _tamrix_rs
        met = _tamrix_rs.meteorology

        def work(seed):
            a = np.random.default_rng(seed).uniform(33.0, 120.0, 500_001)
            return float(met.saturation_vapor_pressure_array(a).sum())

        if __name__ == "__main__":
            met.saturation_vapor_pressure_array(np.ones(1_000_000) * 50.0)
            with mp.get_context("fork").Pool(2) as pool:
                print(pool.map(work, range(4)) == [work(s) for s in range(4)])
        """,
        timeout=120,
    )
    assert result.stdout.strip() == "True", result.stderr


def test_many_python_threads_get_correct_results():
    rng = np.random.default_rng(7)
    inputs = [rng.uniform(20.0, 120.0, 200_003) for _ in range(8)]
    expected = [met.saturation_vapor_pressure_array(a) for a in inputs]
    failures = []

    def worker(k):
        for _ in range(5):
            got = met.saturation_vapor_pressure_array(inputs[k])
            if not np.array_equal(got, expected[k], equal_nan=True):
                failures.append(k)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_single_worker_gives_identical_results(python_subprocess):
    code = """
        import hashlib, numpy as np, _tamrix_rs
        a = np.random.default_rng(1).uniform(-50.0, 250.0, 1_000_003)
        result = _tamrix_rs.meteorology.saturation_vapor_pressure_slope_array(a)
        print(hashlib.sha256(result.tobytes()).hexdigest())
    """
    digests = {python_subprocess(code, env={"RAYON_NUM_THREADS": n}).stdout for n in ("1", "3")}
    assert len(digests) == 1 and len(digests.pop().strip()) == 64


def test_empty_grid_call_starts_the_pool(python_subprocess):
    result = python_subprocess(
        """
        import os, numpy as np, _tamrix_rs
        before = len(os.listdir("/proc/self/task"))
        _tamrix_rs.meteorology.max_daylight_grid(np.zeros(0), np.ones(3))
        print(len(os.listdir("/proc/self/task")) - before)
        """,
        env={"RAYON_NUM_THREADS": "2"},
    )
    assert result.stdout.strip() == "2", result.stderr


def cgroup_files(root, version, quotas):
    """A cgroup tree with CPU quotas (in CPUs, None for none) on the given paths."""
    for path, cpus in quotas.items():
        directory = root / "cgroup" / ("" if version == 2 else "cpu,cpuacct") / path.lstrip("/")
        directory.mkdir(parents=True, exist_ok=True)
        if version == 2:
            (directory / "cpu.max").write_text(f"{cpus * 100000 if cpus else 'max'} 100000\n")
        else:
            (directory / "cpu.cfs_quota_us").write_text(f"{cpus * 100000 if cpus else -1}\n")
            (directory / "cpu.cfs_period_us").write_text("100000\n")
    own = max(quotas, key=len)
    (root / "self").write_text(f"0::{own}\n" if version == 2 else f"2:cpu,cpuacct:{own}\n")


def can_mount():
    return subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode == 0


@pytest.mark.skipif(available_cpus() < 2 or not can_mount(),
                    reason="needs two CPUs and a private mount namespace")
@pytest.mark.parametrize("version, quotas", [
    (1, {"/": None, "/parent": 1, "/parent/job": None}),
    (1, {"/": 1, "/parent": None, "/parent/job": None}),
    (1, {"/": None, "/parent": 1, "/parent/job": 2}),
    (2, {"/": None, "/parent": 1, "/parent/job": 2}),
])
def test_smallest_cgroup_quota_on_the_path_limits_the_default_size(tmp_path, version, quotas):
    cgroup_files(tmp_path, version, quotas)
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    script = (f"mount --bind {tmp_path}/cgroup /sys/fs/cgroup && "
              f"mount --bind {tmp_path}/self /proc/$$/cgroup && exec \"$0\" -c \"$1\"")
    result = subprocess.run(["unshare", "-m", "sh", "-c", script, sys.executable, COUNT_WORKERS],
                            env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) == 1
