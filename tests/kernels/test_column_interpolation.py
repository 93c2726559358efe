"""Batch interpolation of many columns (interpolate_columns) and the submodule's table."""

import math
import os
import re

import numpy as np
import pytest
from bitwise import assert_same_bits

import _tamrix_rs
from _tamrix_rs import interpolation as it

nan = math.nan


def reference(xp, data, targets, nlev, ncols):
    """Transcription of the column procedure, column after column."""
    xp, data, targets = list(map(float, xp)), list(map(float, data)), list(map(float, targets))
    out = []
    for j in range(ncols):
        x, d = xp[j * nlev:(j + 1) * nlev], data[j * nlev:(j + 1) * nlev]
        ascending = x[-1] >= x[0]
        for g in targets:
            if ascending:
                if g < x[0] or g > x[-1]:
                    out.append(nan)
                    continue
                i = next((i for i in range(nlev) if x[i] >= g), nlev - 1)
            else:
                if g > x[0] or g < x[-1]:
                    out.append(nan)
                    continue
                i = next((i for i in range(nlev) if x[i] <= g), 0)
            i0 = i - 1 if i > 0 else 0
            x0, x1, d0, d1 = x[i0], x[i], d[i0], d[i]
            if abs(x1 - x0) < 1e-30:
                out.append(d0)
            else:
                out.append((d1 - d0) * ((g - x0) / (x1 - x0)) + d0)
    return np.array(out)


def run(xp, data, targets, nlev, ncols):
    return it.interpolate_columns(np.array(xp, dtype=float), np.array(data, dtype=float),
                                  np.array(targets, dtype=float), nlev, ncols)


def panic_message(*args):
    with pytest.raises(BaseException) as info:
        it.interpolate_columns(*args)
    assert type(info.value).__name__ == "PanicException"
    return str(info.value)


a, b, c = 7.0, 11.0, 19.0


@pytest.mark.parametrize(("xp", "data", "targets", "expected"), [
    ([1, 2, 3], [10, 20, 30], [0.5, 1, 1.5, 3, 3.5], [nan, 10, 15, 30, nan]),
    ([1000, 850, 500], [a, b, c], [700, 1000, 1001, 499],
     [(c - b) * ((700 - 850) / (500 - 850)) + b, a, nan, nan]),
    ([5], [42], [5, 4, 6], [42, nan, nan]),
    ([2, 2, 2], [1, 2, 3], [2, 1.9, 2.1], [1, nan, nan]),  # all equal: ascending
    ([1, 1 + 1e-31, 3], [10, 99, 30], [1 + 1e-31, 1], [10, 10]),  # degenerate pair gives d0
    ([3, 2, 1], [30, 20, 10], [nan], [30]),  # NaN target, descending: level 0
    ([1, 2, 3], [10, 20, 30], [nan], [nan]),  # NaN target, ascending: the last pair
    ([1, 2, 2], [10, 20, 30], [nan], [20]),  # ... which may be degenerate
    ([nan, 2, 3], [10, 20, 30], [2.5, nan], [nan, nan]),  # NaN end level: descending
    ([1, 2, 3], [10, nan, 30], [1.5, 2.5, 3, 1], [nan, nan, nan, 10]),  # NaN data where read
    ([1, 5, 2, 3], [10, 50, 20, 30], [2.5], [25]),  # first qualifying level from level 0
])
def test_documented_columns(xp, data, targets, expected):
    result = run(xp, data, targets, len(xp), 1)
    np.testing.assert_array_equal(result, np.array(expected, dtype=float))
    assert_same_bits(result, reference(xp, data, targets, len(xp), 1))


def random_columns(rng, nlev, ncols):
    xp = np.empty((ncols, nlev))
    for col in xp:
        col[:] = np.sort(rng.choice(np.arange(0.0, 60.0, 2.5), nlev)) * rng.uniform(0.5, 20.0)
        if rng.random() < 0.5:
            col[:] = col[::-1]
        if rng.random() < 0.05:
            col[rng.integers(0, nlev)] = nan
    data = rng.normal(280.0, 20.0, (ncols, nlev))
    data[rng.random((ncols, nlev)) < 0.02] = nan
    return xp.ravel(), data.ravel()


