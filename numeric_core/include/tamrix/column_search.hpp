// Where target levels fall in a column of coordinates, and the value there.
//
// Shared by interpolate_columns and the remap engine, so that both find the
// same pair of levels and the same weight for a target, and blend the pair's
// values in the same compiled code: the engine's results are those of
// interpolate_columns bit for bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

namespace tamrix::interpolation {

// Pairs of levels closer than this are treated as one level: the lower-index
// value is returned instead of dividing by the tiny width.
inline constexpr double degenerate_width = 1e-30;

// A column's direction comes from its two end levels alone: ascending when
// the last is >= the first (so a NaN at either end makes it descending).
inline bool is_ascending(std::span<const double> xp) { return xp[xp.size() - 1] >= xp[0]; }

// Whether g lies beyond the column's end levels. Every comparison is false
// with a NaN, so a NaN target is never outside.
inline bool outside(std::span<const double> xp, bool ascending, double g) {
  const double first = xp[0];
  const double last = xp[xp.size() - 1];
  return ascending ? (g < first || g > last) : (g > first || g < last);
}

// Whether a level at coordinate x is at or beyond g in the column's direction.
inline bool reaches(double x, bool ascending, double g) { return ascending ? x >= g : x <= g; }

// The first level, counted from level 0, that reaches g; when none does (a
// NaN target), the last level of an ascending column, level 0 of a
// descending one.
inline std::size_t first_reaching(std::span<const double> xp, bool ascending, double g) {
  // One loop per direction, so that neither tests the direction per level.
  if (ascending) {
    for (std::size_t level = 0; level < xp.size(); ++level) {
      if (xp[level] >= g) return level;
    }
    return xp.size() - 1;
  }
  for (std::size_t level = 0; level < xp.size(); ++level) {
    if (xp[level] <= g) return level;
  }
  return 0;
}

// Whether every level is at least (or, descending, at most) the one before.
// False as soon as a NaN takes part.
bool monotonic(std::span<const double> xp, bool ascending);

// The targets in the order a monotonic sweep visits them: the non-NaN ones by
// ascending value, then the NaN ones.
struct TargetOrder {
  std::vector<std::size_t> order;
  std::size_t sorted = 0;  // order[0, sorted) are the non-NaN targets

  // Throws std::bad_alloc when there is no memory for it.
  explicit TargetOrder(std::span<const double> targets);
  std::span<const std::size_t> ascending() const { return {order.data(), sorted}; }
  std::span<const std::size_t> nan_targets() const {
    return {order.data() + sorted, order.size() - sorted};
  }
};

inline constexpr std::size_t no_level = std::numeric_limits<std::size_t>::max();

// Calls found(k, upper) for every target k of the column, with the upper
// level of its bracketing pair (the level first_reaching finds), or with
// no_level when the target lies outside the column. A monotonic column is
// swept once for all targets in the order `order_of()` gives: as the targets
// grow, the first level reaching them moves only one way, so the sweep finds
// the same levels as a scan from level 0 for each, at a fraction of the cost.
// Other columns, and all when there is no order (null), scan from level 0
// for each target.
template <class OrderOf, class Found>
void locate_targets(std::span<const double> xp, std::span<const double> targets, OrderOf&& order_of,
                    Found&& found) {
  const bool ascending = is_ascending(xp);
  const TargetOrder* order = monotonic(xp, ascending) ? order_of() : nullptr;
  if (order == nullptr) {
    for (std::size_t k = 0; k < targets.size(); ++k) {
      const double g = targets[k];
      found(k, outside(xp, ascending, g) ? no_level : first_reaching(xp, ascending, g));
    }
    return;
  }
  const auto sorted = order->ascending();
  std::size_t i = 0;
  for (std::size_t t = 0; t < sorted.size(); ++t) {
    const std::size_t k = ascending ? sorted[t] : sorted[sorted.size() - 1 - t];
    const double g = targets[k];
    if (outside(xp, ascending, g)) {
      found(k, no_level);
      continue;
    }
    // In range, so some level qualifies and i stays below the level count.
    while (!reaches(xp[i], ascending, g)) ++i;
    found(k, i);
  }
  for (const std::size_t k : order->nan_targets()) {
    found(k, first_reaching(xp, ascending, targets[k]));
  }
}

// A target's place between the two levels of its pair: the fraction t of the
// way from the lower-index level to the upper one, or, for a pair narrower
// than degenerate_width, a copy of the lower-index level's value.
struct Pair {
  std::size_t lower;
  std::size_t upper;
  double t;
  bool copy;
};

// The pair (lower, upper) whose levels lie at x0 and x1, for target g.
inline Pair pair_of(std::size_t lower, std::size_t upper, double x0, double x1, double g) {
  const double width = x1 - x0;
  if (std::fabs(width) < degenerate_width) return {lower, upper, 0.0, true};
  return {lower, upper, (g - x0) / width, false};
}

inline std::size_t lower_level(std::size_t upper) { return upper > 0 ? upper - 1 : 0; }

inline Pair pair_at(std::span<const double> xp, std::size_t upper, double g) {
  const std::size_t lower = lower_level(upper);
  return pair_of(lower, upper, xp[lower], xp[upper], g);
}

// out[i] = (d1[i] - d0[i]) * t[i] + d0[i], in that order, for i < n (the
// arrays may not overlap out), through one compiled copy, a vector of two at
// a time (the last one padded): when two different NaNs meet in the product
// or the sum, the one that survives depends on the operand order a compiled
// copy uses.
void blend_n(const double* d0, const double* d1, const double* t, double* out, std::size_t n);

// The same for one blend. Without a NaN among the three values every
// compiled copy gives the same bits (an invalid operation makes the one
// default NaN), and with one the result is NaN: only a NaN result needs the
// shared copy.
inline double blend(double d0, double d1, double t) {
  const double inline_result = (d1 - d0) * t + d0;
  if (!std::isnan(inline_result)) return inline_result;
  double out;
  blend_n(&d0, &d1, &t, &out, 1);
  return out;
}

}  // namespace tamrix::interpolation
