"""`tamrix hybrid-to-pressure` on small files of each vertical-coordinate
convention: results equal to the kernels' formulas, level subsets that do
not change a bit, continuity at the surface, one-line errors for metadata
that cannot be decoded, and plausibility warnings."""

import numpy as np
import pytest

netCDF4 = pytest.importorskip("netCDF4")

import model_files  # noqa: E402
from bitwise import assert_same_bits  # noqa: E402
from tamrix import _hybrid_coordinate as hc  # noqa: E402
from tamrix import _kernels  # noqa: E402
from tamrix.cli import _remap, main  # noqa: E402

TARGETS = [100000.0, 92500.0, 85000.0, 70000.0, 50000.0, 20000.0, 5000.0, 3000.0]
KINDS = {"ta": "temperature", "zg": "geopotential", "hus": "plain"}


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    return status, capsys.readouterr().err


def levels_args(targets=TARGETS):
    return ["--levels", *(f"{t:.17g}" for t in targets), "--units", "Pa"]


@pytest.mark.parametrize("convention, order, dtype", [
    ("cf", "top", "f4"), ("cf-ap", "top", "f4"), ("cf-hpa", "bottom", "f8"),
    ("cam", "top", "f4"), ("echam", "bottom", "f4"), ("era5", "top", "f8"),
])
@pytest.mark.parametrize("method", ["log", "linear"])
def test_every_convention_gives_the_kernels_formulas(tmp_path, capsys, convention, order, dtype,
                                                     method):
    f = model_files.write(tmp_path / "in.nc", convention, dtype, level_order=order)
    status, err = run(capsys, "hybrid-to-pressure", tmp_path / "in.nc", tmp_path / "out.nc",
                      "--var", "ta", "zg", "hus", *levels_args(), "--method", method,
                      "--extrapolate")
    assert status == 0, err
    with netCDF4.Dataset(tmp_path / "out.nc") as out:
        for name, kind in KINDS.items():
            values = out[name][:].filled(np.nan)
            assert values.dtype == np.dtype(dtype)
            expected = model_files.expected(f, name, TARGETS, kind, True, method == "log")
            assert_same_bits(values.ravel(), expected.astype(dtype).ravel())


def test_a_subset_of_levels_gives_the_bits_of_all_levels():
    rng = np.random.default_rng(7)
    nlev, outer, inner = 40, 3, 500
    s = np.linspace(0.0, 1.0, nlev) ** 1.5
    hyb = np.where(s > 0.3, (s - 0.3) / 0.7, 0.0) ** 1.2
    coordinate = hc.HybridCoordinate("lev", s - hyb + 0.0002, hyb, 100000.0,
                                     hc.SurfacePressure("ps"), "test")
    ps = rng.uniform(50000.0, 104000.0, (outer, inner))
    ps[0, :3] = [50000.0, 104000.0, np.nan]
    p = coordinate.hyb[None, :, None] * ps[:, None] + (coordinate.hya * 1e5)[None, :, None]
    # Targets exactly on a level somewhere, and between levels.
    targets = np.array([p[0, 30, 0], p[1, 12, 7], 85000.0, 50000.0, 1000.0, 20.0, 103999.0])
    data = [rng.normal(size=(outer, nlev, inner)).astype(np.float32), p.copy()]
    phi = rng.uniform(0, 30000, (outer, inner))
    t_bot = rng.uniform(250, 300, (outer, inner))
    for log in (True, False):
        for extrapolate, kinds in ((False, ["plain"] * 2),
                                   (True, ["temperature", "geopotential"])):
            keep = _remap.needed_levels(coordinate, np.nanmin(ps), np.nanmax(ps), targets,
                                        extrapolate)
            assert keep.size < nlev
            results = []
            for levels in (np.arange(nlev), keep):
                outputs = [np.empty((outer, targets.size, inner)) for _ in data]
                _kernels.remap_hybrid_to_pressure(
                    [np.ascontiguousarray(d[:, levels]) for d in data], outputs, kinds, ps,
                    coordinate.hya[levels], coordinate.hyb[levels], 100000.0, targets, log=log,
                    extrapolate=extrapolate, phi_sfc=phi, t_bot=t_bot)
                results.append(outputs)
            for full, subset in zip(*results):
                assert_same_bits(subset.ravel(), full.ravel())


def test_profiles_are_continuous_at_the_lowest_level_and_the_surface(tmp_path, capsys):
    f = model_files.write(tmp_path / "in.nc", "cf", "f8")
    column = (1, 2, 3)
    ps = f["ps"][column]
    p_low = model_files.A[-1] * model_files.P0 + model_files.B[-1] * ps
    targets = [p_low * (1 - 1e-9), p_low * (1 + 1e-9), ps]
    status, err = run(capsys, "hybrid-to-pressure", tmp_path / "in.nc", tmp_path / "out.nc",
                      "--var", "ta", "zg", *levels_args(targets), "--extrapolate")
    assert status == 0, err
    with netCDF4.Dataset(tmp_path / "out.nc") as out:
        ta, zg = (out[n][column[0], :, column[1], column[2]] for n in ("ta", "zg"))
    # (The old scheme jumped by about 1 K and 40-60 m here.)
    assert abs(ta[1] - ta[0]) < 0.02 and abs(zg[1] - zg[0]) < 0.5, (ta, zg)
    # At the surface the height is the surface's own.
    assert zg[2] == pytest.approx(f["phis"][column[1:]] * _remap.INVERSE_GRAVITY, abs=1e-6)


