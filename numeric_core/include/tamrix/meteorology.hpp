// Column routines of the meteorology core that work on a whole vertical
// column at once rather than element by element.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "tamrix/buffer.hpp"
#include "tamrix/pool.hpp"

namespace tamrix::meteorology {

// Pressure thickness of the layer each level represents. Layer edges lie
// half-way between neighbouring levels; the uppermost layer is closed by
// `pressure_top` (default: the smallest non-NaN level, +inf when there is
// none) and the lowest layer above ground by `surface_pressure`; levels below
// the ground get 0. The levels may run top-first or surface-first (decided by
// the two end levels); the result is in the order of the input. Any pressure
// unit, the same for all three arguments. Sequential, never fails.
DoubleBuffer delta_pressure_1d(std::span<const double> pressure_lev, double surface_pressure,
                               std::optional<double> pressure_top);

// delta_pressure_1d for ncols = surface_pressure.size() columns of nlev
// levels at once, each column bit-identical to its own delta_pressure_1d call,
// written to `dp` (nlev * ncols values, column after column). `pressure_lev`
// holds the columns one after the other (nlev * ncols values) or a single
// column shared by all (nlev values); `pressure_top`, when given, one top per
// column or a single one for all. Columns run as separate tasks on the worker
// pool, given up when `stop` asks (pool::Stopped is thrown then). Throws
// tamrix::Failure for lengths other than these.
void delta_pressure_columns(std::span<const double> pressure_lev,
                            std::span<const double> surface_pressure,
                            std::optional<std::span<const double>> pressure_top, std::size_t nlev,
                            std::span<double> dp, pool::StopCheck stop = {});

}  // namespace tamrix::meteorology
