"""Type information: the _tamrix_rs stubs describe every function with its
exact parameters, tamrix's stub is the one its declarations give, and mypy
and stubtest accept both."""

import ast
import inspect
import pathlib
import subprocess
import sys
import textwrap

import pytest

import _tamrix_rs
import tamrix

pytestmark = pytest.mark.typing

STUB = pathlib.Path(_tamrix_rs.__file__).with_name("_tamrix_rs.pyi")


def stub_signatures():
    """{(submodule, function): [(parameter, has_default), ...]} from the stub."""
    tree = ast.parse(STUB.read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    found = {}
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation).startswith("Final["):
            submodule = node.target.id
            annotation = node.annotation.slice.id  # Final[_Class]
            for item in classes[annotation].body:
                if isinstance(item, ast.FunctionDef):
                    args = item.args
                    padding = len(args.args) - len(args.defaults)
                    found[(submodule, item.name)] = [
                        (a.arg, i >= padding) for i, a in enumerate(args.args)]
    return found


def runtime_signatures():
    found = {}
    for submodule in _tamrix_rs.__all__:
        module = getattr(_tamrix_rs, submodule)
        for name in module.__all__:
            parameters = inspect.signature(getattr(module, name)).parameters.values()
            found[(submodule, name)] = [
                (p.name, p.default is not inspect.Parameter.empty) for p in parameters]
    return found


def test_stub_is_installed_beside_the_extension_and_matches_it():
    assert STUB.is_file()
    assert (STUB.parent / "_tamrix_rs-stubs" / "__init__.pyi").read_text() == STUB.read_text()
    assert stub_signatures() == runtime_signatures()
    assert len(stub_signatures()) == 32


