"""The `tamrix` command line on small files: what the output file holds
(types, grid, history, compression), Zarr, derive, the streaming path's
memory and imports, a dask.distributed cluster, one-line errors, and no
half-written output."""

import os
import subprocess
import sys

import numpy as np
import pytest

netCDF4 = pytest.importorskip("netCDF4")

import model_files  # noqa: E402
import tamrix  # noqa: E402
from bitwise import assert_same_bits  # noqa: E402
from tamrix.cli import main  # noqa: E402

LEVELS = ["--levels", "1000", "850", "500", "--units", "hPa"]


def h2p(path, out, *extra):
    return ["hybrid-to-pressure", str(path), str(out), "--var", "ta", "hus", *LEVELS, *extra]


@pytest.fixture
def model_file(tmp_path):
    path = tmp_path / "in.nc"
    return path, model_files.write(path, "cf")


def test_the_output_keeps_types_grid_and_history(model_file, tmp_path):
    path, _ = model_file
    out = tmp_path / "out.nc"
    assert main(h2p(path, out, "--zlib", "1")) == 0
    with netCDF4.Dataset(out) as ds, netCDF4.Dataset(path) as source:
        assert ds["ta"].dtype == np.float32 and ds["ta"].dimensions == ("time", "plev", "lat",
                                                                        "lon")
        assert ds["ta"].filters()["zlib"] and ds["ta"].filters()["shuffle"]
        assert {"time", "lat", "lon", "lat_bnds", "ps", "plev"} <= set(ds.variables)
        assert ds.dimensions["time"].isunlimited()
        for name in ("lat", "time"):
            assert ds[name].__dict__ == source[name].__dict__
            assert_same_bits(ds[name][:], source[name][:])
        assert_same_bits(ds["ps"][:].ravel(), source["ps"][:].ravel())
        assert ds["plev"].__dict__ == {"standard_name": "air_pressure", "long_name": "pressure",
                                       "units": "Pa", "positive": "down", "axis": "Z"}
        assert list(ds["plev"][:]) == [100000.0, 85000.0, 50000.0]
        newest, previous = ds.history.split("\n")
        assert newest.endswith(f"tamrix hybrid-to-pressure {path} {out} --var ta hus --levels "
                               f"1000 850 500 --units hPa --zlib 1") and previous == source.history
        assert ds.title == "test" and ds["ta"].units == "K"
    with netCDF4.Dataset(out) as ds:
        assert main(h2p(path, tmp_path / "f8.nc", "--dtype", "float64")) == 0
        with netCDF4.Dataset(tmp_path / "f8.nc") as f8:
            assert f8["ta"].dtype == np.float64
            assert_same_bits(ds["ta"][:].ravel(), f8["ta"][:].astype(np.float32).ravel())


def test_zarr_in_and_out(model_file, tmp_path):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("zarr")
    path, _ = model_file
    assert main(h2p(path, tmp_path / "out.nc")) == 0
    assert main(h2p(path, tmp_path / "out.zarr")) == 0
    with xr.open_dataset(tmp_path / "out.nc") as nc, xr.open_zarr(tmp_path / "out.zarr") as zr:
        xr.testing.assert_identical(nc[["ta", "hus", "ps", "lat_bnds"]].drop_attrs(),
                                    zr[["ta", "hus", "ps", "lat_bnds"]].drop_attrs())
        assert zr.ta.attrs == nc.ta.attrs and zr.plev.attrs == nc.plev.attrs
    # And Zarr in: the same store read back, written as netCDF.
    xr.open_dataset(path).to_zarr(tmp_path / "in.zarr", zarr_format=2)
    assert main(h2p(tmp_path / "in.zarr", tmp_path / "again.nc", "--format", "netcdf")) == 0
    with netCDF4.Dataset(tmp_path / "out.nc") as a, netCDF4.Dataset(tmp_path / "again.nc") as b:
        assert_same_bits(a["ta"][:].ravel(), b["ta"][:].ravel())
    # derive keeps the coordinate, scalar p0 included.
    assert main(["derive", "relhum", str(path), str(tmp_path / "rh.zarr"), "--t", "ta", "--q",
                 "hus"]) == 0
    with xr.open_zarr(tmp_path / "rh.zarr") as rh:
        assert rh.p0.shape == () and rh.relhum.dims == ("time", "lev", "lat", "lon")


