#include "tamrix/meteorology.hpp"

#include <cstddef>
#include <limits>

namespace tamrix::meteorology {
namespace {

// The column seen top-first (increasing pressure) without copying it: a
// surface-first column is read back to front, and each thickness is written
// to the slot of the input level it belongs to.
class TopFirstColumn {
 public:
  explicit TopFirstColumn(std::span<const double> levels)
      : levels_(levels),
        // NaN at either end leaves the column as given.
        reversed_(levels.size() >= 2 && levels.front() > levels.back()) {}

  std::size_t size() const noexcept { return levels_.size(); }
  std::size_t slot(std::size_t i) const noexcept { return reversed_ ? size() - 1 - i : i; }
  double operator[](std::size_t i) const noexcept { return levels_[slot(i)]; }

 private:
  std::span<const double> levels_;
  bool reversed_;
};

// Running minimum from +inf: a NaN never replaces the running value, so NaN
// levels are skipped and an all-NaN column gives +inf.
double smallest_level(const TopFirstColumn& q) {
  double top = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < q.size(); ++i) {
    if (q[i] < top) top = q[i];
  }
  return top;
}

// The largest index whose level is at or above the ground (ps >= level), or 0
// when none is (also when ps is NaN).
std::size_t lowest_level_above_ground(const TopFirstColumn& q, double ps) {
  for (std::size_t i = q.size(); i-- > 0;) {
    if (ps >= q[i]) return i;
  }
  return 0;
}

}  // namespace

DoubleBuffer delta_pressure_1d(std::span<const double> pressure_lev, double surface_pressure,
                               std::optional<double> pressure_top) {
  DoubleBuffer dp(pressure_lev.size());
  if (pressure_lev.empty()) return dp;
  for (std::size_t i = 0; i < dp.size(); ++i) dp[i] = 0.0;

  const TopFirstColumn q(pressure_lev);
  const double ps = surface_pressure;
  const double top = pressure_top ? *pressure_top : smallest_level(q);
  const std::size_t g = lowest_level_above_ground(q, ps);
  if (g == 0) {
    dp[q.slot(0)] = ps - top;
    return dp;
  }
  dp[q.slot(0)] = (q[0] + q[1]) * 0.5 - top;
  for (std::size_t j = 1; j < g; ++j) dp[q.slot(j)] = (q[j + 1] - q[j - 1]) * 0.5;
  // ps minus the midpoint of levels g-1 and g, written as an addition of the
  // negated half-sum: the same value bit for bit.
  dp[q.slot(g)] = ps + (q[g] + q[g - 1]) * -0.5;
  return dp;
}

}  // namespace tamrix::meteorology
