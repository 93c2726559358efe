"""tamrix on dask arrays: lazy, block by block, with whole columns for the
column functions, and on a dask.distributed cluster."""

import numpy as np
import pytest

da = pytest.importorskip("dask.array")

import tamrix  # noqa: E402
from bitwise import assert_same_bits  # noqa: E402
from package_cases import CASE_IDS, CASES, call  # noqa: E402


@pytest.mark.parametrize("case", CASES, ids=CASE_IDS)
def test_dask_arrays_with_mixed_chunks_and_numpy_arguments(case):
    arrays = case.sample(np.random.default_rng(21), (4, 6))
    inputs = [da.from_array(a, chunks=(2, 3 + i)) for i, a in enumerate(arrays)]
    if len(arrays) > 1:
        arrays[-1] = arrays[-1][:1]
        inputs[-1] = arrays[-1]  # a NumPy argument that broadcasts
    result = call(case, *inputs)
    assert isinstance(result, da.Array) and result.shape == (4, 6)
    assert_same_bits(result.compute().ravel(), call(case, *arrays).ravel())


def test_column_functions_get_whole_columns():
    rng = np.random.default_rng(22)
    pressure = np.linspace(1000.0, 100.0, 8)[None, :, None] * rng.uniform(0.95, 1.05, (3, 8, 5))
    temperature = rng.uniform(200.0, 300.0, (3, 8, 5))
    surface = rng.uniform(900.0, 1050.0, (3, 5))
    lazy_p = da.from_array(pressure, chunks=(2, 3, 2))   # levels split over chunks
    lazy_t = da.from_array(temperature, chunks=(1, 4, 5))
    targets = [950.0, 500.0, 150.0]

    result = tamrix.interp_to_levels(lazy_t, lazy_p, targets, axis=1)
    assert isinstance(result, da.Array) and result.shape == (3, 3, 5)
    assert_same_bits(result.compute().ravel(),
                     tamrix.interp_to_levels(temperature, pressure, targets, axis=1).ravel())

    thickness = tamrix.delta_pressure(lazy_p, da.from_array(surface, chunks=(1, 3)), axis=1)
    assert isinstance(thickness, da.Array)
    assert_same_bits(thickness.compute().ravel(),
                     tamrix.delta_pressure(pressure, surface, axis=1).ravel())

    hybrid = tamrix.pressure_at_hybrid_levels([0.02, 0.0], [0.0, 1.0],
                                              da.from_array(surface, chunks=2), 1000.0, axis=1)
    assert hybrid.shape == (3, 2, 5)
    assert_same_bits(hybrid.compute().ravel(), tamrix.pressure_at_hybrid_levels(
        [0.02, 0.0], [0.0, 1.0], surface, 1000.0, axis=1).ravel())


def test_a_distributed_cluster_matches_the_eager_result():
    xr = pytest.importorskip("xarray")
    distributed = pytest.importorskip("distributed")
    rng = np.random.default_rng(23)
    shape = (4, 6, 5, 8)
    dims = ("time", "lev", "lat", "lon")
    pressure = np.linspace(100000.0, 20000.0, 6)[None, :, None, None] * rng.uniform(
        0.97, 1.03, shape)
    ds = xr.Dataset({
        "t": (dims, rng.uniform(220.0, 305.0, shape), {"units": "K"}),
        "q": (dims, rng.uniform(0.0, 0.02, shape), {"units": "kg/kg"}),
        "p": (dims, pressure, {"units": "Pa"}),
    })

    def pipeline(data):
        rh = tamrix.relhum(data.t, data.q, data.p)
        td = tamrix.dewtemp(data.t, rh)
        return tamrix.interp_to_levels(td, data.p, [85000.0, 50000.0], dim="lev")

    eager = pipeline(ds)
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        lazy = pipeline(ds.chunk({"time": 1, "lev": 3}))
        assert lazy.chunks is not None
        computed = lazy.compute()
    assert computed.dims == eager.dims
    assert_same_bits(computed.values.ravel(), eager.values.ravel())