@pytest.mark.parametrize("convention", ["cf", "cf-hpa", "era5"])
def test_derive_relhum_builds_pressures_in_pascals(tmp_path, convention):
    path = tmp_path / "in.nc"
    f = model_files.write(path, convention)
    assert main(["derive", "relhum", str(path), str(tmp_path / "rh.nc"), "--t", "ta", "--q",
                 "hus", "--name", "hur", "--quiet"]) == 0
    p = f["b"][None, :, None, None] * f["ps"][:, None] + (f["a"] * model_files.P0)[:, None, None]
    expected = tamrix.relhum(f["ta"].astype(np.float32), pressure=p,
                             specific_humidity=f["hus"].astype(np.float32),
                             nan_policy="propagate")
    with netCDF4.Dataset(tmp_path / "rh.nc") as ds:
        assert_same_bits(ds["hur"][:].ravel(), expected.astype(np.float32).ravel())
        assert ds["hur"].standard_name == "relative_humidity" and ds["hur"].units == "%"
        # The coordinate stays complete.
        assert {"lev", "lnsp" if convention == "era5" else "ps"} <= set(ds.variables)


@pytest.mark.parametrize("policy, expected", [("propagate", True), ("floor", False)])
def test_derive_nan_policy(model_file, tmp_path, policy, expected):
    path, _ = model_file
    with netCDF4.Dataset(path, "a") as ds:
        ds["ta"][0, 2, 1, 1] = 1e20  # the fill value: missing
    args = ["derive", "relhum", str(path), str(tmp_path / "rh.nc"), "--t", "ta", "--q", "hus"]
    assert main(args + ([] if policy == "propagate" else ["--nan-policy", policy])) == 0
    with netCDF4.Dataset(tmp_path / "rh.nc") as ds:
        value = ds["relhum"][0, 2, 1, 1]
        assert (value is np.ma.masked) == expected
        assert expected or value == pytest.approx(0.0001)


def _run_python(code, *args):
    run = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    return run.stdout


def test_the_plain_path_imports_no_dask_xarray_or_pint(model_file, tmp_path):
    path, _ = model_file
    loaded = _run_python(
        "import sys; from tamrix.cli import main; "
        "assert main(sys.argv[1:]) == 0; "
        "print(' '.join(m for m in sys.modules if m.split('.')[0] in "
        "('dask', 'distributed', 'xarray', 'pandas', 'pint', 'cf_xarray', 'zarr')))",
        *h2p(path, tmp_path / "out.nc", "--extrapolate"))
    assert loaded.strip() == ""


def test_streaming_memory_is_bounded_by_the_block(tmp_path):
    """Peak traced memory of a 64-step file read one step at a time stays a
    small fraction of the file (generously: a quarter)."""
    path = tmp_path / "big.nc"
    code = """
import sys, tracemalloc, numpy as np, netCDF4
from tamrix.cli import main
path, out = sys.argv[1:3]
with netCDF4.Dataset(path, "w") as ds:
    for name, size in (("time", 64), ("lev", 20), ("lat", 90), ("lon", 180)):
        ds.createDimension(name, size)
    a = ds.createVariable("hyam", "f8", ("lev",)); a[:] = np.linspace(0.1, 0.0, 20)
    b = ds.createVariable("hybm", "f8", ("lev",)); b[:] = np.linspace(0.0, 1.0, 20)
    ps = ds.createVariable("ps", "f4", ("time", "lat", "lon")); ps.units = "Pa"
    phis = ds.createVariable("phis", "f4", ("lat", "lon")); phis.units = "m2 s-2"; phis[:] = 0.0
    ta = ds.createVariable("ta", "f4", ("time", "lev", "lat", "lon")); ta.units = "K"
    for t in range(64):
        ps[t] = 100000.0
        ta[t] = np.full((20, 90, 180), 250.0 + t, dtype=np.float32)
size = 64 * 20 * 90 * 180 * 4
tracemalloc.start()
assert main(["hybrid-to-pressure", path, out, "--var", "ta", "--levels", "90000", "50000",
             "--units", "Pa", "--chunks", "time=1", "--extrapolate"]) == 0
print(tracemalloc.get_traced_memory()[1] / size)
"""
    share = float(_run_python(code, path, tmp_path / "out.nc"))
    assert share < 0.25  # 16 of the 64 time steps; reading it whole would be 1 or more


