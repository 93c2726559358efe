"""Layer thickness of many columns: tamrix.delta_pressure (one call of the
batched kernel) against one delta_pressure_1d call per column (what the
package did before the batched kernel) and a vectorised NumPy formula.

500,000 columns of 30 levels by default (TAMRIX_DP_COLUMNS, TAMRIX_DP_LEVELS
change that), once with levels shared by all columns and once with a level
field, and the level field again as float32. Median of a few runs, all in
one process, side by side; the machine's load is printed with the table.
"""

import os

import numpy as np
from timing import median_seconds

import _tamrix_rs
import tamrix

NCOLS = int(os.environ.get("TAMRIX_DP_COLUMNS", 500_000))
NLEV = int(os.environ.get("TAMRIX_DP_LEVELS", 30))


def loop_of_columns(levels, ps):
    """One kernel call per column, as the package did before."""
    one = _tamrix_rs.interpolation.delta_pressure_1d
    out = np.empty((ps.size, levels.shape[-1]))
    rows = np.broadcast_to(levels, out.shape)
    for i, (row, surface) in enumerate(zip(rows, ps.tolist())):
        out[i] = one(np.ascontiguousarray(row), surface)
    return out


def numpy_formula(levels, ps):
    """Vectorised midpoint formula for top-first columns without NaN: layer
    edges half-way between levels, the top at the smallest level, the bottom
    at ps, zero below the ground. Same values up to rounding."""
    p = np.broadcast_to(levels, (ps.size, levels.shape[-1]))
    mid = (p[:, 1:] + p[:, :-1]) * 0.5
    upper = np.concatenate([p.min(axis=1, keepdims=True), mid], axis=1)
    g = np.maximum((ps[:, None] >= p).sum(axis=1, keepdims=True) - 1, 0)
    k = np.arange(p.shape[1])
    lower = np.where(k < g, np.concatenate([mid, mid[:, -1:]], axis=1), ps[:, None])
    return np.where(k <= g, lower - upper, 0.0)


def main():
    rng = np.random.default_rng(0)
    shared = np.linspace(1000.0, 100_000.0, NLEV)
    field = np.sort(shared * rng.uniform(0.99, 1.01, (NCOLS, NLEV)), axis=1)
    ps = rng.uniform(95_000.0, 103_000.0, NCOLS)
    print(f"{NCOLS:,} columns x {NLEV} levels; {len(os.sched_getaffinity(0))} CPUs, "
          f"load {os.getloadavg()[0]:.2f}\n")
    print("| levels | tamrix (ms) | loop per column (ms) | × loop | NumPy formula (ms) "
          "| × NumPy | max rel. diff. to NumPy |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for label, levels in (("shared 1-D", shared), ("field", field)):
        result = tamrix.delta_pressure(levels, ps, axis=-1)
        assert np.array_equal(result, loop_of_columns(levels, ps))
        reference = numpy_formula(levels, ps)
        nonzero = reference != 0.0
        difference = np.max(np.abs(result[nonzero] - reference[nonzero]) / reference[nonzero])
        t_tamrix = median_seconds(lambda: tamrix.delta_pressure(levels, ps, axis=-1))
        t_loop = median_seconds(lambda: loop_of_columns(levels, ps), repeat=2)
        t_numpy = median_seconds(lambda: numpy_formula(levels, ps))
        print(f"| {label} | {t_tamrix * 1e3:.1f} | {t_loop * 1e3:.0f} | {t_loop / t_tamrix:.1f}x "
              f"| {t_numpy * 1e3:.1f} | {t_numpy / t_tamrix:.1f}x | {difference:.1e} |")
    f32, ps32 = field.astype(np.float32), ps.astype(np.float32)
    t32 = median_seconds(lambda: tamrix.delta_pressure(f32, ps32, axis=-1))
    print(f"\nfloat32 level field (float32 result, converted block by block): {t32 * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
