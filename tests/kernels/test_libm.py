"""The vector exp/log against the C library, and the kernels on both paths.

The vector path must give the C library's bits on every input: ten million
per function here (every table boundary and special-path threshold with its
neighbours, random bit patterns, the ranges the vector path computes
itself); bench/libm_compare.py runs a billion and more on request. The
kernels must give the same bits on either path, and the path must be chosen
as documented.
"""

import platform
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from bitwise import assert_same_bits
from libm_inputs import exp_batch, log_batch

import tamrix
from tamrix import _kernels

ROOT = Path(__file__).resolve().parents[2]
needs_vector = pytest.mark.skipif(not _kernels.vector_supported(), reason="no AVX2/FMA on this CPU")
BATCHES = {"exp": exp_batch, "log": log_batch}


def through(function, path, values):
    out = np.empty_like(values)
    _kernels.apply(function, path, values, out)
    return out


@needs_vector
@pytest.mark.parametrize("function", ["exp", "log"])
def test_vector_path_gives_the_c_librarys_bits_on_ten_million_inputs(function):
    values = BATCHES[function](np.random.default_rng(12), 10_000_000)
    assert values.size >= 10_000_000
    assert_same_bits(through(function, "vector", values), through(function, "scalar", values))


@needs_vector
@pytest.mark.parametrize("function", ["exp", "log"])
@pytest.mark.parametrize("n", [0, 1, 2, 3, 4, 5, 7, 513])
def test_every_length_and_in_place(function, n):
    # Lengths that leave one to three lanes over, with special lanes among them.
    values = np.resize(np.array([0.5, np.nan, -1.0, 1e-300, 800.0, 1.03, 3.0]), n)
    expected = through(function, "scalar", values)
    _kernels.apply(function, "vector", values, values)
    assert_same_bits(values, expected)


def test_apply_refuses_what_it_cannot_read():
    values = np.ones(4)
    with pytest.raises(TypeError, match="contiguous float64"):
        _kernels.apply("exp", "scalar", values.astype(np.float32), values)
    with pytest.raises(TypeError, match="contiguous float64"):
        _kernels.apply("exp", "scalar", np.ones(8)[::2], values)
    with pytest.raises(ValueError, match="same length"):
        _kernels.apply("exp", "scalar", np.ones(3), values)
    with pytest.raises(ValueError, match="'exp', 'log' or 'acos'"):
        _kernels.apply("sin", "scalar", values, values)
    with pytest.raises(ValueError, match="path must be"):
        _kernels.apply("exp", "fast", values, values)


def test_tables_are_glibcs_word_for_word():
    if platform.libc_ver() != ("glibc", "2.36") or platform.machine() != "x86_64":
        pytest.skip("not on the glibc the tables come from")
    header = ROOT / "numeric_core" / "src" / "glibc_libm_tables.hpp"
    tool = ROOT / "tools" / "glibc_libm_tables.py"
    run = subprocess.run([sys.executable, str(tool), "--check", str(header)], capture_output=True,
                         text=True)
    assert run.returncode == 0, run.stdout + run.stderr


def path_in_subprocess(run_python, value=None):
    """(vector, reason) in a fresh process, with TAMRIX_SCALAR_LIBM set to
    `value` or (None) removed."""
    code = f"""
        import os
        value = {value!r}
        if value is None:
            os.environ.pop("TAMRIX_SCALAR_LIBM", None)
        else:
            os.environ["TAMRIX_SCALAR_LIBM"] = value
        from tamrix import _kernels
        print(*_kernels.status(), sep="|")
    """
    run = run_python(code)
    assert run.returncode == 0, run.stderr
    vector, reason = run.stdout.strip().split("|")
    return vector == "True", reason


def test_default_path_is_vector_where_verified(python_subprocess):
    vector, reason = path_in_subprocess(python_subprocess)
    if _kernels.vector_supported() and platform.libc_ver() == ("glibc", "2.36"):
        assert vector, reason
        assert reason.startswith("AVX2+FMA vector exp/log, identical to glibc 2.36 on ")
    else:
        assert not vector and reason.startswith("scalar C library: ")


