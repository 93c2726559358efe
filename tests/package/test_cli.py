"""The `tamrix` command line on small netCDF files: results as from the
Python functions, one-line errors, and no half-written output."""

import importlib.util
import os
import subprocess
import sys

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask.array")
if not any(importlib.util.find_spec(m) for m in ("netCDF4", "h5netcdf")):
    pytest.skip("no netCDF engine installed", allow_module_level=True)

import tamrix  # noqa: E402
from bitwise import assert_same_bits  # noqa: E402
from tamrix.cli import main  # noqa: E402


@pytest.fixture
def model_file(tmp_path):
    rng = np.random.default_rng(4)
    shape = (2, 5, 3, 4)
    hyam = np.linspace(0.2, 0.0, 5)
    hybm = np.linspace(0.0, 0.98, 5)
    ps = rng.uniform(9.3e4, 1.03e5, (2, 3, 4))
    p = (hyam[:, None, None, None] * 1e5 + hybm[:, None, None, None] * ps).transpose(1, 0, 2, 3)
    dims = ("time", "lev", "lat", "lon")
    ds = xr.Dataset({
        "ta": (dims, 200.0 + 0.0009 * p + rng.uniform(-1, 1, shape),
               {"units": "K", "standard_name": "air_temperature"}),
        "hus": (dims, 0.01 * (p / 1e5) ** 4, {"units": "1", "standard_name": "specific_humidity"}),
        "ps": (("time", "lat", "lon"), ps, {"units": "Pa"}),
        "orog_phi": (("lat", "lon"), rng.uniform(0, 3000, (3, 4)), {"units": "m2 s-2"}),
        "hyam": ("lev", hyam), "hybm": ("lev", hybm),
    }, attrs={"title": "synthetic"})
    path = tmp_path / "in.nc"
    ds.to_netcdf(path)
    return path, ds


def test_hybrid_to_pressure_writes_what_the_function_computes(model_file, tmp_path):
    path, ds = model_file
    out = tmp_path / "out.nc"
    assert main(["hybrid-to-pressure", str(path), str(out), "--var", "ta", "--levels", "1000",
                 "500", "--units", "hPa", "--extrapolate", "--phis", "orog_phi",
                 "--chunks", "time=1"]) == 0
    with xr.open_dataset(out) as result:
        levels = xr.DataArray([1000.0, 500.0], dims="plev", attrs={"units": "hPa"})
        expected = tamrix.hybrid_to_pressure(ds.ta, ds.ps, ds.hyam.values, ds.hybm.values, levels,
                                             extrapolate=True, phi_sfc=ds.orog_phi)
        assert_same_bits(result.ta.values.ravel(), expected.values.ravel())
        assert result.plev.attrs["units"] == "hPa" and result.attrs["title"] == "synthetic"
        assert "tamrix hybrid-to-pressure" in result.attrs["history"]
    assert [f.name for f in tmp_path.iterdir() if f.name.startswith(".")] == []


def test_derive_relhum_from_specific_humidity_and_hybrid_pressure(model_file, tmp_path):
    path, ds = model_file
    out = tmp_path / "rh.nc"
    run = subprocess.run([sys.executable, "-m", "tamrix", "derive", "relhum", str(path),
                          str(out), "--t", "ta", "--q", "hus", "--name", "hur"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    p = tamrix.pressure_at_hybrid_levels(ds.hyam, ds.hybm, ds.ps, 1e5).transpose(*ds.ta.dims)
    expected = tamrix.relhum(ds.ta, pressure=p, specific_humidity=ds.hus)
    with xr.open_dataset(out) as result:
        assert_same_bits(result.hur.values.ravel(), expected.values.ravel())
        assert result.hur.attrs["standard_name"] == "relative_humidity"


@pytest.mark.parametrize("argv, message", [
    (["hybrid-to-pressure", "IN", "OUT", "--var", "tas", "--levels", "500"], "no variable 'tas'"),
    (["hybrid-to-pressure", "IN", "OUT", "--var", "ta", "--levels", "500", "--dim", "level"],
     "no dimension 'level'"),
    (["derive", "relhum", "IN", "OUT", "--t", "ta", "--p", "ps"], "needs the humidity"),
    (["derive", "dewtemp", "missing.nc", "OUT", "--t", "ta", "--rh", "hur"], "no such file"),
])
def test_errors_are_one_line_and_leave_the_output_alone(model_file, tmp_path, capsys, argv,
                                                        message):
    path, _ = model_file
    out = tmp_path / "out.nc"
    out.write_bytes(b"previous")
    argv = [str(path) if a == "IN" else str(out) if a == "OUT" else a for a in argv]
    assert main(argv) == 2
    error = capsys.readouterr().err
    assert error.startswith("tamrix: error:") and message in error and error.count("\n") == 1
    assert out.read_bytes() == b"previous"
    assert sorted(f.name for f in tmp_path.iterdir()) == ["in.nc", "out.nc"]


def test_a_failed_write_removes_its_temporary_file(model_file, tmp_path, monkeypatch):
    path, _ = model_file
    out = tmp_path / "out.nc"

    def failing_replace(source, target):
        raise OSError("disk full")

    monkeypatch.setattr(os, "replace", failing_replace)
    assert main(["derive", "relhum", str(path), str(out), "--t", "ta", "--q", "hus",
                 "--quiet"]) == 1
    assert sorted(f.name for f in tmp_path.iterdir()) == ["in.nc"]
