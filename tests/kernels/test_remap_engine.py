"""The remap engine of tamrix._kernels: every value bit for bit what
composing pressure_at_hybrid_levels_array, the C library's log and
interpolate_columns (and the extrapolation kernels) gives on its column."""

import math
import sys

import numpy as np
import pytest
from bitwise import assert_same_bits
from remap_composition import compose

from tamrix import _kernels

P0 = 100000.0
# Pure pressure levels at the top (p = hya * p0 exactly), hybrid ones, and
# sigma = 1 at the bottom (p = ps exactly).
HYA = np.array([0.02, 0.05, 0.1, 0.12, 0.1, 0.07, 0.04, 0.02, 0.005, 0.0])
HYB = np.array([0.0, 0.0, 0.0, 0.05, 0.2, 0.4, 0.6, 0.8, 0.95, 1.0])
# Above the top, on the top level (2000 = 0.02 * 1e5) and on a pure pressure
# level (10000 = 0.1 * 1e5), in between, 85000 (the surface pressure of some
# columns), below ground.
TARGETS = np.array([1000.0, 2000.0, 10000.0, 50000.0, 85000.0, 25000.0, 92500.0, 100000.0,
                    105000.0])


def block(rng, outer, inner, dtype=np.float64, nvar=1):
    ps = rng.uniform(6.0e4, 1.04e5, (outer, inner))
    ps.flat[::7] = 85000.0
    variables = [rng.uniform(200.0, 300.0, (outer, len(HYA), inner)).astype(dtype)
                 for _ in range(nvar)]
    return variables, ps.astype(dtype)


def remap(variables, kinds, ps, hya, hyb, targets, out_dtypes, **keywords):
    outputs = [np.full((ps.shape[0], len(targets), ps.shape[1]), -7.0, dtype)
               for dtype in out_dtypes]
    _kernels.remap_hybrid_to_pressure(variables, outputs, kinds, ps, hya, hyb, P0, targets,
                                      **keywords)
    return outputs


def assert_all_same_bits(actual, expected):
    for a, e in zip(actual, expected, strict=True):
        assert a.shape == e.shape and a.dtype == e.dtype
        assert_same_bits(a.ravel(), e.ravel())


@pytest.mark.parametrize("outer, inner", [(1, 1), (1, 37), (3, 1), (2, 29)])
@pytest.mark.parametrize("dtypes", [("f8", "f8"), ("f4", "f4"), ("f4", "f8"), ("f8", "f4")])
@pytest.mark.parametrize("order", ["top first", "bottom first"])
@pytest.mark.parametrize("log", [True, False])
def test_interpolation_is_the_composed_kernels(outer, inner, dtypes, order, log):
    rng = np.random.default_rng(outer * 100 + inner)
    variables, ps = block(rng, outer, inner, dtypes[0], nvar=2)
    variables[0].flat[::11] = np.nan
    ps.flat[3::13] = np.nan
    hya, hyb = (HYA, HYB) if order == "top first" else (HYA[::-1].copy(), HYB[::-1].copy())
    if order == "bottom first":
        variables = [np.ascontiguousarray(v[:, ::-1]) for v in variables]
    kinds = ["plain", "temperature"]
    keywords = dict(log=log, extrapolate=False)
    expected = compose(variables, kinds, ps, hya, hyb, P0, TARGETS, out_dtypes=[dtypes[1]] * 2,
                       **keywords)
    assert_all_same_bits(remap(variables, kinds, ps, hya, hyb, TARGETS, [dtypes[1]] * 2,
                               **keywords), expected)


