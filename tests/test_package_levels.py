"""Model levels to pressure levels on real-sized layouts: log-pressure
interpolation with honest coordinate labels, bounded dask chunks, and
hybrid_to_pressure."""

import math

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import tamrix  # noqa: E402
from bitwise import assert_same_bits  # noqa: E402

DIMS = ("time", "lev", "lat", "lon")


def model(shape=(2, 6, 3, 4), seed=3):
    rng = np.random.default_rng(seed)
    hyam = np.linspace(0.2, 0.0, shape[1])
    hybm = np.linspace(0.0, 0.98, shape[1])
    ps = xr.DataArray(rng.uniform(9.2e4, 1.03e5, shape[:1] + shape[2:]),
                      dims=("time", "lat", "lon"), attrs={"units": "Pa"})
    p = tamrix.pressure_at_hybrid_levels(hyam, hybm, ps, 1e5).transpose(*DIMS)
    ta = (180.0 + 0.001 * p + rng.uniform(-1.0, 1.0, shape)).assign_attrs(
        units="K", standard_name="air_temperature", comment="synthetic")
    return ta.rename("ta"), p, ps, hyam, hybm


def test_log_interpolation_keeps_the_target_coordinate_in_the_callers_unit():
    ta, p, *_ = model()
    result = tamrix.interp_to_levels(ta, p, [85000.0, 50000.0], dim="lev", log=True)
    assert result["lev"].values.tolist() == [85000.0, 50000.0]
    assert result["lev"].attrs["units"] == "Pa"
    expected = tamrix.interp_to_levels(ta.values, np.log(p.values), np.log([85000.0, 50000.0]),
                                       axis=1)
    assert_same_bits(result.values.ravel(), expected.ravel())
    numpy = tamrix.interp_to_levels(ta.values, p.values, [85000.0, 50000.0], axis=1, log=True)
    assert_same_bits(numpy.ravel(), expected.ravel())


def test_rechunking_the_level_axis_keeps_chunks_near_the_input_chunk_size():
    pytest.importorskip("dask.array")
    ta, p, *_ = model((4, 30, 40, 50))
    # One level per chunk, everything else whole: the common on-disk layout.
    ta, p = (v.chunk({"time": -1, "lev": 1, "lat": -1, "lon": -1}) for v in (ta, p))
    input_chunk = math.prod(ta.data.chunksize) * 8
    result = tamrix.interp_to_levels(ta, p, [85000.0, 50000.0], dim="lev")
    columns_per_chunk = math.prod(result.data.chunksize) // result.sizes["lev"]
    assert columns_per_chunk * 30 * 8 <= input_chunk
    expected = tamrix.interp_to_levels(ta.values, p.values, [85000.0, 50000.0], axis=1)
    assert_same_bits(result.values.ravel(), expected.ravel())
