#!/usr/bin/env python
"""Benchmarks `_tamrix_rs` against what a user would use instead.

Side by side in one run, each figure the median of repeated timings taken in
round-robin order (so drifting load on a shared machine hits every contender
alike):

- every array function against the same formula as a NumPy expression and,
  where the formula fits, as a numexpr expression on the same number of
  threads, at n = 16, 1,000, 100,000, 1,000,000 and 10,000,000 outputs;
- the four quantities MetPy also offers, against MetPy on pint quantities;
- every scalar function, positionally and by keyword, against
  `math.atan2(300.0, 50.0)`;
- thread scaling at n = 10,000,000 (one worker against all cores, each pool
  size in its own process, since the size is read once per process, with
  their samples alternating so that background load hits both alike);
- `interpolate_columns` on 100,000 columns against a `numpy.interp` loop and
  a vectorised NumPy formulation;
- the peak memory of one large `relhum_array` call against its NumPy form.

It prints Markdown tables and a summary of the speed-ups, and writes
`results.md` and `speedup.png` to `bench/latest/` (untracked), or with
`--update-results` to `bench/results/` (the copy kept in the repository).
`--targets` adds the list of performance targets and whether each is met.
`--quick` runs the small sizes only (a few seconds, nothing written).
"""

import argparse
import gc
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
import timeit
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np

import _tamrix_rs

sys.path.insert(0, str(Path(__file__).resolve().parent))
import baselines as bl  # noqa: E402

try:
    import numexpr
except ImportError:  # numexpr is optional: its columns are left empty
    numexpr = None

met = _tamrix_rs.meteorology
grad = _tamrix_rs.gradient
interp = _tamrix_rs.interpolation

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"  # tracked: rewritten only with --update-results
LATEST = HERE / "latest"  # untracked: every other full run
# 1,000,000 is not a target size: it shows results of 4-32 MiB, where a
# large-buffer allocator that gets fresh pages on every call shows.
FULL_SIZES = (16, 1_000, 100_000, 1_000_000, 10_000_000)
QUICK_SIZES = (16, 1_000)
LARGE = 10_000_000

# Outer-product functions: (rows, columns) giving each output size exactly.
GRID_SHAPES = {16: (4, 4), 1_000: (20, 50), 100_000: (100, 1_000), 1_000_000: (1_000, 1_000),
               10_000_000: (1_000, 10_000)}
# Column interpolation in the main table: short columns, n outputs in all.
TABLE_LEVELS_IN = 20
TABLE_LEVELS_OUT = 8


# --- Pool size -----------------------------------------------------------------

def _parse_count(text):
    if text is None:
        return None
    digits = text[1:] if text.startswith("+") else text
    return int(digits) if digits.isdigit() else None


def available_cpus():
    count = len(os.sched_getaffinity(0))
    try:
        quota, period = Path("/sys/fs/cgroup/cpu.max").read_text().split()
        if quota != "max":
            count = min(count, max(1, math.ceil(int(quota) / int(period))))
    except (OSError, ValueError):
        pass
    return count


def pool_size():
    """The worker count `_tamrix_rs` picks in this process (same rules)."""
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        value = _parse_count(os.environ.get(name))
        if value:
            return value
        if value == 0:
            break
    return available_cpus()


# --- Inputs --------------------------------------------------------------------