@pytest.mark.parametrize("outer, inner", [(1, 23), (3, 1), (2, 3001)])
@pytest.mark.parametrize("dtype", ["f4", "f8"])
@pytest.mark.parametrize("log", [True, False])
def test_extrapolation_is_the_scalar_kernels(outer, inner, dtype, log):
    rng = np.random.default_rng(inner)
    variables, ps = block(rng, outer, inner, dtype, nvar=4)
    # Heights from sea level to high plateaus, warm and cold surfaces.
    phi_sfc = rng.uniform(0.0, 40000.0, (outer, inner)).astype(dtype)
    t_bot = rng.uniform(240.0, 305.0, (outer, inner)).astype(dtype)
    phi_sfc.flat[5::17] = np.nan
    ps.flat[2::19] = np.nan
    kinds = ["temperature", "geopotential", "plain", "geopotential"]
    out_dtypes = [dtype, "f8", dtype, "f4"]
    keywords = dict(log=log, extrapolate=True, phi_sfc=phi_sfc, t_bot=t_bot)
    expected = compose(variables, kinds, ps, HYA, HYB, P0, TARGETS, out_dtypes=out_dtypes,
                       **keywords)
    actual = remap(variables, kinds, ps, HYA, HYB, TARGETS, out_dtypes, **keywords)
    assert_all_same_bits(actual, expected)
    assert np.isfinite(actual[0][:, -1][np.isfinite(ps) & np.isfinite(phi_sfc)]).all()


def near(value, offset):
    """value moved by an integer number of ulps, or by a relative step."""
    if isinstance(offset, float):
        return value * (1.0 + offset)
    for _ in range(abs(offset)):
        value = math.nextafter(value, math.copysign(math.inf, offset))
    return value


@pytest.mark.parametrize("offset", [0, 1, -1, 3, -3, 1e-12, -1e-12, 3e-12, -3e-12, 1e-9])
@pytest.mark.parametrize("order", ["top first", "bottom first"])
def test_levels_a_hair_from_a_target_are_placed_as_their_logarithms_say(offset, order):
    # With p0 = 1 a pure pressure level is its hya exactly. A second level
    # just as close makes a column that is not clearly monotonic.
    target = 50000.0
    hya = np.array([1000.0, 20000.0, near(target, offset), 70000.0, 0.0, 0.0])
    hyb = np.array([0.0, 0.0, 0.0, 0.0, 0.9, 1.0])
    twin = hya.copy()
    twin[1] = near(target, -offset if offset else 2)
    rng = np.random.default_rng(abs(hash(offset)) % 1000)
    ps = rng.uniform(9.0e4, 1.0e5, (2, 9))
    targets = np.array([near(target, -2), target, near(target, 2), 60000.0])
    for levels in (hya, np.sort(twin[:4]).tolist() + [0.0, 0.0]):
        a = np.array(levels) if order == "top first" else np.array(levels)[::-1].copy()
        b = hyb if order == "top first" else hyb[::-1].copy()
        variables = [rng.uniform(200.0, 300.0, (2, 6, 9))]
        expected = compose(variables, ["plain"], ps, a, b, 1.0, targets, log=True,
                           extrapolate=False)
        outputs = [np.empty((2, 4, 9))]
        _kernels.remap_hybrid_to_pressure(variables, outputs, ["plain"], ps, a, b, 1.0, targets,
                                          log=True, extrapolate=False)
        assert_all_same_bits(outputs, expected)


def test_nan_payloads_and_targets_are_those_of_the_composition():
    rng = np.random.default_rng(3)
    variables, ps = block(rng, 2, 31, nvar=1)
    payload = np.frombuffer(np.int64(0x7FF8000000000123).tobytes(), np.float64)[0]
    variables[0].flat[::5] = payload
    variables[0].flat[1::9] = -np.nan
    ps.flat[::6] = -np.nan
    targets = np.array([np.nan, 50000.0, -1.0, 0.0, np.inf, 92500.0])
    for log in (True, False):
        expected = compose(variables, ["plain"], ps, HYA, HYB, P0, targets, log=log,
                           extrapolate=False)
        assert_all_same_bits(remap(variables, ["plain"], ps, HYA, HYB, targets, ["f8"], log=log,
                                   extrapolate=False), expected)


