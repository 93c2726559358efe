"""The `tamrix` command never loses data and fails in one line: it refuses to
write over an input, cleans up when a signal stops it, keeps permissions,
fits long names, and names the file when reading or writing fails."""

import importlib.util
import os
import resource
import select
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask.array")
if not importlib.util.find_spec("netCDF4"):
    pytest.skip("the netCDF4 engine is not installed", allow_module_level=True)

from tamrix.cli import _output, main  # noqa: E402

PREVIOUS = b"previous output"


def write_input(path, size=(2, 3, 4), compress=False):
    rng = np.random.default_rng(7)
    dims = ("time", "lat", "lon")[-len(size):]
    ds = xr.Dataset({
        "ta": (dims, rng.uniform(250.0, 300.0, size), {"units": "K"}),
        "hur": (dims, rng.uniform(10.0, 100.0, size), {"units": "%"}),
    })
    ds.to_netcdf(path, encoding=dict.fromkeys(ds, {"zlib": True}) if compress else None)
    return path


def dewtemp(source, target):
    return ["derive", "dewtemp", str(source), str(target), "--t", "ta", "--rh", "hur", "--quiet"]


def hidden(folder):
    return sorted(f.name for f in folder.iterdir() if f.name.startswith("."))


def run_tamrix(argv, limits=(), timeout=120):
    """`python -m tamrix` in a subprocess with resource limits, SIGXFSZ
    ignored so that a write beyond RLIMIT_FSIZE fails as on a full disk."""
    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        for which, value in limits:
            resource.setrlimit(which, (value, value))
    return subprocess.run([sys.executable, "-m", "tamrix", *argv], preexec_fn=limit,
                          capture_output=True, text=True, timeout=timeout)


def one_line_error(stderr):
    assert stderr.startswith("tamrix: error: ") and stderr.count("\n") == 1, stderr
    return stderr


@pytest.mark.parametrize("alias", ["same path", "symbolic link", "hard link"])
def test_an_output_that_is_the_input_is_refused(tmp_path, capsys, alias):
    data = write_input(tmp_path / "data.nc")
    before = data.read_bytes()
    output = tmp_path / "other.nc"
    if alias == "same path":
        output = data
    elif alias == "symbolic link":
        output.symlink_to(data)
    else:
        os.link(data, output)
    assert main(dewtemp(data, output)) == 2
    assert "the input" in one_line_error(capsys.readouterr().err)
    assert data.read_bytes() == before and hidden(tmp_path) == []


@pytest.mark.parametrize("layout", ["the same store", "inside the input", "input inside"])
def test_a_store_that_is_or_holds_an_input_is_refused(tmp_path, layout):
    store = tmp_path / "in.zarr"
    store.mkdir()
    (store / "zarr.json").write_text("{}")
    output, source = {
        "the same store": (tmp_path / "link.zarr", store),
        "inside the input": (store / "out.zarr", store),
        "input inside": (store, store / "zarr.json"),
    }[layout]
    if layout == "the same store":
        output.symlink_to(store)
    with pytest.raises(_output.UsageError), _output.replacing(str(output), [str(source)],
                                                              directory=True):
        pytest.fail("the body ran")
    assert (store / "zarr.json").read_text() == "{}" and hidden(tmp_path) == []


@pytest.mark.parametrize("marker", ["zarr.json", ".zgroup", "notes.txt"])
def test_a_store_is_replaced_whole_and_any_other_directory_refused(tmp_path, marker):
    output = tmp_path / "out.zarr"
    output.mkdir(mode=0o750)
    (output / marker).write_bytes(PREVIOUS)

    def replace():
        with _output.replacing(str(output), directory=True) as store:
            (tmp_path / store / "zarr.json").write_text("{}")

    if marker == "notes.txt":
        with pytest.raises(_output.UsageError, match="not a Zarr store"):
            replace()
        assert (output / marker).read_bytes() == PREVIOUS
    else:
        replace()
        assert sorted(f.name for f in output.iterdir()) == ["zarr.json"]
        assert (output / "zarr.json").read_text() == "{}"
        assert output.stat().st_mode & 0o7777 == 0o750
    assert hidden(tmp_path) == []


