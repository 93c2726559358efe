"""tamrix follows its users' conventions: results in the inputs' dtype
(computed in float64, converted block by block), level dimensions where the
data has them, thickness of many columns in one kernel call and from
interface coefficients."""

import math

import numpy as np
import pytest

import _tamrix_rs
import tamrix
from tamrix import _kernels
from bitwise import assert_same_bits
from package_cases import CASE_IDS, CASES, call

interp = _tamrix_rs.interpolation


@pytest.fixture
def small_chunks(monkeypatch, kernel_calls):
    """Conversion blocks of 64 values; the largest array any kernel saw."""
    monkeypatch.setattr(tamrix._generic, "CHUNK", 64)

    class Largest:
        def __getitem__(self, _):
            return max(a.size for _, args in kernel_calls for a in args
                       if isinstance(a, np.ndarray))
    return Largest()


def pressure_field(rng, shape=(3, 7, 4, 5)):
    """(time, lev, lat, lon) pressures in hPa, top first."""
    levels = np.linspace(100.0, 1000.0, shape[1])
    return levels[None, :, None, None] * rng.uniform(0.97, 1.03, shape)


@pytest.mark.parametrize("case", CASES, ids=CASE_IDS)
def test_float32_in_float32_out_from_float64_chunk_by_chunk(case, small_chunks):
    arrays = [a.astype(np.float32) for a in case.sample(np.random.default_rng(3), (6, 50))]
    result = call(case, *arrays)
    assert result.dtype == np.float32 and result.shape == (6, 50)
    assert 0 < small_chunks[0] <= 64
    assert_same_bits(result.ravel(), case.reference(*arrays).ravel().astype(np.float32))
    assert call(case, *arrays[:-1], 0.5 * arrays[-1].astype(np.float64)).dtype == np.float64


@pytest.mark.parametrize("dtype, expected", [
    (None, np.float64), (np.float32, np.float32), ("float16", np.float16),
    (np.longdouble, np.longdouble)])
def test_dtype_argument_of_element_wise_functions(dtype, expected):
    t = np.linspace(250.0, 310.0, 12).reshape(3, 4)
    result = tamrix.relhum(t, 0.01, 9e4, dtype=dtype)
    assert result.dtype == expected
    assert_same_bits(result.astype(np.float64).ravel(),
                     tamrix.relhum(t, 0.01, 9e4).astype(expected).astype(np.float64).ravel())
    assert type(tamrix.relhum(300.0, 0.01, 9e4, dtype=dtype)) is (
        float if dtype is None else np.dtype(expected).type)


@pytest.mark.parametrize("dtype", [np.int32, "complex128", bool])
def test_a_dtype_that_is_not_floating_point_is_refused(dtype):
    with pytest.raises(TypeError, match="dtype must be a floating-point type"):
        tamrix.relhum(np.ones(3), 0.01, 9e4, dtype=dtype)
    with pytest.raises(TypeError, match="dtype must be a floating-point type"):
        tamrix.delta_pressure(np.ones(3), 1.0, dtype=dtype)


def test_column_functions_convert_block_by_block(small_chunks):
    rng = np.random.default_rng(4)
    p = pressure_field(rng)
    ps = rng.uniform(900.0, 1050.0, (3, 4, 5))
    p32, ps32 = p.astype(np.float32), ps.astype(np.float32)
    dp = tamrix.delta_pressure(p32, ps32, axis=1)
    assert dp.dtype == np.float32
    assert_same_bits(dp.ravel(), tamrix.delta_pressure(
        p32.astype(np.float64), ps32.astype(np.float64), axis=1).astype(np.float32).ravel())
    t = rng.uniform(200.0, 300.0, p.shape).astype(np.float32)
    on_levels = tamrix.interp_to_levels(t, p32, [850.0, 500.0], axis=1)
    assert on_levels.dtype == np.float32
    assert_same_bits(on_levels.ravel(), tamrix.interp_to_levels(
        t.astype(np.float64), p32.astype(np.float64), [850.0, 500.0],
        axis=1).astype(np.float32).ravel())
    hya, hyb = np.linspace(0.1, 0.0, 7), np.linspace(0.0, 1.0, 7)
    hybrid = tamrix.pressure_at_hybrid_levels(hya, hyb, ps32, 1000.0, dtype=np.float32)
    assert hybrid.dtype == np.float32 and hybrid.shape == (7, 3, 4, 5)
    assert_same_bits(hybrid.ravel(), tamrix.pressure_at_hybrid_levels(
        hya, hyb, ps32.astype(np.float64), 1000.0).astype(np.float32).ravel())
    assert 0 < small_chunks[0] <= 64 * 7


def test_delta_pressure_is_one_batched_kernel_call(kernel_calls):
    rng = np.random.default_rng(5)
    p = pressure_field(rng)
    p[0, :, 0, 0] = p[0, ::-1, 0, 0]  # one column surface-first
    p[1, 2, 1, 1] = math.nan
    ps = rng.uniform(200.0, 1050.0, (3, 4, 5))
    for top in (None, 5.0, rng.uniform(0.0, 50.0, (4, 1))):
        result = tamrix.delta_pressure(p, ps, top, axis=1)
        tops = np.broadcast_to(np.asarray(math.nan if top is None else top), ps.shape)
        for i, j, k in np.ndindex(*ps.shape):
            column_top = None if top is None else float(tops[i, j, k])
            assert_same_bits(result[i, :, j, k], interp.delta_pressure_1d(
                np.ascontiguousarray(p[i, :, j, k]), ps[i, j, k], column_top))
    assert [args[2] for name, args in kernel_calls
            if name == "delta_pressure_columns"] == [p.shape[1]] * 3