@pytest.mark.parametrize("value, forced", [("1", True), ("yes", True), ("0", False), ("", False)])
def test_environment_variable_forces_the_c_library(python_subprocess, value, forced):
    vector, reason = path_in_subprocess(python_subprocess, value)
    if forced:
        assert (vector, reason) == (False, "scalar C library: TAMRIX_SCALAR_LIBM is set")
    else:
        assert (vector, reason) == path_in_subprocess(python_subprocess)


def test_show_config_names_the_path(capsys):
    config = tamrix.show_config(mode="dicts")
    vector, reason = _kernels.status()
    assert config["exp_log"] == {"path": "vector" if vector else "scalar", "reason": reason}
    assert tamrix.show_config() is None
    assert f"exp/log: {config['exp_log']['path']} ({reason})" in capsys.readouterr().out
    with pytest.raises(ValueError):
        tamrix.show_config(mode="json")


# The seven kernels on inputs that reach every special lane (NaNs with
# payloads, infinities, zeros, subnormals, huge and tiny exponents): on the C
# library path (which also finishes in two lanes rather than four) they must
# give the same bits as on the vector path. Where two different NaN inputs
# meet in one operation, which payload survives depends on the compiled code,
# so there only NaN must meet NaN; within a process the scalar and array
# forms agree even then (test_differential).
KERNELS = """
import numpy as np, _tamrix_rs
met, itp = _tamrix_rs.meteorology, _tamrix_rs.interpolation
rng = np.random.default_rng(5)
n = 200_001
def inputs(lo, hi):
    x = rng.uniform(lo, hi, n)
    pick = rng.random(n) < 0.3
    special = np.array([0.0, -0.0, np.inf, -np.inf, 5e-324, -5e-324, 1e300, -1e300, 1e-300,
                        np.nan, -np.nan]).view(np.int64)
    bits = np.concatenate([special, rng.integers(0x7FF0000000000001, 0x7FFFFFFFFFFFFFFF, 5),
                           rng.integers(-2**63, 2**63 - 1, 20)])
    x[pick] = rng.choice(bits, pick.sum()).view(np.float64)
    return x
t, w, p = inputs(150, 350), inputs(-0.005, 0.05), inputs(0, 110000)
tf, rh = inputs(-500, 300), inputs(-5, 110)
ps, psfc, phi = inputs(30000, 110000), inputs(30000, 110000), inputs(-5000, 60000)
results = [met.dewtemp_array(t, rh), met.relhum_ice_array(t, w, p),
           met.relhum_water_array(t, w, p), met.saturation_vapor_pressure_array(tf),
           met.saturation_vapor_pressure_slope_array(tf),
           itp.temp_extrapolate_array(t, 85000.0, psfc, ps, phi),
           itp.geo_height_extrapolate_array(t, 85000.0, psfc, ps, phi),
           np.array([met.dewtemp_scalar(a, b) for a, b in zip(t[:2000], rh[:2000])])]
np.save(TARGET, np.stack([np.resize(r, n) for r in results]))
"""


def test_kernels_give_the_same_bits_on_both_paths(python_subprocess, tmp_path):
    runs = {}
    setups = {"default": 'os.environ.pop("TAMRIX_SCALAR_LIBM", None)',
              "scalar": 'os.environ["TAMRIX_SCALAR_LIBM"] = "1"'}
    for name, setup in setups.items():
        target = tmp_path / f"{name}.npy"
        code = f"import os\n{setup}\n" + KERNELS.replace("TARGET", repr(str(target)))
        run = python_subprocess(code)
        assert run.returncode == 0, run.stderr
        runs[name] = np.load(target)
    for default, scalar in zip(runs["default"], runs["scalar"]):
        both_nan = np.isnan(default) & np.isnan(scalar)
        assert_same_bits(np.where(both_nan, np.nan, default), np.where(both_nan, np.nan, scalar))
        assert both_nan.sum() > 1000