# A writer stopped where it cannot go on by itself: the command's netCDF
# writer (today in a dask worker thread) or a body writing in the main thread.
# They sleep rather than block on a lock: the kernel may deliver the signal to
# another thread (NumPy's OpenBLAS has one), which does not wake a main thread
# blocked on a lock, while a sleeping one reaches the handler within 10 ms.
STOPPED_IN_THE_WRITER = """
    import netCDF4

    class WriterThatWaits(netCDF4.Dataset):
        def close(self):
            if os.path.basename(self.filepath()).startswith("."):  # the temporary
                print("writing", flush=True)
                while True:
                    time.sleep(0.01)
            super().close()

    netCDF4.Dataset = WriterThatWaits
    from tamrix.cli import main
    status = main(sys.argv[1:])
"""
STOPPED_IN_THE_MAIN_THREAD = """
    from tamrix.cli import _output

    def body():
        store = sys.argv[2] == "store"
        with _output.replacing(sys.argv[1], directory=store) as temporary:
            with open(os.path.join(temporary, "zarr.json") if store else temporary, "w") as f:
                f.write("new")
            print("writing", flush=True)
            while True:
                time.sleep(0.01)

    status = _output.run(body)
"""


@pytest.mark.parametrize("signum, script, store", [
    (signal.SIGTERM, STOPPED_IN_THE_WRITER, False),
    (signal.SIGHUP, STOPPED_IN_THE_WRITER, False),
    (signal.SIGINT, STOPPED_IN_THE_WRITER, False),
    (signal.SIGTERM, STOPPED_IN_THE_MAIN_THREAD, False),
    (signal.SIGHUP, STOPPED_IN_THE_MAIN_THREAD, True),
])
def test_a_signal_during_the_write_removes_the_temporary(tmp_path, signum, script, store):
    output = tmp_path / ("out.zarr" if store else "out.nc")
    if store:
        output.mkdir()
        (output / "zarr.json").write_bytes(PREVIOUS)
    else:
        output.write_bytes(PREVIOUS)
    if script is STOPPED_IN_THE_WRITER:
        argv = dewtemp(write_input(tmp_path / "in.nc"), output)
    else:
        argv = [str(output), "store" if store else "file"]
    # os._exit: a worker thread still waits in the writer, which no real one does.
    code = "import os, sys, time\n" + textwrap.dedent(script) + (
        "sys.stderr.flush()\nos._exit(status)\n")
    process = subprocess.Popen([sys.executable, "-c", code, *argv], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    try:
        assert select.select([process.stdout], [], [], 120)[0], "the write never started"
        assert process.stdout.readline() == "writing\n", process.communicate()[1]
        process.send_signal(signum)
        _, stderr = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == 128 + signum
    assert stderr == f"tamrix: interrupted by {signal.Signals(signum).name}\n"
    assert hidden(tmp_path) == []
    assert (output / "zarr.json" if store else output).read_bytes() == PREVIOUS


@pytest.mark.parametrize("umask, existing_mode, expected", [
    (0o022, None, 0o644),
    (0o077, None, 0o600),
    (0o077, 0o644, 0o644),
    (0o022, 0o600, 0o600),
])
def test_a_new_output_follows_the_umask_and_a_replaced_one_keeps_its_mode(
        tmp_path, umask, existing_mode, expected):
    source = write_input(tmp_path / "in.nc")
    output = tmp_path / "out.nc"
    if existing_mode is not None:
        output.write_bytes(PREVIOUS)
        output.chmod(existing_mode)
    previous_umask = os.umask(umask)
    try:
        assert main(dewtemp(source, output)) == 0
        with _output.replacing(str(tmp_path / "new.zarr"), directory=True) as store:
            (tmp_path / store / "zarr.json").write_text("{}")
    finally:
        os.umask(previous_umask)
    assert output.stat().st_mode & 0o7777 == expected
    assert (tmp_path / "new.zarr").stat().st_mode & 0o7777 == 0o777 & ~umask


@pytest.mark.parametrize("length", [250, 255])
def test_an_output_name_that_fits_the_directory_is_written(tmp_path, length):
    source = write_input(tmp_path / "in.nc")
    output = tmp_path / ("r" * (length - 3) + ".nc")
    assert main(dewtemp(source, output)) == 0
    with xr.open_dataset(output) as result:
        assert result.dewtemp.shape == (2, 3, 4)
    assert hidden(tmp_path) == []


def test_a_full_disk_is_a_one_line_write_failure(tmp_path):
    source = write_input(tmp_path / "in.nc", size=(40, 30, 40))
    output = tmp_path / "out.nc"
    output.write_bytes(PREVIOUS)
    run = run_tamrix(dewtemp(source, output), [(resource.RLIMIT_FSIZE, 64 * 1024)])
    assert run.returncode == 1
    assert one_line_error(run.stderr).startswith(f"tamrix: error: {output}: cannot write")
    assert output.read_bytes() == PREVIOUS and hidden(tmp_path) == []


def truncated(path):
    data = write_input(path).read_bytes()
    path.write_bytes(data[:len(data) // 2])


def corrupt_header(path):
    data = bytearray(write_input(path).read_bytes())
    data[100:140] = b"\xff" * 40
    path.write_bytes(bytes(data))


def corrupt_chunk(path):
    # The compressed variables fill most of the file: its middle is in a chunk.
    data = bytearray(write_input(path, size=(40, 30, 40), compress=True).read_bytes())
    middle = len(data) // 2
    data[middle:middle + 2000] = bytes(2000)
    path.write_bytes(bytes(data))


def billion_levels(path):
    import netCDF4

    with netCDF4.Dataset(path, "w") as nc:  # 7 KB declaring 10^9 levels
        nc.createDimension("lat", 10**9)
        nc.createVariable("lat", "f8", ("lat",))
        for name in ("ta", "hur"):
            nc.createVariable(name, "f8", ("lat",))


@pytest.mark.parametrize("damage, names", [
    (truncated, "in.nc: cannot read"),
    (corrupt_header, "in.nc: cannot read"),
    (corrupt_chunk, "in.nc: cannot read variable '"),
    (billion_levels, ".nc: cannot "),  # the levels cannot be read, or the output written
])
def test_a_damaged_input_is_a_one_line_read_failure(tmp_path, damage, names):
    source = tmp_path / "in.nc"
    damage(source)
    limits = [(resource.RLIMIT_AS, 3 << 30), (resource.RLIMIT_FSIZE, 1 << 20)]
    run = run_tamrix(dewtemp(source, tmp_path / "out.nc"), limits)
    assert run.returncode == 1
    assert names in one_line_error(run.stderr)
    assert sorted(f.name for f in tmp_path.iterdir()) == ["in.nc"]


@pytest.mark.parametrize("folder", ["missing", "a file", "read-only"])
def test_an_output_that_cannot_be_created_names_its_directory(tmp_path, capsys, folder):
    source = write_input(tmp_path / "in.nc")
    directory = tmp_path / "results"
    if folder == "a file":
        directory.write_bytes(b"")
    elif folder == "read-only":
        if os.geteuid() == 0:
            pytest.skip("root writes into a read-only directory")
        directory.mkdir(mode=0o555)
    assert main(dewtemp(source, directory / "out.nc")) == 1
    error = one_line_error(capsys.readouterr().err)
    assert f"cannot create a file in {directory}:" in error and ".tmp" not in error