def test_thickness_from_interface_coefficients():
    hyai = np.array([0.0, 0.05, 0.08, 0.06, 0.02, 0.0])
    hybi = np.array([0.0, 0.0, 0.15, 0.45, 0.8, 1.0])
    ps = np.random.default_rng(6).uniform(9.5e4, 1.03e5, (2, 3))
    dp = tamrix.delta_pressure_hybrid(hyai, hybi, ps, 1e5)
    assert dp.shape == (5, 2, 3) and dp.dtype == np.float64
    interfaces = tamrix.pressure_at_hybrid_levels(hyai, hybi, ps, 1e5)
    assert_same_bits(dp.ravel(), np.abs(np.diff(interfaces, axis=0)).ravel())
    # Surface-first interfaces give the same positive thicknesses, reversed.
    assert_same_bits(tamrix.delta_pressure_hybrid(hyai[::-1], hybi[::-1], ps, 1e5)[::-1].ravel(),
                     dp.ravel())
    np.testing.assert_allclose(dp.sum(axis=0), ps, rtol=1e-12)
    assert tamrix.delta_pressure_hybrid(hyai, hybi, 1e5, 1e5).shape == (5,)
    # psfc decides the dtype: the coefficients only describe the coordinate.
    assert tamrix.delta_pressure_hybrid(hyai, hybi, ps.astype(np.float32), 1e5,
                                        axis=-1).dtype == np.float32
    assert tamrix.pressure_at_hybrid_levels(hyai, hybi, ps.astype(np.float32),
                                            np.float64(1e5)).dtype == np.float32
    assert tamrix.delta_pressure_hybrid(hyai, hybi, ps, 1e5, dtype="f4").shape == (5, 2, 3)
    for a, b, message in ((hyai, hybi[:-1], "same length"), ([], [], "one entry per interface"),
                          (1.0, 0.5, "one-dimensional")):
        with pytest.raises(ValueError, match=message):
            tamrix.delta_pressure_hybrid(a, b, ps, 1e5)


xr = pytest.importorskip("xarray")


def dataarray(values, dims, **coords):
    return xr.DataArray(values, dims=dims, coords=coords)


@pytest.mark.parametrize("dims, coords, expected", [
    (("time", "lat", "lon"), {}, ("time", "lev", "lat", "lon")),
    (("t", "ncol"), {"t": np.array(["2000-01-01", "2000-01-02"], "datetime64[ns]")},
     ("t", "lev", "ncol")),
    (("step", "lat"), {"step": ("step", [0, 6], {"axis": "T"})}, ("step", "lev", "lat")),
    (("lat", "lon"), {}, ("lev", "lat", "lon")),
    (("lat", "time"), {}, ("lev", "lat", "time")),
])
def test_new_level_dimensions_go_after_time(dims, coords, expected):
    rng = np.random.default_rng(7)
    shape = tuple(2 + i for i in range(len(dims)))
    ps = xr.DataArray(rng.uniform(9e4, 1e5, shape), dims=dims, coords=coords,
                      attrs={"units": "Pa"})
    hya, hyb = np.array([0.02, 0.01, 0.0]), np.array([0.0, 0.5, 1.0])
    p = tamrix.pressure_at_hybrid_levels(hya, hyb, ps, 1e5)
    assert p.dims == expected
    assert_same_bits(p.transpose("lev", ...).values.ravel(),
                     tamrix.pressure_at_hybrid_levels(hya, hyb, ps.values, 1e5).ravel())
    assert tamrix.delta_pressure([100.0, 500.0, 900.0], ps / 100.0, dim="lev").dims == expected
    assert tamrix.delta_pressure_hybrid([0.0, 0.01, 0.0], [0.0, 0.5, 1.0], ps, 1e5).dims == (
        tuple(d if d != "lev" else "lev" for d in expected))
    assert tamrix.pressure_at_hybrid_levels(hya, hyb, ps, 1e5, axis=-1).dims == dims + ("lev",)


def test_level_fields_and_dtypes_keep_their_layout_on_dataarrays():
    rng = np.random.default_rng(8)
    p = xr.DataArray(pressure_field(rng).astype(np.float32), dims=("time", "lev", "lat", "lon"))
    ps = xr.DataArray(rng.uniform(900.0, 1050.0, (3, 4, 5)).astype(np.float32),
                      dims=("time", "lat", "lon"))
    dp = tamrix.delta_pressure(p, ps, dim="lev")
    assert dp.dims == p.dims and dp.dtype == np.float32
    lazy = tamrix.delta_pressure(p.chunk({"time": 1}), ps, dim="lev", dtype=np.float64)
    assert lazy.dtype == np.float64 and lazy.chunks is not None
    assert_same_bits(lazy.values.astype(np.float32).ravel(), dp.values.ravel())
    rh = tamrix.relhum(p.chunk({"time": 1}) * 0 + 280.0, 0.01, p * 100.0)
    assert rh.dtype == np.float32 and rh.compute().dtype == np.float32
