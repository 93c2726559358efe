// Column routines of the meteorology core that work on a whole vertical
// column at once rather than element by element.
#pragma once

#include <optional>
#include <span>

#include "tamrix/buffer.hpp"

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

}  // namespace tamrix::meteorology