@pytest.mark.parametrize("log", [True, False])
def test_the_levels_that_bracket_the_targets_give_the_values_of_all_levels(log):
    # What a reader of a file may pass: the levels that bracket some target
    # in some column (with the neighbours of a level a target lies on) and
    # the lowest level.
    rng = np.random.default_rng(8)
    variables, ps = block(rng, 2, 40, nvar=2)
    phi_sfc = rng.uniform(0.0, 3000.0, ps.shape)
    keywords = dict(log=log, extrapolate=True, phi_sfc=phi_sfc, t_bot=ps * 0.0 + 280.0)
    kinds = ["temperature", "geopotential"]
    targets = np.array([10000.0, 50000.0, 92500.0, 100000.0])
    p = HYB[:, None] * ps.ravel() + HYA[:, None] * P0
    needed = {len(HYA) - 1}
    for target in targets:
        above = (p >= target).argmax(axis=0)
        for level in above[(p >= target).any(axis=0)]:
            needed |= {max(level - 1, 0), level, min(level + 1, len(HYA) - 1)}
    levels = sorted(needed)
    assert len(levels) < len(HYA)
    every = remap(variables, kinds, ps, HYA, HYB, targets, ["f8", "f8"], **keywords)
    subset = remap([np.ascontiguousarray(v[:, levels]) for v in variables], kinds, ps,
                   HYA[levels], HYB[levels], targets, ["f8", "f8"], **keywords)
    assert_all_same_bits(subset, every)


def test_an_empty_block_and_no_variables_are_fine():
    empty = np.empty((0, len(HYA), 5))
    _kernels.remap_hybrid_to_pressure([empty], [np.empty((0, 3, 5))], ["plain"], np.empty((0, 5)),
                                      HYA, HYB, P0, TARGETS[:3], log=True, extrapolate=False)
    _kernels.remap_hybrid_to_pressure([], [], [], np.ones((2, 5)), HYA, HYB, P0, TARGETS,
                                      log=False, extrapolate=True)


def arguments(**changes):
    values = dict(variables=[np.ones((2, 10, 3))], outputs=[np.empty((2, 4, 3))],
                  kinds=["plain"], ps=np.ones((2, 3)), hya=HYA, hyb=HYB, p0=P0,
                  targets=TARGETS[:4], log=True, extrapolate=False)
    values.update(changes)
    return values


@pytest.mark.parametrize("changes, error, message", [
    (dict(variables=[np.ones((2, 9, 3))]), ValueError,
     r"variables\[0\] must have shape \(2, 10, 3\), not \(2, 9, 3\)"),
    (dict(outputs=[np.empty((2, 4, 3), np.float16)]), TypeError,
     r"outputs\[0\] must be a C-contiguous writable float32 or float64 array"),
    (dict(outputs=[np.empty((2, 3, 4)).transpose(0, 2, 1)]), TypeError, r"outputs\[0\] must be"),
    (dict(outputs=[]), ValueError, "outputs holds 0 items, but variables holds 1"),
    (dict(kinds=["plain", "plain"]), ValueError, "kinds holds 2 items"),
    (dict(kinds=["wind"]), ValueError, r"kinds\[0\] must be 'plain', 'temperature' or "
                                       r"'geopotential', not 'wind'"),
    (dict(variables=np.ones(3)), ValueError, "variables holds 3"),
    (dict(variables=1.0), TypeError, "variables must be a sequence"),
    (dict(ps=np.ones(6)), ValueError, r"ps must have 2 dimensions \(outer, inner\), not 1"),
    (dict(hya=HYA.astype(np.float32)), TypeError, "hya must be a C-contiguous float64 array"),
    (dict(hyb=HYB[:-1]), ValueError, r"hyb must have shape \(10,\), not \(9,\)"),
    (dict(hya=HYA[:0], hyb=HYB[:0], variables=[np.ones((2, 0, 3))]), ValueError,
     "at least one level"),
    (dict(targets=np.ones((2, 2))), ValueError, r"targets must have shape \(4,\)"),
    (dict(kinds=["temperature"], extrapolate=True), ValueError,
     "extrapolating 'temperature' needs phi_sfc"),
    (dict(kinds=["geopotential"], extrapolate=True, phi_sfc=np.ones((2, 3))), ValueError,
     "extrapolating 'geopotential' needs t_bot"),
    (dict(phi_sfc=np.ones((3, 2))), ValueError, r"phi_sfc must have shape \(2, 3\)"),
    (dict(log=None), TypeError, "missing required keyword-only argument 'log'"),
    (dict(p0="1e5"), TypeError, "must be real number"),
])
def test_arguments_it_cannot_use_are_refused(changes, error, message):
    values = arguments(**changes)
    if values["log"] is None:
        del values["log"]
    with pytest.raises(error, match=message):
        _kernels.remap_hybrid_to_pressure(**values)