def _edit(path, convention, change):
    model_files.write(path, convention)
    with netCDF4.Dataset(path, "a") as ds:
        change(ds)


@pytest.mark.parametrize("convention, change, message", [
    ("cf", lambda ds: ds["lev"].setncattr("formula_terms", "a: a b: b p0: p0 ps: surface"),
     "no variable 'surface' for the surface pressure"),
    ("cf", lambda ds: ds.renameVariable("b", "beta"), "no variable 'b' for the B coefficients"),
    ("cam", lambda ds: ds.renameVariable("PS", "PSURF"), "no surface pressure (ps, aps or lnsp)"),
    ("cf", lambda ds: ds["b"].setncattr("units", "Pa"), "must be dimensionless"),
    ("cf", lambda ds: ds["p0"].setncattr("units", "K"), "units 'K', but it must be in pascals"),
    ("cam", lambda ds: [ds.renameVariable(n, n + "_x") for n in ("hyam", "hybm")],
     "no hybrid level dimension"),
])
def test_a_coordinate_that_cannot_be_decoded_is_one_line(tmp_path, capsys, convention, change,
                                                         message):
    _edit(tmp_path / "in.nc", convention, change)
    status, err = run(capsys, "hybrid-to-pressure", tmp_path / "in.nc", tmp_path / "out.nc",
                      "--var", "ta", *levels_args())
    assert status == 2 and message in err and err.count("\n") == 1, err
    assert not (tmp_path / "out.nc").exists()


def test_flags_override_the_file(tmp_path, capsys):
    f = model_files.write(tmp_path / "in.nc", "cam")
    with netCDF4.Dataset(tmp_path / "in.nc", "a") as ds:
        ds.renameVariable("hyam", "A")
        ds.renameVariable("PS", "psurf")
        ds["P0"][...] = 1.0  # wrong, and overridden
    status, err = run(capsys, "hybrid-to-pressure", tmp_path / "in.nc", tmp_path / "out.nc",
                      "--var", "hus", *levels_args(), "--hyam", "A", "--ps", "psurf",
                      "--p0", "100000")
    assert status == 0, err
    with netCDF4.Dataset(tmp_path / "out.nc") as out:
        assert_same_bits(out["hus"][:].filled(np.nan).ravel(),
                         model_files.expected(f, "hus", TARGETS).astype("f4").ravel())


@pytest.mark.parametrize("change, argv, status, message", [
    (lambda ds: ds["ps"].delncattr("units"), ["--levels", "85000", "50000", "--units", "Pa"], 2,
     "surface pressure 'ps' is mostly below 20,000 Pa"),
    (lambda ds: ds["ps"].delncattr("units"), ["--levels", "85000", "50000", "--units", "Pa"], 2,
     "every value of the result is missing: the surface pressure 'ps'"),
    (None, ["--levels", "1000", "850"], 2, "look like hPa; say which unit"),
    (None, ["--chunks", "foo=1"], 2, "'foo' is not a dimension"),
    (None, ["--chunks", "lev=1"], 2, "the level dimension"),
    (None, ["--levels", "1000", "850", "--units", "kPa"], 2, "outside a plausible atmosphere"),
    (lambda ds: ds["p0"].setncattr("units", "MPa"), [], None, "model levels' pressures"),
])
def test_implausible_units_are_reported(tmp_path, capsys, change, argv, status, message):
    model_files.write(tmp_path / "in.nc", "cf-hpa")
    if change is not None:
        with netCDF4.Dataset(tmp_path / "in.nc", "a") as ds:
            change(ds)
    if "--levels" not in argv:
        argv = [*argv, *levels_args()]
    got, err = run(capsys, "hybrid-to-pressure", tmp_path / "in.nc", tmp_path / "out.nc",
                   "--var", "ta", *argv)
    assert status in (None, got) and message in err, err
    if got == 2:
        assert err.strip().splitlines()[-1].startswith("tamrix: error:")
        assert not (tmp_path / "out.nc").exists()


@pytest.mark.parametrize("convention", ["cf", "cf-ap", "cam", "echam", "era5"])
def test_the_coordinate_reads_the_same_from_xarray(tmp_path, convention):
    xr = pytest.importorskip("xarray")
    model_files.write(tmp_path / "in.nc", convention)
    with netCDF4.Dataset(tmp_path / "in.nc") as ds, xr.open_dataset(tmp_path / "in.nc") as xds:
        dims = ("time", "lev", "lat", "lon")
        ours, theirs = hc.decode(ds.variables, dims), hc.decode(xds, dims)
        assert ours.dim == theirs.dim == "lev" and ours.ps == theirs.ps
        assert ours.p0 == theirs.p0 and ours.names == theirs.names
        assert_same_bits(ours.hya, theirs.hya)
        assert_same_bits(ours.hyb, theirs.hyb)