def test_the_cli_on_a_local_cluster(model_file, tmp_path):
    distributed = pytest.importorskip("distributed")
    path, _ = model_file
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster:
        assert main(h2p(path, tmp_path / "cluster.nc", "--scheduler", cluster.scheduler_address,
                        "--chunks", "time=1")) == 0
    assert main(h2p(path, tmp_path / "local.nc")) == 0
    with netCDF4.Dataset(tmp_path / "cluster.nc") as a, netCDF4.Dataset(tmp_path / "local.nc") \
            as b:
        assert_same_bits(a["hus"][:].ravel(), b["hus"][:].ravel())


def _truncate(path):
    os.truncate(path, os.path.getsize(path) // 2)


def _corrupt_chunk(path):
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        # The last zlib stream (level 4 header) is a data chunk: break it.
        start = data.rindex(b"\x78\x5e") + 2
        data[start:start + 64] = b"\xff" * 64
        f.seek(0)
        f.write(data)


@pytest.mark.parametrize("damage, message", [(_truncate, "cannot read"),
                                             (_corrupt_chunk, "cannot read variable")])
def test_damaged_inputs_are_read_failures(tmp_path, capsys, damage, message):
    path = tmp_path / "in.nc"
    model_files.write(path, "cf", data_model="NETCDF4")
    with netCDF4.Dataset(path) as ds:
        names = list(ds.variables)
    if damage is _corrupt_chunk:  # a compressed copy, so the damage hits a chunk
        subprocess.run([sys.executable, "-c", "import sys, xarray as xr; xr.open_dataset("
                        "sys.argv[1]).to_netcdf(sys.argv[2], encoding={v: {'zlib': True} for v in "
                        "('ta', 'hus', 'zg')})", str(path), str(tmp_path / "z.nc")], check=True)
        path = tmp_path / "z.nc"
    damage(path)
    status = main(h2p(path, tmp_path / "out.nc"))
    err = capsys.readouterr().err
    assert status == 1 and err.count("\n") == 1 and str(path) in err and message in err, err
    assert names and not (tmp_path / "out.nc").exists()


@pytest.mark.parametrize("argv, message", [
    (["hybrid-to-pressure", "IN", "OUT", "--var", "tas", *LEVELS], "no variable 'tas'"),
    (["hybrid-to-pressure", "IN", "OUT", "--var", "ta", *LEVELS, "--dim", "level"],
     "no dimension 'level'"),
    (["hybrid-to-pressure", "IN", "OUT", "--var", "ta", "ps", *LEVELS], "has dimensions"),
    (["hybrid-to-pressure", "IN", "OUT", "--var", "ta", *LEVELS, "--extrapolate", "--phis", "x"],
     "no variable 'x' for the surface geopotential"),
    (["hybrid-to-pressure", "IN", "OUT", "--var", "ta", *LEVELS, "--variable", "hus=plain"],
     "'hus' is not one of --var"),
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


def test_version(capsys):
    with pytest.raises(SystemExit) as exit:
        main(["--version"])
    assert exit.value.code == 0 and capsys.readouterr().out.startswith("tamrix ")