def test_outputs_sharing_memory_with_inputs_or_each_other_are_refused():
    memory = np.ones(60)
    data, overlapping = memory.reshape(2, 10, 3), memory[30:54].reshape(2, 4, 3)
    with pytest.raises(ValueError, match=r"outputs\[0\] must not share memory with variables\[0\]"):
        _kernels.remap_hybrid_to_pressure(**arguments(variables=[data], outputs=[overlapping]))
    shared = np.empty((2, 4, 3))
    with pytest.raises(ValueError, match=r"outputs\[0\] must not share memory with outputs\[1\]"):
        _kernels.remap_hybrid_to_pressure(**arguments(
            variables=[data, data], outputs=[shared, shared], kinds=["plain", "plain"]))
    assert (memory == 1.0).all()


def test_every_buffer_is_released_on_success_and_failure():
    values = arguments()
    arrays = [values["variables"][0], values["outputs"][0], values["ps"]]
    before = [sys.getrefcount(a) for a in arrays]
    for _ in range(100):
        _kernels.remap_hybrid_to_pressure(**values)
        for bad in (dict(kinds=["wind"]), dict(targets=np.ones((2, 2))),
                    dict(outputs=values["variables"])):
            with pytest.raises(ValueError):
                _kernels.remap_hybrid_to_pressure(**{**values, **bad})
    assert [sys.getrefcount(a) for a in arrays] == before


LONG_REMAP = """
import os, signal, sys
import numpy as np
from tamrix import _kernels

# A jagged column (not monotonic, so every target scans it from level 0) of
# 1000 levels, 1000 targets, 1500 columns: about a second of work.
nlev, ncols = 1000, 1500
rng = np.random.default_rng(0)
hya = rng.uniform(0.0, 1e-3, nlev)
hya[0], hya[-1] = 0.0, 1.0
arguments = ([rng.uniform(0.0, 1.0, (1, nlev, ncols))], [np.empty((1, 1000, ncols))], ["plain"],
             np.ones((1, ncols)), hya, np.zeros(nlev), 1.0, np.linspace(0.001, 0.999, 1000))
call = lambda: _kernels.remap_hybrid_to_pressure(*arguments, log=False, extrapolate=False)
call()
expected = arguments[1][0].copy()
ticks = []
def tick(*_):
    ticks.append(1)
    if len(ticks) == 2:
        os.kill(os.getpid(), signal.SIGINT)
signal.signal(signal.SIGALRM, tick)
refs = [sys.getrefcount(a) for a in (arguments[0][0], arguments[1][0], hya)]
signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
try:
    call()
    print("returned")
except KeyboardInterrupt:
    print("KeyboardInterrupt", len(ticks) in (2, 3))
signal.setitimer(signal.ITIMER_REAL, 0)
print(refs == [sys.getrefcount(a) for a in (arguments[0][0], arguments[1][0], hya)])
call()
print(np.array_equal(arguments[1][0], expected))
"""


@pytest.mark.parametrize("threads", ["1", "2"])
def test_sigint_ends_a_long_remap_and_the_pool_goes_on(python_subprocess, threads):
    result = python_subprocess(LONG_REMAP, env={"RAYON_NUM_THREADS": threads})
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines() == ["KeyboardInterrupt True", "True", "True"]
