"""The vector acos against the C library, and max_daylight_grid on both paths.

The vector acos must give the C library's bits on every input: ten million
here (every branch and Taylor-table boundary with its neighbours, random bit
patterns, values close to 0 and to +-1); bench/libm_compare.py --function
acos runs a billion and more. The daylight grid must give the same bits on
either path, NaN payloads included, and the path must be chosen and reported
as documented.
"""

import platform
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from bitwise import assert_same_bits
from libm_inputs import acos_batch

import _tamrix_rs
import tamrix
from tamrix import _kernels

ROOT = Path(__file__).resolve().parents[2]
needs_vector = pytest.mark.skipif(not _kernels.vector_supported(), reason="no AVX2/FMA on this CPU")
VERIFIED = platform.libc_ver() == ("glibc", "2.36") and platform.machine() == "x86_64"


def acos_through(path, values):
    out = np.empty_like(values)
    _kernels.apply("acos", path, values, out)
    return out


@needs_vector
def test_vector_acos_gives_the_c_librarys_bits_on_ten_million_inputs():
    values = acos_batch(np.random.default_rng(7), 10_000_000)
    assert values.size >= 10_000_000
    assert_same_bits(acos_through("vector", values), acos_through("scalar", values))


@needs_vector
@pytest.mark.parametrize("n", [0, 1, 3, 4, 5, 255, 256, 257, 1029])
def test_every_length_and_in_place(n):
    # Lengths around the 256-value blocks and the last partial vector, with
    # every branch (table lanes set aside and put back) and the library's
    # special lanes among them.
    pattern = np.array([0.3, -0.7, 0.05, 1.0, -1.0, 0.99, -0.2, np.nan, 2.0, -0.0, 0.93, -0.96,
                        5e-324, 0.6])
    values = np.resize(pattern, n)
    expected = acos_through("scalar", values)
    _kernels.apply("acos", "vector", values, values)
    assert_same_bits(values, expected)


@pytest.mark.skipif(not VERIFIED, reason="not on the glibc the tables come from")
def test_tables_are_glibcs_word_for_word():
    header = ROOT / "numeric_core" / "src" / "glibc_acos_tables.hpp"
    tool = ROOT / "tools" / "glibc_libm_tables.py"
    run = subprocess.run([sys.executable, str(tool), "--check", str(header)], capture_output=True,
                         text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("2734 words identical")


STATUS = """
import os
{setup}
from tamrix import _kernels
import tamrix
print(*_kernels.acos_status(), sep="|")
tamrix.show_config()
"""


@pytest.mark.parametrize("value", [None, "1", "0"])
def test_path_is_vector_where_verified_unless_forced(python_subprocess, value):
    setup = ('os.environ.pop("TAMRIX_SCALAR_LIBM", None)' if value is None
             else f'os.environ["TAMRIX_SCALAR_LIBM"] = {value!r}')
    run = python_subprocess(STATUS.format(setup=setup))
    assert run.returncode == 0, run.stderr
    status, *config = run.stdout.splitlines()
    vector, reason = status.split("|")
    if value == "1":
        assert (vector, reason) == ("False", "scalar C library: TAMRIX_SCALAR_LIBM is set")
    elif _kernels.vector_supported() and VERIFIED:
        assert vector == "True"
        assert reason.startswith("AVX2+FMA vector acos, identical to glibc 2.36 on ")
    else:
        assert vector == "False" and reason.startswith("scalar C library: ")
    path = "vector" if vector == "True" else "scalar"
    assert f"acos: {path} ({reason})" in config


def test_show_config_returns_the_acos_path():
    vector, reason = _kernels.acos_status()
    assert tamrix.show_config(mode="dicts")["acos"] == {
        "path": "vector" if vector else "scalar", "reason": reason}


# Days and latitudes whose cosines reach every acos branch, the clamps, and
# NaNs with payloads on either axis (where both factors are NaN, the day's
# payload must survive on both paths).
GRID = """
import numpy as np, _tamrix_rs
rng = np.random.default_rng(3)
nan_a, nan_b = np.array([0x7FF8000000000123, 0xFFF8000000000456], np.uint64).view(np.float64)
jday = np.concatenate([rng.uniform(-10, 400, 997), [nan_a, np.inf, 172.0, 355.0, 80.0]])
lat = np.concatenate([rng.uniform(-95, 95, 995), [nan_b, -np.inf, 0.0, -0.0, 90.0, 1e300]])
met = _tamrix_rs.meteorology
grid = met.max_daylight_grid(jday, lat)
scalars = [met.max_daylight_scalar(d, a) for d in jday[-5:] for a in lat[-6:]]
np.save(TARGET, np.concatenate([grid, scalars]))
"""


def test_daylight_grid_gives_the_same_bits_on_both_paths(python_subprocess, tmp_path):
    runs = {}
    for name, setup in {"default": 'os.environ.pop("TAMRIX_SCALAR_LIBM", None)',
                        "scalar": 'os.environ["TAMRIX_SCALAR_LIBM"] = "1"'}.items():
        target = tmp_path / f"{name}.npy"
        run = python_subprocess(f"import os\n{setup}\n" + GRID.replace("TARGET", repr(str(target))))
        assert run.returncode == 0, run.stderr
        runs[name] = np.load(target)
    assert_same_bits(runs["default"], runs["scalar"])
    # The last 30 values: the scalar form on the special days and latitudes
    # equals the grid's last rows.
    last_rows = runs["default"][:-30].reshape(1002, 1001)[-5:, -6:].ravel()
    assert_same_bits(runs["default"][-30:], last_rows)


def test_both_factors_nan_keeps_the_days_payload():
    day, lat = np.array([0x7FF8000000000123, 0xFFF8000000000456], np.uint64).view(np.float64)
    grid = _tamrix_rs.meteorology.max_daylight_grid(np.array([day] * 5), np.array([lat] * 7))
    scalar = _tamrix_rs.meteorology.max_daylight_scalar(float(day), float(lat))
    assert_same_bits(grid, np.full(35, day))
    assert_same_bits(scalar, float(day))
