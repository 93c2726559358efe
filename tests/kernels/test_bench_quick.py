"""The benchmark compares like with like: its NumPy and numexpr baselines
compute the same quantities as `_tamrix_rs` on the benchmark's own inputs. Its
report shows speed-ups, lists targets only on request, and leaves the tracked
results alone unless asked to update them."""

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import baselines  # noqa: E402
import bench  # noqa: E402

RTOL = 1e-12


def agree(actual, expected):
    np.testing.assert_allclose(actual, expected, rtol=RTOL, atol=0.0, equal_nan=True)


@pytest.mark.parametrize("case", bench.CASES, ids=lambda c: c.name)
@pytest.mark.parametrize("n", [16, 1_000])
def test_numpy_baseline_matches(case, n):
    inputs = case.make(n, np.random.default_rng(n))
    ours = case.ours(inputs)
    assert ours.shape == (n,)
    with np.errstate(all="ignore"):
        agree(case.numpy(inputs), ours)


@pytest.mark.parametrize("case", [c for c in bench.CASES if c.numexpr], ids=lambda c: c.name)
def test_numexpr_baseline_matches(case):
    pytest.importorskip("numexpr")
    inputs = case.make(1_000, np.random.default_rng(7))
    agree(case.numexpr(inputs), case.ours(inputs))


def test_interpolation_baselines_match_on_the_benchmark_columns():
    d = bench.make_columns(50, 60, 30, np.random.default_rng(3))
    ours = bench.interp.interpolate_columns(d["xp_flat"], d["data_flat"], d["new_levels"],
                                            d["nlev_in"], d["ncols"])
    assert np.isnan(ours).any() and not np.isnan(ours).all()
    agree(baselines.interpolate_columns_loop(**d), ours)
    agree(baselines.interpolate_columns_vectorised(**d, block=16), ours)


def test_vectorised_interpolation_handles_descending_mixed_and_nan():
    d = bench.make_columns(6, 9, 12, np.random.default_rng(4))
    xp = d["xp_flat"].reshape(6, 9)
    xp[1::2] = xp[1::2, ::-1].copy()  # every other column top-down
    d["xp_flat"] = xp.ravel()
    d["new_levels"][3] = np.nan  # the fallback level of each direction
    ours = bench.interp.interpolate_columns(d["xp_flat"], d["data_flat"], d["new_levels"], 9, 6)
    agree(baselines.interpolate_columns_vectorised(**d, block=4), ours)
    agree(baselines.interpolate_columns_vectorised(**d, block=1), ours)


@pytest.mark.parametrize("alternate", [False, True])
def test_heat_index_baseline_both_coefficient_sets(alternate):
    rng = np.random.default_rng(5)
    t, rh = rng.uniform(30.0, 115.0, 500), rng.uniform(0.0, 100.0, 500)
    agree(baselines.heat_index(t, rh, alternate), bench.met.heat_index_array(t, rh, alternate))


# --- The report: what a newcomer reads, and where the full run writes ---------

def _slow_everywhere(sizes):
    """Timings that miss every target: tamrix slower than each baseline."""
    return {(c.name, n): {"ours": 2e-6, "numpy": 1e-6, "numexpr": 1e-6, "ufunc": 1e-7}
            for c in bench.CASES for n in sizes}


@pytest.fixture
def measured(monkeypatch):
    """The benchmark with its measurements replaced by fixed figures."""
    monkeypatch.setattr(bench, "bench_arrays", lambda sizes, *a, **k: _slow_everywhere(sizes))
    monkeypatch.setattr(bench, "bench_scalars", lambda timer: {
        "dewtemp_scalar": {"positional": 1e-7, "keyword": 1e-7, "atan2": 4e-8}})
    monkeypatch.setattr(bench, "bench_metpy", lambda *a, **k: (None, ""))
    monkeypatch.setattr(bench, "bench_scaling", lambda ncpu: {})
    monkeypatch.setattr(bench, "bench_interpolation", lambda *a, **k: {
        "ncols": 10, "nlev_in": 6, "nlev_out": 3, "loop_columns": 10,
        "times": {"ours": 1.0, "vectorised": 2.0, "loop": 3.0}})
    monkeypatch.setattr(bench, "bench_peak", lambda: {
        w: {"inputs": 3 << 20, "output": 1 << 20, "growth": 1 << 20, "reset": True}
        for w in ("ours", "numpy")})
    monkeypatch.setattr(bench, "plot_speedups", lambda arrays, sizes, path: "")


@pytest.mark.parametrize("argv", [["--quick"], []])
def test_report_lists_targets_only_when_asked(measured, argv, capsys, tmp_path, monkeypatch):
    monkeypatch.setattr(bench, "LATEST", tmp_path)
    bench.main(argv)
    plain = capsys.readouterr().out
    assert "FAIL" not in plain and "Targets" not in plain
    assert "faster than NumPy for 0 of 17 functions (median 0.50×" in plain
    assert plain.count(bench.NOISE_NOTE) == 1
    bench.main(argv + ["--targets"])
    assert "FAIL" in capsys.readouterr().out


@pytest.mark.parametrize("update", [False, True])
def test_full_run_rewrites_the_tracked_results_only_when_asked(measured, update, tmp_path,
                                                                monkeypatch, capsys):
    tracked, latest = tmp_path / "results", tmp_path / "latest"
    monkeypatch.setattr(bench, "RESULTS", tracked)
    monkeypatch.setattr(bench, "LATEST", latest)
    bench.main(["--update-results"] if update else [])
    assert (tracked / "results.md").exists() is update
    assert (latest / "results.md").exists() is not update