def test_tamrix_is_marked_as_typed():
    assert (pathlib.Path(tamrix.__file__).parent / "py.typed").is_file()


ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_the_committed_stub_is_the_one_the_declarations_give():
    result = subprocess.run([sys.executable, str(ROOT / "tools" / "stubs.py"), "--check"],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    # One cache for every mypy run of this module, all with the project's
    # configuration: after the first, NumPy's and xarray's stubs are read
    # from it instead of analysed again.
    return tmp_path_factory.mktemp("mypy-cache")


def test_the_package_passes_mypy_strict_and_stubtest(tmp_path, mypy_cache):
    pytest.importorskip("mypy")
    pytest.importorskip("xarray")
    config = str(ROOT / "pyproject.toml")
    checks = [["mypy", "--strict", "--config-file", config, "--cache-dir", str(mypy_cache),
               "-p", "tamrix"],
              ["mypy.stubtest", "tamrix", "--mypy-config-file", config, "--allowlist",
               str(ROOT / "tools" / "stubtest-allowlist.txt")]]
    for check in checks:
        result = subprocess.run([sys.executable, "-m", *check], cwd=tmp_path,
                                capture_output=True, text=True, timeout=600)
        assert result.returncode == 0, result.stdout + result.stderr


USAGE = """
    import numpy as np
    import numpy.typing as npt
    import _tamrix_rs
    import tamrix

    met = _tamrix_rs.meteorology
    a: npt.NDArray[np.float64] = np.zeros(3)
    x: float = met.relhum_scalar(temperature=300.0, mixing_ratio=0.01, pressure=1e5)
    y: npt.NDArray[np.float64] = met.heat_index_array(a, a, alternate_coeffs=np.True_)
    z = _tamrix_rs.interpolation.delta_pressure_1d(a, 1000.0)
    n = _tamrix_rs.interpolation.interpolate_columns(a, a, a, 3, ncols=1)
    r: float = _tamrix_rs.gradient.arc_lon_wgs84_scalar(lon=1, lat=np.float32(2.0))
    h: float = tamrix.relhum(300.0, 0.01, 1e5)
    d = tamrix.interp_to_levels(np.zeros((2, 3)), np.zeros(3), [1.0], axis=1)
"""

MISUSE = """
    import numpy as np
    import _tamrix_rs

    _tamrix_rs.meteorology.relhum_scalar(t=300.0, w=0.01, p=1e5)
    _tamrix_rs.meteorology.dewtemp_array([1.0], np.zeros(1))
    _tamrix_rs.interpolation.interpolate_columns(np.zeros(1), np.zeros(1), np.zeros(1), 1.5, 1)
    _tamrix_rs.gradient.rad_lat_wgs84_scalar("45")
    s: str = _tamrix_rs.meteorology.heat_index_scalar(90.0, 50.0, True)
"""


def mypy_strict(tmp_path, cache, correct, wrong):
    """mypy --strict on two snippets: the errors it finds in `correct`, the lines
    of `wrong` it reports, and its whole output."""
    (tmp_path / "correct.py").write_text(textwrap.dedent(correct))
    (tmp_path / "wrong.py").write_text(textwrap.dedent(wrong))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--config-file",
         str(ROOT / "pyproject.toml"), "--cache-dir", str(cache), "correct.py", "wrong.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    wrong_lines = sorted({int(e.split(":")[1]) for e in errors if e.startswith("wrong.py")})
    return [e for e in errors if e.startswith("correct.py")], wrong_lines, result.stdout


def test_mypy_accepts_correct_use_and_reports_misuse(tmp_path, mypy_cache):
    pytest.importorskip("mypy")
    correct_errors, wrong_lines, output = mypy_strict(tmp_path, mypy_cache, USAGE, MISUSE)
    assert not correct_errors, output
    assert wrong_lines == [5, 6, 7, 8, 9], output


def test_stubtest_finds_the_stub_complete_and_correct(tmp_path):
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_tamrix_rs", "--mypy-config-file", "/dev/null"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


# Under --strict, returning Any from a typed function is an error, and so is
# assigning a precise result to the wrong type: both catch an overload that
# gives up and returns Any.
PRECISE = """
    from typing import Any

    import numpy as np
    import numpy.typing as npt
    import xarray as xr
    import tamrix

    Floats = npt.NDArray[np.floating[Any]]

    def scalars(t: float, q: np.float32) -> tuple[float, np.floating[Any]]:
        return tamrix.relhum(t, 0.01, 1e5), tamrix.dewtemp(q, 50.0)

    def arrays(t: npt.NDArray[np.float32], p: list[float]) -> list[Floats]:
        return [tamrix.relhum(t, 0.01, p, dtype=np.float32), tamrix.heat_index(t, 50.0, True),
                tamrix.delta_pressure(p, t, axis=-1), tamrix.interp_to_levels(t, p, [5.0], axis=0),
                tamrix.pressure_at_hybrid_levels(p, p, t, 1e5), tamrix.arc_lat_wgs84(t),
                tamrix.delta_pressure_hybrid(p, p, 1e5, 1e5),
                tamrix.temp_extrapolate(t, 9e4, t, t, t), tamrix.interpolate_columns(p, p, p, 1, 1)]

    def dataarrays(t: xr.DataArray, p: xr.DataArray) -> list[xr.DataArray]:
        return [tamrix.relhum(t, specific_humidity=0.01, pressure=p), tamrix.max_daylight(1.0, t),
                tamrix.delta_pressure(p, t, dim="lev"), tamrix.interp_to_levels(t, p, [5.0]),
                tamrix.pressure_at_hybrid_levels([0.1], [0.5], t, 1e5),
                tamrix.hybrid_to_pressure(t, p, [0.1], [0.5], [5.0])]
"""

WRONG = """
    import numpy as np
    import xarray as xr
    import tamrix

    a: str = tamrix.relhum(np.ones(3), 0.01, 1e5)
    b: str = tamrix.dewtemp(xr.DataArray([300.0]), 50.0)
    c: str = tamrix.psychrometric_constant(np.float64(101.0))
    d: np.ndarray = tamrix.saturation_vapor_pressure(77.0)
"""


def test_mypy_strict_sees_precise_results_of_array_and_dataarray_calls(tmp_path, mypy_cache):
    pytest.importorskip("mypy")
    pytest.importorskip("xarray")
    correct_errors, wrong_lines, output = mypy_strict(tmp_path, mypy_cache, PRECISE, WRONG)
    assert not correct_errors, output
    assert wrong_lines == [6, 7, 8, 9], output
