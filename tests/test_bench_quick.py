"""The benchmark compares like with like: its NumPy and numexpr baselines
compute the same quantities as `_tamrix_rs` on the benchmark's own inputs."""

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
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