def grid_shape(n):
    if n in GRID_SHAPES:
        return GRID_SHAPES[n]
    rows = max(1, math.isqrt(n))
    return rows, max(1, n // rows)


def make_columns(ncols, nlev_in, nlev_out, rng):
    """Ascending pressure columns (np.interp needs ascending coordinates),
    jittered per column, and targets reaching past both ends."""
    levels = np.linspace(1_000.0, 100_000.0, nlev_in)
    xp = levels[None, :] * rng.uniform(0.97, 1.03, (ncols, 1))
    data = 200.0 + 0.001 * xp + rng.uniform(-1.0, 1.0, (ncols, nlev_in))
    targets = np.linspace(800.0, 102_000.0, nlev_out)
    return {"xp_flat": xp.ravel(), "data_flat": data.ravel(), "new_levels": targets,
            "nlev_in": nlev_in, "ncols": ncols}


def _in_elementwise(**ranges):
    def make(n, rng):
        return {name: rng.uniform(lo, hi, n) for name, (lo, hi) in ranges.items()}
    return make


def _make_daylight(n, rng):
    days, lats = grid_shape(n)
    return {"jday": rng.uniform(1.0, 366.0, days), "lat": rng.uniform(-89.0, 89.0, lats)}


def _make_hybrid(n, rng):
    levels, points = grid_shape(n)
    return {"hya": rng.uniform(0.0, 0.3, levels), "hyb": rng.uniform(0.0, 1.0, levels),
            "psfc": rng.uniform(50_000.0, 105_000.0, points), "p0": 100_000.0}


def _make_extrapolation(n, rng):
    ps = rng.uniform(60_000.0, 105_000.0, n)
    return {"t_bot": rng.uniform(230.0, 310.0, n), "lev": 100_000.0,
            "p_sfc": ps * rng.uniform(0.95, 0.995, n), "ps": ps,
            "phi_sfc": rng.uniform(0.0, 40_000.0, n)}


def _make_delta_pressure(n, rng):
    return {"pressure_lev": np.linspace(1_000.0, 100_000.0, n), "surface_pressure": 95_000.0}


def _make_interpolation(n, rng):
    return make_columns(max(1, n // TABLE_LEVELS_OUT), TABLE_LEVELS_IN, TABLE_LEVELS_OUT, rng)


# --- The functions under test --------------------------------------------------

@dataclass
class Case:
    name: str
    make: Callable  # (n, rng) -> dict of inputs giving n output elements
    ours: Callable  # inputs -> result array
    numpy: Callable
    numexpr: Callable | None = None
    multi_op: bool = True  # more than one arithmetic operation per element
    compute_bound: bool = True  # expected to scale with the worker count
    metpy: Callable | None = None  # inputs -> MetPy result, for MetPy's four
    note: str = ""


def _ne(name, **rename):
    """numexpr form of `name`, with input keys renamed to expression names."""
    def run(d):
        arrays = {rename.get(k, k): v for k, v in d.items()}
        return bl.numexpr_call(name, **arrays)
    return run


def _metpy_dewpoint(d):
    from metpy.calc import dewpoint_from_relative_humidity
    from metpy.units import units
    return dewpoint_from_relative_humidity(units.Quantity(d["tk"], "K"),
                                           units.Quantity(d["rh"], "percent"))


def _metpy_heat_index(d):
    from metpy.calc import heat_index
    from metpy.units import units
    return heat_index(units.Quantity(d["temperature"], "degF"),
                      units.Quantity(d["relative_humidity"], "percent"))


def _metpy_relhum(d):
    from metpy.calc import relative_humidity_from_mixing_ratio
    from metpy.units import units
    return relative_humidity_from_mixing_ratio(units.Quantity(d["pressure"], "Pa"),
                                               units.Quantity(d["temperature"], "K"),
                                               units.Quantity(d["mixing_ratio"], "kg/kg"))


def _metpy_svp(d):
    from metpy.calc import saturation_vapor_pressure
    from metpy.units import units
    return saturation_vapor_pressure(units.Quantity(d["temperature"], "degF"))


HUMIDITY = {"t": (200.0, 310.0), "w": (0.0001, 0.02), "p": (30_000.0, 105_000.0)}
CASES = [
    Case("dewtemp_array", _in_elementwise(tk=(250.0, 310.0), rh=(5.0, 100.0)),
         lambda d: met.dewtemp_array(d["tk"], d["rh"]),
         lambda d: bl.dewtemp(d["tk"], d["rh"]), _ne("dewtemp"), metpy=_metpy_dewpoint),
    Case("heat_index_array",
         _in_elementwise(temperature=(30.0, 115.0), relative_humidity=(0.0, 100.0)),
         lambda d: met.heat_index_array(d["temperature"], d["relative_humidity"], False),
         lambda d: bl.heat_index(d["temperature"], d["relative_humidity"]),
         _ne("heat_index", temperature="t", relative_humidity="rh"), metpy=_metpy_heat_index),
    Case("relhum_ice_array", _in_elementwise(**HUMIDITY),
         lambda d: met.relhum_ice_array(d["t"], d["w"], d["p"]),
         lambda d: bl.relhum_ice(d["t"], d["w"], d["p"]), _ne("relhum_ice")),
    Case("relhum_water_array", _in_elementwise(**HUMIDITY),
         lambda d: met.relhum_water_array(d["t"], d["w"], d["p"]),
         lambda d: bl.relhum_water(d["t"], d["w"], d["p"]), _ne("relhum_water")),
    Case("relhum_array",
         _in_elementwise(temperature=HUMIDITY["t"], mixing_ratio=HUMIDITY["w"],
                         pressure=HUMIDITY["p"]),
         lambda d: met.relhum_array(d["temperature"], d["mixing_ratio"], d["pressure"]),
         lambda d: bl.relhum(d["temperature"], d["mixing_ratio"], d["pressure"]),
         metpy=_metpy_relhum, note="table lookup: no numexpr form"),
    Case("max_daylight_grid", _make_daylight,
         lambda d: met.max_daylight_grid(d["jday"], d["lat"]),
         lambda d: bl.max_daylight_grid(d["jday"], d["lat"]), _ne("max_daylight_grid")),
    Case("saturation_vapor_pressure_array", _in_elementwise(temperature=(20.0, 110.0)),
         lambda d: met.saturation_vapor_pressure_array(d["temperature"]),
         lambda d: bl.saturation_vapor_pressure(d["temperature"]),
         _ne("saturation_vapor_pressure", temperature="t"), metpy=_metpy_svp),
    Case("saturation_vapor_pressure_slope_array", _in_elementwise(temperature=(20.0, 110.0)),
         lambda d: met.saturation_vapor_pressure_slope_array(d["temperature"]),
         lambda d: bl.saturation_vapor_pressure_slope(d["temperature"]),
         _ne("saturation_vapor_pressure_slope", temperature="t")),
    Case("psychrometric_constant_array", _in_elementwise(pressure=(50.0, 105.0)),
         lambda d: met.psychrometric_constant_array(d["pressure"]),
         lambda d: bl.psychrometric_constant(d["pressure"]),
         _ne("psychrometric_constant", pressure="p"), multi_op=False, compute_bound=False),
    Case("rad_lat_wgs84_array", _in_elementwise(lat=(-90.0, 90.0)),
         lambda d: grad.rad_lat_wgs84_array(d["lat"]),
         lambda d: bl.rad_lat_wgs84(d["lat"]), _ne("rad_lat_wgs84")),
    Case("arc_lat_wgs84_array", _in_elementwise(lat=(-90.0, 90.0)),
         lambda d: grad.arc_lat_wgs84_array(d["lat"]),
         lambda d: bl.arc_lat_wgs84(d["lat"]), _ne("arc_lat_wgs84")),
    Case("arc_lon_wgs84_array", _in_elementwise(lon=(-180.0, 180.0), lat=(-90.0, 90.0)),
         lambda d: grad.arc_lon_wgs84_array(d["lon"], d["lat"]),
         lambda d: bl.arc_lon_wgs84(d["lon"], d["lat"]), _ne("arc_lon_wgs84")),
    Case("temp_extrapolate_array", _make_extrapolation,
         lambda d: interp.temp_extrapolate_array(d["t_bot"], d["lev"], d["p_sfc"], d["ps"],
                                                 d["phi_sfc"]),
         lambda d: bl.temp_extrapolate(**d), _ne("temp_extrapolate")),
    Case("geo_height_extrapolate_array", _make_extrapolation,
         lambda d: interp.geo_height_extrapolate_array(d["t_bot"], d["lev"], d["p_sfc"],
                                                       d["ps"], d["phi_sfc"]),
         lambda d: bl.geo_height_extrapolate(**d), _ne("geo_height_extrapolate")),
    Case("pressure_at_hybrid_levels_array", _make_hybrid,
         lambda d: interp.pressure_at_hybrid_levels_array(d["hya"], d["hyb"], d["psfc"],
                                                          d["p0"]),
         lambda d: bl.pressure_at_hybrid_levels(**d), _ne("pressure_at_hybrid_levels"),
         compute_bound=False),
    Case("delta_pressure_1d", _make_delta_pressure,
         lambda d: interp.delta_pressure_1d(d["pressure_lev"], d["surface_pressure"]),
         lambda d: bl.delta_pressure_1d(d["pressure_lev"], d["surface_pressure"]),
         compute_bound=False, note="sequential column scan: no numexpr form, one thread"),
    Case("interpolate_columns", _make_interpolation,
         lambda d: interp.interpolate_columns(d["xp_flat"], d["data_flat"], d["new_levels"],
                                              d["nlev_in"], d["ncols"]),
         lambda d: bl.interpolate_columns_vectorised(**d),
         note=f"{TABLE_LEVELS_IN} levels onto {TABLE_LEVELS_OUT} targets per column;"
              " NumPy: vectorised blocks"),
]
CASE_BY_NAME = {case.name: case for case in CASES}
# One exp() or log() per element, taken four at a time (tamrix.show_config()).
EXP_LOG_KERNELS = {"dewtemp_array", "relhum_ice_array", "relhum_water_array",
                   "saturation_vapor_pressure_array", "saturation_vapor_pressure_slope_array",
                   "temp_extrapolate_array", "geo_height_extrapolate_array"}

SCALARS = [
    (met.dewtemp_scalar, (300.0, 50.0), {"tk": 300.0, "rh": 50.0}),
    (met.heat_index_scalar, (95.0, 60.0, False),
     {"temperature": 95.0, "relative_humidity": 60.0, "alternate_coeffs": False}),
    (met.relhum_ice_scalar, (260.0, 0.001, 80_000.0), {"t": 260.0, "w": 0.001, "p": 80_000.0}),
    (met.relhum_water_scalar, (290.0, 0.01, 90_000.0), {"t": 290.0, "w": 0.01, "p": 90_000.0}),
    (met.relhum_scalar, (290.0, 0.01, 90_000.0),
     {"temperature": 290.0, "mixing_ratio": 0.01, "pressure": 90_000.0}),
    (met.max_daylight_scalar, (172.0, 45.0), {"jday": 172.0, "lat": 45.0}),
    (met.saturation_vapor_pressure_scalar, (77.0,), {"temperature_f": 77.0}),
    (met.saturation_vapor_pressure_slope_scalar, (77.0,), {"temperature_f": 77.0}),
    (met.psychrometric_constant_scalar, (101.3,), {"pressure_kpa": 101.3}),
    (grad.rad_lat_wgs84_scalar, (45.0,), {"lat": 45.0}),
    (grad.arc_lat_wgs84_scalar, (45.0,), {"lat": 45.0}),
    (grad.arc_lon_wgs84_scalar, (1.0, 45.0), {"lon": 1.0, "lat": 45.0}),
    (interp.temp_extrapolate_scalar, (280.0, 100_000.0, 85_000.0, 87_000.0, 12_000.0),
     {"t_bot": 280.0, "lev": 100_000.0, "p_sfc": 85_000.0, "ps": 87_000.0,
      "phi_sfc": 12_000.0}),
    (interp.geo_height_extrapolate_scalar, (280.0, 100_000.0, 85_000.0, 87_000.0, 12_000.0),
     {"t_bot": 280.0, "lev": 100_000.0, "p_sfc": 85_000.0, "ps": 87_000.0,
      "phi_sfc": 12_000.0}),
    (interp.pressure_at_hybrid_level_scalar, (0.1, 0.8, 101_325.0, 100_000.0),
     {"hya": 0.1, "hyb": 0.8, "psfc": 101_325.0, "p0": 100_000.0}),
]


# --- Timing --------------------------------------------------------------------

@dataclass
class Timer:
    """Round-robin medians: each repeat times every contender once, with an
    inner loop sized so that one sample lasts at least `sample_s`. Short
    samples and many repeats keep the median clear of bursts of load from
    other processes; slow calls get fewer repeats (`budget_s` per contender,
    at least `min_repeats`)."""
    sample_s: float = 0.004
    budget_s: float = 0.6
    min_repeats: int = 3
    max_repeats: int = 21

    def per_call(self, contenders: dict) -> dict[str, float]:
        """`contenders` maps names to callables or to (statement, globals)
        pairs; a statement is timed as written, without a wrapper call."""
        timers = {}
        for name, what in contenders.items():
            if callable(what):
                timers[name] = timeit.Timer(what)
            else:
                statement, namespace = what
                timers[name] = timeit.Timer(statement, globals=namespace)
        loops, calls = {}, {}
        for name, timer in timers.items():
            once = timer.timeit(1)  # warm-up: pool start, NumPy API lookup, page faults
            if once < self.sample_s / 10:  # the first call overstates a tiny one
                once = timer.timeit(10) / 10
            loops[name] = max(1, int(self.sample_s / max(once, 1e-9)))
            calls[name] = once
        sample = max(once * loops[name] for name, once in calls.items())
        repeats = min(self.max_repeats, max(self.min_repeats, int(self.budget_s / sample)))
        samples = {name: [] for name in timers}
        for _ in range(repeats):
            for name, timer in timers.items():
                samples[name].append(timer.timeit(loops[name]) / loops[name])
        return {name: statistics.median(values) for name, values in samples.items()}


def fmt_time(seconds):
    if seconds is None:
        return "—"
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1.0:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds:.2f} s"


def fmt_ratio(ratio):
    if ratio is None:
        return "—"
    return f"{ratio:.2f}×" if ratio < 10 else f"{ratio:.0f}×"


def ratio(slower, faster):
    if slower is None or faster is None or faster <= 0:
        return None
    return slower / faster


def markdown_table(header, rows):
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


# --- Sections ------------------------------------------------------------------

def warm_up(rng, seconds=0.3):
    """The first few milliseconds of a process run every call several times
    slower (lazy set-up in NumPy and in the module, cold caches and branch
    predictors); spin through every contender before timing anything."""
    inputs = [(case, case.make(16, rng)) for case in CASES]
    deadline = time.perf_counter() + seconds
    with np.errstate(all="ignore"):
        while time.perf_counter() < deadline:
            for case, d in inputs:
                case.ours(d)
                case.numpy(d)
                if numexpr is not None and case.numexpr is not None:
                    case.numexpr(d)


def bench_arrays(sizes, timer, rng, progress=True):
    """Per (case, n): seconds per call for ours, NumPy, numexpr, and one
    NumPy ufunc call on an array of n (the small-size reference)."""
    warm_up(rng)
    results = {}
    for n in sizes:
        for case in CASES:
            d = case.make(n, rng)
            contenders = {"ours": lambda: case.ours(d), "numpy": lambda: case.numpy(d)}
            if numexpr is not None and case.numexpr is not None:
                contenders["numexpr"] = lambda: case.numexpr(d)
            if n <= 1_000:
                a = np.ones(n)
                contenders["ufunc"] = lambda: np.multiply(a, 0.5)
            with np.errstate(all="ignore"):
                results[(case.name, n)] = timer.per_call(contenders)
            d = contenders = None  # free the large inputs before the next case
            gc.collect()
        if progress:
            print(f"  arrays at n = {n:,} done", file=sys.stderr, flush=True)
    return results


def bench_metpy(sizes, timer, rng, budget_s=5.0):
    """MetPy's four, on pint quantities. n = 10M is skipped when the call at
    100,000 predicts more than `budget_s` per call."""
    try:
        import metpy.calc  # noqa: F401
    except ImportError:
        return None, "MetPy is not installed: its rows are skipped."
    results, notes = {}, []
    for case in CASES:
        if case.metpy is None:
            continue
        small = None
        for n in sizes:
            if n == LARGE and small is not None and small * (LARGE / 100_000) > budget_s:
                notes.append(f"{case.name}: MetPy at n = 10,000,000 skipped "
                             f"(about {small * LARGE / 100_000:.0f} s per call predicted).")
                continue
            d = case.make(n, rng)
            with np.errstate(all="ignore"):
                timing = timer.per_call({"ours": lambda: case.ours(d),
                                         "metpy": lambda: case.metpy(d)})
            results[(case.name, n)] = timing
            if n == 100_000:
                small = timing["metpy"]
            d = None
            gc.collect()
    return results, " ".join(notes)


def _literal_call(name, args=(), kwargs=None):
    parts = [repr(a) for a in args] + [f"{k}={v!r}" for k, v in (kwargs or {}).items()]
    return f"{name}({', '.join(parts)})"


def bench_scalars(timer):
    """Per scalar function: seconds per call, positional and by keyword,
    written as literal calls, with the reference `math.atan2(300.0, 50.0)`
    interleaved."""
    results = {}
    for fn, args, kwargs in SCALARS:
        namespace = {"f": fn, "atan2": math.atan2}
        results[fn.__name__] = timer.per_call({
            "atan2": ("atan2(300.0, 50.0)", namespace),
            "positional": (_literal_call("f", args), namespace),
            "keyword": (_literal_call("f", kwargs=kwargs), namespace),
        })
    return results


def _worker_env(extra=None):
    env = dict(os.environ)
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        env.pop(name, None)
    env.update(extra or {})
    return env


def run_worker(flag, *args, env=None, timeout=600):
    proc = subprocess.run([sys.executable, str(Path(__file__).resolve()), flag, *map(str, args)],
                          env=_worker_env(env), capture_output=True, text=True, timeout=timeout)
    if proc.returncode != 0:
        raise RuntimeError(f"{flag} worker failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


def scaling_worker():
    """A fresh process with its own pool size, driven line by line from
    stdin: "prepare NAME" makes the inputs of NAME at 10M (the same in every
    worker) and answers the time of one call; "time LOOPS" answers the time
    per call of LOOPS calls; "quit" ends."""
    case, d = None, None
    for line in sys.stdin:
        command, _, argument = line.strip().partition(" ")
        if command == "prepare":
            case, d = CASE_BY_NAME[argument], None
            gc.collect()
            d = case.make(LARGE, np.random.default_rng(1))
            reply = timeit.Timer(lambda: case.ours(d)).timeit(1)
        elif command == "time":
            loops = int(argument)
            reply = timeit.Timer(lambda: case.ours(d)).timeit(loops) / loops
        else:
            break
        print(json.dumps(reply), flush=True)


def _machine_busy_ticks():
    """Busy clock ticks of all CPUs since boot (steal included: time the
    hypervisor gave to other guests is time these cores were not ours)."""
    fields = Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]
    user, nice, system, idle, iowait, irq, softirq, steal = map(int, fields[:8])
    return user + nice + system + irq + softirq + steal


def _process_ticks(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


class ScalingWorkers:
    """One long-lived worker process per pool size. Their samples are taken
    in turn, one worker at a time, so that load from other processes falls
    on every pool size alike and the ratios stay meaningful."""

    def __init__(self, counts):
        script = str(Path(__file__).resolve())
        self.procs = {k: subprocess.Popen(
            [sys.executable, script, "--scaling-worker"], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, text=True, bufsize=1,
            env=_worker_env({"RAYON_NUM_THREADS": str(k)})) for k in counts}

    def ask(self, k, line):
        proc = self.procs[k]
        proc.stdin.write(line + "\n")
        proc.stdin.flush()
        answer = proc.stdout.readline()
        if not answer:
            raise RuntimeError(f"scaling worker ({k} threads) ended unexpectedly")
        return json.loads(answer)

    def ticks(self):
        return sum(_process_ticks(proc.pid) for proc in self.procs.values())

    def close(self):
        for proc in self.procs.values():
            try:
                proc.stdin.write("quit\n")
                proc.stdin.close()
            except OSError:
                pass
            proc.wait(timeout=60)


def bench_scaling(ncpu, budget_s=1.5, min_repeats=3, max_repeats=9):
    counts = sorted({1, 2, ncpu}) if ncpu >= 2 else []
    if not counts:
        return {}
    workers = ScalingWorkers(counts)
    results = {k: {} for k in counts}
    results["others"] = {}  # CPUs busy with other processes meanwhile
    tick = os.sysconf("SC_CLK_TCK")
    try:
        for case in CASES:
            once = {k: workers.ask(k, f"prepare {case.name}") for k in counts}
            loops = {k: max(1, int(0.05 / max(t, 1e-9))) for k, t in once.items()}
            rounds = int(budget_s / max(sum(once.values()), 1e-9))
            rounds = min(max_repeats, max(min_repeats, rounds))
            samples = {k: [] for k in counts}
            busy, ours, start = _machine_busy_ticks(), workers.ticks(), time.perf_counter()
            for _ in range(rounds):
                for k in counts:
                    samples[k].append(workers.ask(k, f"time {loops[k]}"))
            elapsed = time.perf_counter() - start
            others = (_machine_busy_ticks() - busy) - (workers.ticks() - ours)
            results["others"][case.name] = max(0.0, others / tick / elapsed)
            for k in counts:
                results[k][case.name] = statistics.median(samples[k])
    finally:
        workers.close()
    return results


def bench_interpolation(timer, rng, ncols=100_000, nlev_in=60, nlev_out=30, loop_budget_s=1.0):
    """The per-column `numpy.interp` loop runs over every column unless that
    would take more than `loop_budget_s` per call; then it is timed on the
    first columns only and scaled up (the report says so)."""
    d = make_columns(ncols, nlev_in, nlev_out, rng)
    probe = min(2_000, ncols)
    start = time.perf_counter()
    bl.interpolate_columns_loop(**d, columns=probe)
    per_column = (time.perf_counter() - start) / probe
    loop_columns = min(ncols, max(probe, int(loop_budget_s / per_column)))
    times = timer.per_call({
        "ours": lambda: interp.interpolate_columns(d["xp_flat"], d["data_flat"],
                                                   d["new_levels"], nlev_in, ncols),
        "vectorised": lambda: bl.interpolate_columns_vectorised(**d),
        "loop": lambda: bl.interpolate_columns_loop(**d, columns=loop_columns),
    })
    times["loop"] *= ncols / loop_columns
    return {"ncols": ncols, "nlev_in": nlev_in, "nlev_out": nlev_out,
            "loop_columns": loop_columns, "times": times}


def _status_kib(field_name):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field_name + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field_name} not in /proc/self/status")


def peak_worker(which, n):
    """In a fresh process: RSS growth of one relhum call on three inputs of n.
    The inputs are filled in place so that making them leaves no high-water
    mark of its own; the high-water mark is then reset (clear_refs 5) when
    the kernel allows it."""
    n = int(n)
    rng = np.random.default_rng(2)
    t, w, p = np.empty(n), np.empty(n), np.empty(n)
    for array, (lo, hi) in zip((t, w, p), HUMIDITY.values()):
        rng.random(out=array)
        array *= hi - lo
        array += lo
    small = np.ones(16)
    met.relhum_array(small, small, small)  # pool and NumPy API set up
    bl.relhum(small, small, small)
    gc.collect()
    try:
        Path("/proc/self/clear_refs").write_text("5")
        reset = True
    except OSError:
        reset = False
    before = _status_kib("VmRSS")
    if which == "ours":
        result = met.relhum_array(t, w, p)
    else:
        result = bl.relhum(t, w, p)
    peak = _status_kib("VmHWM")
    print(json.dumps({"inputs": 3 * t.nbytes, "output": result.nbytes,
                      "growth": (peak - before) * 1024, "reset": reset}))


def bench_peak(n=LARGE):
    return {which: run_worker("--peak-worker", which, n) for which in ("ours", "numpy")}


# --- Targets -------------------------------------------------------------------

# Above this many CPUs taken by other processes during the scaling samples, a
# 2-worker speed-up says nothing about the pool: the target is reported n/a.
BUSY_LIMIT = 0.25

@dataclass
class Target:
    text: str
    measured: str
    ok: bool | None  # None: could not be measured


def evaluate_targets(arrays, scalars, scaling=None, interpolation=None, peak=None):
    targets = []
    sizes = sorted({n for _, n in arrays})
    if LARGE in sizes:
        for case in CASES:
            t = arrays[(case.name, LARGE)]
            vs_numpy = ratio(t["numpy"], t["ours"])
            if case.multi_op:
                # The kernels with one exp() or log() per element take them
                # four at a time: they are held to more.
                want_numpy, want_ne = (4.0, 2.0) if case.name in EXP_LOG_KERNELS else (3.0, 1.0)
                targets.append(Target(f"{case.name} n=10M ≥ {want_numpy:g}× NumPy",
                                      fmt_ratio(vs_numpy), vs_numpy >= want_numpy))
                if "numexpr" in t:
                    vs_ne = ratio(t["numexpr"], t["ours"])
                    wanted = "numexpr" if want_ne == 1.0 else f"{want_ne:g}× numexpr"
                    targets.append(Target(f"{case.name} n=10M ≥ {wanted} ({pool_size()} threads)",
                                          fmt_ratio(vs_ne), vs_ne >= want_ne))
            else:
                targets.append(Target(f"{case.name} n=10M ≥ NumPy `pressure * 0.00066474`",
                                      fmt_ratio(vs_numpy), vs_numpy >= 1.0))
    if 16 in sizes:
        for case in CASES:
            t = arrays[(case.name, 16)]
            r = ratio(t["ours"], t["ufunc"])
            targets.append(Target(f"{case.name} n=16 ≤ 1.5× one NumPy ufunc call",
                                  f"{fmt_ratio(r)} ({fmt_time(t['ours'])} vs "
                                  f"{fmt_time(t['ufunc'])})", r <= 1.5))
    for name, t in scalars.items():
        pos = ratio(t["positional"], t["atan2"])
        kw = ratio(t["keyword"], t["atan2"])
        targets.append(Target(f"{name} positional ≤ 1.3× math.atan2", fmt_ratio(pos), pos <= 1.3))
        targets.append(Target(f"{name} keyword ≤ 2× math.atan2", fmt_ratio(kw), kw <= 2.0))
    if scaling and 1 in scaling and 2 in scaling:
        for case in CASES:
            if not case.compute_bound:
                continue
            r = ratio(scaling[1][case.name], scaling[2][case.name])
            busy = scaling["others"][case.name]
            text = f"{case.name} 2 workers ≥ 1.8× 1 worker (n=10M)"
            if busy > BUSY_LIMIT:
                targets.append(Target(text, f"{fmt_ratio(r)}, but other processes used "
                                            f"{busy:.2f} CPUs meanwhile", None))
            else:
                targets.append(Target(text, fmt_ratio(r), r >= 1.8))
    if interpolation:
        t = interpolation["times"]
        r = ratio(t["loop"], t["ours"])
        targets.append(Target("interpolate_columns ≥ 50× per-column numpy.interp loop",
                              fmt_ratio(r), r >= 50.0))
    if peak:
        ours = peak["ours"]
        slack = 4 << 20  # the result buffer is rounded up to 2 MiB pages
        ok = ours["growth"] <= ours["output"] + slack
        targets.append(Target("relhum_array peak growth = one output (no temporaries)",
                              f"{ours['growth'] / 2**20:.0f} MiB for a "
                              f"{ours['output'] / 2**20:.0f} MiB output", ok))
    return targets


# --- Reporting -----------------------------------------------------------------

def machine_summary():
    lines = [f"- Python {platform.python_version()}, NumPy {np.__version__}"
             + (f", numexpr {numexpr.__version__}" if numexpr else ", numexpr not installed"),
             f"- CPUs available: {available_cpus()}; `_tamrix_rs` pool size: {pool_size()}"
             + (f"; numexpr threads: {numexpr.get_num_threads()}" if numexpr else ""),
             "- Load average at start (1, 5, 15 min): "
             + ", ".join(f"{x:.2f}" for x in os.getloadavg())]
    try:
        from tamrix import _kernels
    except ImportError:  # the extension alone, without the tamrix package
        pass
    else:
        vector, reason = _kernels.status()
        lines.append(f"- exp/log path: {'vector' if vector else 'C library'} ({reason})")
    blas_env = {k: os.environ[k] for k in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
                if k in os.environ}
    if blas_env:
        lines.append(f"- Set here: {blas_env} (they affect BLAS kernels only, not the "
                     "element-wise ufuncs timed below)")
    return "\n".join(lines)


def arrays_table(arrays, sizes):
    rows = []
    for case in CASES:
        for n in sizes:
            t = arrays[(case.name, n)]
            rows.append([f"`{case.name}`", f"{n:,}", fmt_time(t["ours"]), fmt_time(t["numpy"]),
                         fmt_ratio(ratio(t["numpy"], t["ours"])), fmt_time(t.get("numexpr")),
                         fmt_ratio(ratio(t.get("numexpr"), t["ours"]))])
    return markdown_table(["function", "n", "tamrix", "NumPy", "speed-up vs NumPy", "numexpr",
                           "speed-up vs numexpr"], rows)


def compact_arrays_table(arrays, sizes):
    header = ["function"]
    for n in sizes:
        header += [f"n={n:,}", "×NumPy"] + (["×numexpr"] if numexpr else [])
    rows = []
    for case in CASES:
        row = [case.name]
        for n in sizes:
            t = arrays[(case.name, n)]
            row += [fmt_time(t["ours"]), fmt_ratio(ratio(t["numpy"], t["ours"]))]
            if numexpr:
                row.append(fmt_ratio(ratio(t.get("numexpr"), t["ours"])))
        rows.append(row)
    return markdown_table(header, rows)


def metpy_table(results, sizes):
    rows = []
    for case in CASES:
        for n in sizes:
            t = results.get((case.name, n))
            if t is None:
                continue
            rows.append([f"`{case.name}`", f"{n:,}", fmt_time(t["ours"]), fmt_time(t["metpy"]),
                         fmt_ratio(ratio(t["metpy"], t["ours"]))])
    return markdown_table(["function", "n", "tamrix", "MetPy (pint)", "speed-up"], rows)


def scalars_table(scalars):
    rows = []
    for name, t in scalars.items():
        rows.append([f"`{name}`", f"{t['positional'] * 1e9:.0f}", f"{t['keyword'] * 1e9:.0f}",
                     f"{t['atan2'] * 1e9:.0f}", fmt_ratio(ratio(t["positional"], t["atan2"])),
                     fmt_ratio(ratio(t["keyword"], t["atan2"]))])
    return markdown_table(["function", "positional ns", "keyword ns", "math.atan2 ns",
                           "positional / atan2", "keyword / atan2"], rows)


def scaling_table(scaling):
    counts = sorted(k for k in scaling if k != "others")
    header = ["function"] + [f"{k} worker{'s' if k > 1 else ''}" for k in counts]
    header += [f"speed-up {k}/1" for k in counts if k > 1]
    rows = []
    for case in CASES:
        row = [f"`{case.name}`"] + [fmt_time(scaling[k][case.name]) for k in counts]
        row += [fmt_ratio(ratio(scaling[1][case.name], scaling[k][case.name]))
                for k in counts if k > 1]
        row.append(f"{scaling['others'][case.name]:.2f}")
        rows.append(row)
    return markdown_table(header + ["CPUs used by other processes"], rows) + (
        "\n\nThe pool sizes run in separate processes whose samples alternate, so both "
        "see the same background load; the last column is the CPU time other processes "
        "(and the hypervisor's steal) took meanwhile, in CPUs. With 2 cores, "
        "a 2-worker speed-up near 2× is only possible while that is near 0.")


def interpolation_table(result):
    t = result["times"]
    rows = [["`interpolate_columns`", fmt_time(t["ours"]), "1×"],
            ["vectorised NumPy (column blocks, broadcast compare, argmax)",
             fmt_time(t["vectorised"]), fmt_ratio(ratio(t["vectorised"], t["ours"]))],
            ["`numpy.interp` per column in a Python loop" + (
                "" if result["loop_columns"] == result["ncols"] else
                f" (timed on the first {result['loop_columns']:,} columns, scaled to "
                f"{result['ncols']:,})"), fmt_time(t["loop"]),
             fmt_ratio(ratio(t["loop"], t["ours"]))]]
    return markdown_table(["method", "time", "tamrix speed-up"], rows)


def peak_table(peak):
    rows = []
    for which, label in (("ours", "`relhum_array`"), ("numpy", "NumPy expression")):
        p = peak[which]
        rows.append([label, f"{p['inputs'] / 2**20:.0f} MiB", f"{p['output'] / 2**20:.0f} MiB",
                     f"{p['growth'] / 2**20:.0f} MiB",
                     f"{p['growth'] / p['output']:.2f}"])
    note = "" if peak["ours"]["reset"] else (
        "\n\n(The high-water mark could not be reset here; growth is measured from the "
        "RSS after the inputs were filled in place.)")
    return markdown_table(["call", "inputs", "output", "peak RSS growth",
                           "growth / output"], rows) + note


NOISE_NOTE = ("Timings on a shared machine vary from run to run; the speed-ups, measured "
              "side by side, are what to compare.")


def _spread(ratios):
    ratios = sorted(ratios)
    return (f"median {fmt_ratio(statistics.median(ratios))}, "
            f"{fmt_ratio(ratios[0])} to {fmt_ratio(ratios[-1])}")


def speedup_summary(arrays, sizes):
    """One line per size: how many functions beat each baseline, and by how
    much (the median and the range of the speed-ups)."""
    lines = []
    for n in sizes:
        parts = []
        for baseline, label in (("numpy", "NumPy"), ("numexpr", "numexpr")):
            ratios = [ratio(arrays[(c.name, n)].get(baseline), arrays[(c.name, n)]["ours"])
                      for c in CASES]
            ratios = [r for r in ratios if r is not None]
            if ratios:
                faster = sum(1 for r in ratios if r > 1.0)
                parts.append(f"faster than {label} for {faster} of {len(ratios)} functions "
                             f"({_spread(ratios)})")
        lines.append(f"- n = {n:,}: " + "; ".join(parts))
    return "\n".join(lines)


def scalar_summary(scalars):
    times = [t["positional"] for t in scalars.values()]
    costs = [ratio(t["positional"], t["atan2"]) for t in scalars.values()]
    return (f"- scalar calls: {fmt_time(min(times))} to {fmt_time(max(times))} each, "
            f"{min(costs):.2f} to {max(costs):.2f} times the cost of `math.atan2(300.0, 50.0)`")


def targets_list(targets):
    lines = []
    for t in targets:
        mark = "PASS" if t.ok else ("n/a" if t.ok is None else "FAIL")
        lines.append(f"- {mark}: {t.text} — {t.measured}")
    passed = sum(1 for t in targets if t.ok)
    failed = sum(1 for t in targets if t.ok is False)
    lines.append(f"\n{passed} targets pass, {failed} fail, "
                 f"{len(targets) - passed - failed} could not be judged.")
    return "\n".join(lines)


def plot_speedups(arrays, sizes, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker
    except ImportError:
        return "matplotlib is not installed: no plot written."
    fig, ax = plt.subplots(figsize=(11, 6.5))
    markers = "osD^v<>phX*"
    for i, case in enumerate(CASES):
        ys = [ratio(arrays[(case.name, n)]["numpy"], arrays[(case.name, n)]["ours"])
              for n in sizes]
        ax.plot(sizes, ys, marker=markers[i % len(markers)],
                linestyle="-" if i < 10 else "--", label=case.name)
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.axhline(3.0, color="grey", linewidth=0.8, linestyle=":")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}×"))
    ax.set_xlabel("output length n")
    ax.set_ylabel("speed-up over the NumPy expression (×)")
    ax.set_title(f"_tamrix_rs vs NumPy ({pool_size()} workers; dotted line: 3× target)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8, loc="center left", bbox_to_anchor=(1.01, 0.5))
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return f"![speed-up over NumPy against n]({path.name})"


# --- Main ----------------------------------------------------------------------

def run_quick(with_targets=False):
    rng = np.random.default_rng(0)
    timer = Timer(sample_s=0.001, budget_s=0.03)
    arrays = bench_arrays(QUICK_SIZES, timer, rng, progress=False)
    scalars = bench_scalars(timer)
    baselines = "NumPy and numexpr" if numexpr else "NumPy (numexpr is not installed)"
    print(f"## tamrix against {baselines} at small sizes\n")
    print(speedup_summary(arrays, QUICK_SIZES))
    print(scalar_summary(scalars) + "\n")
    print(NOISE_NOTE + "\n")
    print(machine_summary() + "\n")
    print("Median time per call and speed-up (×: how many times faster tamrix is):\n")
    print(compact_arrays_table(arrays, QUICK_SIZES) + "\n")
    print("## Scalar calls (ns)\n")
    print(scalars_table(scalars))
    if with_targets:
        print("\n## Targets (small sizes only)\n")
        print(targets_list(evaluate_targets(arrays, scalars)))


def run_full(out_dir, with_targets=False):
    started = time.perf_counter()
    rng = np.random.default_rng(0)
    timer = Timer()
    ncpu = pool_size()
    sections = [f"# tamrix benchmark\n\n{machine_summary()}\n\n{NOISE_NOTE}"]

    def log(text):
        print(f"[{time.perf_counter() - started:6.1f} s] {text}", file=sys.stderr, flush=True)

    log("array functions")
    arrays = bench_arrays(FULL_SIZES, timer, rng)
    sections.append("## Speed-ups\n\n" + speedup_summary(arrays, FULL_SIZES))
    sections.append("## Array functions against NumPy and numexpr\n\nMedian time per call; "
                    "n is the output length (outer products: 4×4, 20×50, 100×1,000, 1,000×1,000 "
                    "and 1,000×10,000). numexpr runs on the same number of threads as tamrix.\n\n"
                    + arrays_table(arrays, FULL_SIZES)
                    + "\n\n" + "\n".join(f"- `{c.name}`: {c.note}" for c in CASES if c.note))
    log("MetPy")
    metpy, metpy_note = bench_metpy(FULL_SIZES, Timer(budget_s=0.5), rng)
    sections.append("## Against MetPy (pint quantities)\n\n"
                    + (metpy_table(metpy, FULL_SIZES) + "\n\n" if metpy else "")
                    + "MetPy's formulas are its own (Bolton dew point, its heat index with "
                    "masking, Bolton saturation pressure): the same quantities, not the same "
                    "arithmetic. " + metpy_note)
    log("scalars")
    scalars = bench_scalars(Timer(sample_s=0.004, budget_s=0.1))
    sections.append("## Scalar functions against `math.atan2(300.0, 50.0)`\n\n"
                    + scalar_summary(scalars) + "\n\n" + scalars_table(scalars))
    log("thread scaling (subprocesses)")
    scaling = bench_scaling(ncpu)
    if scaling:
        sections.append("## Thread scaling at n = 10,000,000 (RAYON_NUM_THREADS)\n\n"
                        + scaling_table(scaling))
    log("interpolate_columns")
    interpolation = bench_interpolation(Timer(budget_s=1.0), rng)
    sections.append(f"## `interpolate_columns`: {interpolation['ncols']:,} columns × "
                    f"{interpolation['nlev_in']} levels onto {interpolation['nlev_out']} "
                    "targets\n\n" + interpolation_table(interpolation))
    log("peak memory (subprocesses)")
    peak = bench_peak()
    sections.append("## Peak memory of `relhum_array` on three inputs of 10,000,000\n\n"
                    + peak_table(peak))
    if with_targets:
        targets = evaluate_targets(arrays, scalars, scaling, interpolation, peak)
        sections.append("## Targets\n\n" + targets_list(targets))
    sections.append(plot_speedups(arrays, FULL_SIZES, out_dir / "speedup.png"))
    sections.append(f"Total benchmark time: {time.perf_counter() - started:.0f} s; load average "
                    "at the end: " + ", ".join(f"{x:.2f}" for x in os.getloadavg()) + ".")
    report = "\n\n".join(sections) + "\n"
    out_dir.mkdir(parents=True, exist_ok=True)
    (out_dir / "results.md").write_text(report)
    print(report)
    log(f"written to {out_dir}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="small sizes only, a few seconds; nothing written")
    parser.add_argument("--targets", action="store_true",
                        help="also list the performance targets and whether each is met")
    parser.add_argument("--update-results", action="store_true",
                        help="write the full run's report to bench/results/ (kept in the "
                             "repository) instead of bench/latest/ (untracked)")
    parser.add_argument("--scaling-worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--peak-worker", nargs=2, metavar=("WHICH", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.quick and args.update_results:
        parser.error("--update-results needs the full run (the quick run writes nothing)")
    if numexpr is not None:
        numexpr.set_num_threads(pool_size())
    if args.scaling_worker:
        scaling_worker()
    elif args.peak_worker:
        peak_worker(*args.peak_worker)
    elif args.quick:
        run_quick(args.targets)
    else:
        run_full(RESULTS if args.update_results else LATEST, args.targets)


if __name__ == "__main__":
    main()