def test_many_columns_of_both_directions_on_the_pool():
    rng = np.random.default_rng(5)
    nlev, ncols = 12, 3000  # enough work to be split across the workers
    xp, data = random_columns(rng, nlev, ncols)
    targets = np.concatenate([[nan, -1.0, 0.0, 1e9], rng.uniform(0.0, 1200.0, 6), xp[:3]])
    result = it.interpolate_columns(xp, data, targets, nlev, ncols)
    assert result.shape == (len(targets) * ncols,)
    assert_same_bits(result, reference(xp, data, targets, nlev, ncols))
    # column-major layout: column j's results are contiguous
    second = it.interpolate_columns(xp[nlev:2 * nlev].copy(), data[nlev:2 * nlev].copy(), targets,
                                    nlev, 1)
    assert_same_bits(result.reshape(ncols, len(targets))[1].copy(), second)


def test_opposite_directions_in_one_call():
    result = run([100, 200, 300, 300, 200, 100], [1, 2, 3, 3, 2, 1], [150, 250], 3, 2)
    assert result.tolist() == [1.5, 2.5, 1.5, 2.5]


def test_longer_inputs_are_accepted_and_their_tails_ignored():
    result = run([1, 2, 3, 4, nan, nan], [10, 20, 30, 40, nan], [1.5, 3.5], 2, 2)
    np.testing.assert_array_equal(result, [15.0, nan, nan, 35.0])


def test_zero_columns():
    assert run([], [], [1.0, 2.0], 0, 0).shape == (0,)
    assert run([1.0], [], [1.0], 5, 0).shape == (0,)


@pytest.mark.parametrize(("xp", "data", "targets", "nlev", "ncols", "message"), [
    ([], [], [], 0, 0, "chunk_size must not be zero"),
    ([1, 2], [1, 2], [], 2, 1, "chunk_size must not be zero"),
    ([1, 2, 3, 4, 5], [1] * 6, [1.0], 3, 2, "range end index 6 out of range for slice of length 5"),
    ([1] * 6, [1] * 5, [1.0], 3, 2, "range end index 6 out of range for slice of length 5"),
    ([1] * 5, [1] * 4, [1.0], 3, 2, "range end index 6 out of range for slice of length 5"),
    ([1] * 2, [1] * 2, [1.0], 3, 1, "range end index 3 out of range for slice of length 2"),
    ([], [], [1.0], 0, 3, "index out of bounds: the len is 0 but the index is 0"),
])
def test_documented_failures(xp, data, targets, nlev, ncols, message):
    args = [np.array(v, dtype=float) for v in (xp, data, targets)]
    assert panic_message(*args, nlev, ncols) == message


def range_failure_of_some_column(message, nlev, ncols, length):
    """A range failure reported by whichever failing column the pool reached first."""
    kind, index, reported = re.fullmatch(
        r"range (start|end) index (\d+) out of range for slice of length (\d+)", message).groups()
    assert int(reported) == length
    columns = [j for j in range(ncols) if (j + 1) * nlev > length]
    if kind == "start":
        return any(j * nlev == int(index) > length for j in columns)
    return any((j + 1) * nlev == int(index) and j * nlev <= length for j in columns)


@pytest.mark.parametrize(("nlev", "ncols", "length"), [
    (50, 2000, 50 * 1000 - 7),  # a thousand columns fail, on different workers
    (2**63, 64, 4),  # offsets beyond 2**64: no wrap-around to a valid offset
    (2**64 - 1, 2, 4),
])
def test_range_failures_report_exact_offsets(nlev, ncols, length):
    xp = np.zeros(length)
    message = panic_message(xp, xp, np.zeros(1), nlev, ncols)
    assert range_failure_of_some_column(message, nlev, ncols, length), message


@pytest.mark.parametrize(("nlev", "ncols", "ntargets"), [
    (2**63, 2**62, 3),  # nlev_out * ncols fits in 64 bits, its size in bytes does not
    (2**63, 2**62, 4),  # nlev_out * ncols overflows
    (0, 2**62, 2),
    (1, 2**61, 1),
])
def test_unallocatable_results_raise_memory_error(nlev, ncols, ntargets):
    x = np.zeros(4)
    with pytest.raises(MemoryError):
        it.interpolate_columns(x, x, np.zeros(ntargets), nlev, ncols)


def test_many_columns_without_levels_fail_cleanly():
    e = np.zeros(0)
    assert panic_message(e, e, np.ones(1), 0, 2**20) == (
        "index out of bounds: the len is 0 but the index is 0")


def test_count_conversion():
    x = np.ones(4)
    with pytest.raises(OverflowError):
        it.interpolate_columns(x, x, x, -1, 2)
    with pytest.raises(OverflowError):
        it.interpolate_columns(x, x, x, 1, 2**64)
    with pytest.raises(TypeError, match="^argument 'nlev_in': "):
        it.interpolate_columns(x, x, x, 2.0, 2)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        it.interpolate_columns(x, np.ones(8)[::2], x[:0], 1, 4)


DOCS = {
    "temp_extrapolate_array":
        "Extrapolate temperature for arrays: one level against arrays of "
        "t_bot, p_sfc, ps, phi_sfc.",
    "geo_height_extrapolate_array": "Extrapolate geopotential height for arrays.",
    "pressure_at_hybrid_levels_array":
        "Compute pressure at hybrid levels for all levels and surface pressures.\n"
        "hya, hyb: 1D arrays of hybrid coefficients.\n"
        "psfc: 1D array of surface pressures.\n"
        "Returns flattened array of shape (len(hya) * len(psfc)).",
    "delta_pressure_1d": "Delta pressure for 1D pressure levels.",
    "interpolate_columns":
        "Batch vertical interpolation across many columns (rayon-parallel).\n"
        "xp_flat and data_flat are column-major: (nlev_in * ncols).\n"
        "Returns flattened (nlev_out * ncols) column-major.",
}
EXTRAPOLATION = "(t_bot, lev, p_sfc, ps, phi_sfc)"
HYBRID = "(hya, hyb, psfc, p0)"
SIGNATURES = {
    "temp_extrapolate_scalar": EXTRAPOLATION,
    "geo_height_extrapolate_scalar": EXTRAPOLATION,
    "pressure_at_hybrid_level_scalar": HYBRID,
    "temp_extrapolate_array": EXTRAPOLATION,
    "geo_height_extrapolate_array": EXTRAPOLATION,
    "pressure_at_hybrid_levels_array": HYBRID,
    "delta_pressure_1d": "(pressure_lev, surface_pressure, pressure_top=None)",
    "interpolate_columns": "(xp_flat, data_flat, new_levels, nlev_in, ncols)",
}


def test_submodule_table():
    assert it is _tamrix_rs.interpolation and it.__name__ == "interpolation"
    assert it.__all__ == list(SIGNATURES)
    for name, signature in SIGNATURES.items():
        f = getattr(it, name)
        assert (f.__name__, f.__module__) == (name, "interpolation")
        assert f.__text_signature__ == signature
        assert f.__doc__ == DOCS.get(name)


@pytest.mark.parametrize("shape", ["plateaus", "zigzag", "constant", "reversed_plateaus"])
def test_column_shapes_match_the_scan_from_level_zero(shape):
    # Monotonic columns (plateaus included) and non-monotonic ones must give
    # exactly what the first-qualifying-level scan gives, for unsorted,
    # repeated and level-valued targets.
    rng = np.random.default_rng(11)
    nlev, ncols = 9, 400
    xp = np.sort(rng.integers(-5, 5, (ncols, nlev)).astype(float), axis=1)
    if shape == "zigzag":
        xp = rng.permutation(xp.ravel()).reshape(ncols, nlev)
    elif shape == "constant":
        xp[:] = xp[:, :1]
    elif shape == "reversed_plateaus":
        xp = xp[:, ::-1].copy()
    data = rng.normal(size=(ncols, nlev))
    targets = np.concatenate([rng.integers(-6, 6, 12).astype(float), [-0.0, 0.0, 0.5, 0.5, nan],
                              rng.uniform(-6.0, 6.0, 8)])
    rng.shuffle(targets)
    xp, data = xp.ravel(), data.ravel()
    assert_same_bits(it.interpolate_columns(xp, data, targets, nlev, ncols),
                     reference(xp, data, targets, nlev, ncols))


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer cannot run under an address-space limit")
@pytest.mark.parametrize(("xp", "nlev", "ncols", "expected"), [
    ("[]", 0, 0, "0 0"),  # nothing to compute
    ("[1.0, 3.0, 2.0]", 3, 1, "10000000 1"),  # a non-monotonic column scans from level 0
])
def test_no_per_target_memory_without_a_sorted_sweep(python_subprocess, xp, nlev, ncols, expected):
    # 10**7 targets; the address space left holds the result, not a target order beside it.
    result = python_subprocess(f"""
        import resource, numpy as np, _tamrix_rs
        it = _tamrix_rs.interpolation
        xp = np.array({xp})
        targets = np.full(10**7, 2.0)
        it.interpolate_columns(np.ones(1), np.ones(1), np.ones(1), 1, 1)  # workers started
        with open("/proc/self/statm") as statm:
            size = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + {ncols} * targets.nbytes + (40 << 20),
                                                resource.RLIM_INFINITY))
        out = it.interpolate_columns(xp, xp * 10.0, targets, {nlev}, {ncols})
        print(len(out), int(np.all(out == 20.0)) if len(out) else 0)
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == expected
