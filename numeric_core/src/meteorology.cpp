#include "tamrix/meteorology.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>

#include "tamrix/failure.hpp"
#include "tamrix/parallel.hpp"

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

// One compiled copy for the single-column and the batched form (and for the
// calling thread and the pool alike), so that both give the same bits, NaN
// payloads included. Writes all n slots of dp.
TAMRIX_ONE_COMPILED_COPY void delta_pressure_column(std::span<const double> pressure_lev,
                                                    double surface_pressure,
                                                    std::optional<double> pressure_top,
                                                    double* dp) {
  if (pressure_lev.empty()) return;
  for (std::size_t i = 0; i < pressure_lev.size(); ++i) dp[i] = 0.0;

  const TopFirstColumn q(pressure_lev);
  const double ps = surface_pressure;
  const double top = pressure_top ? *pressure_top : smallest_level(q);
  const std::size_t g = lowest_level_above_ground(q, ps);
  if (g == 0) {
    dp[q.slot(0)] = ps - top;
    return;
  }
  dp[q.slot(0)] = (q[0] + q[1]) * 0.5 - top;
  for (std::size_t j = 1; j < g; ++j) dp[q.slot(j)] = (q[j + 1] - q[j - 1]) * 0.5;
  // ps minus the midpoint of levels g-1 and g, written as an addition of the
  // negated half-sum: the same value bit for bit.
  dp[q.slot(g)] = ps + (q[g] + q[g - 1]) * -0.5;
}

// Work of one column for the pool's small-work cut-off: a few passes over
// its levels.
Cost column_cost(std::size_t nlev) {
  std::size_t units = 0;
  if (__builtin_mul_overflow(nlev, std::size_t{4}, &units)) units = SIZE_MAX;
  return Cost{units == 0 ? 1 : units};
}

}  // namespace

DoubleBuffer delta_pressure_1d(std::span<const double> pressure_lev, double surface_pressure,
                               std::optional<double> pressure_top) {
  DoubleBuffer dp(pressure_lev.size());
  delta_pressure_column(pressure_lev, surface_pressure, pressure_top, dp.data());
  return dp;
}

void delta_pressure_columns(std::span<const double> pressure_lev,
                            std::span<const double> surface_pressure,
                            std::optional<std::span<const double>> pressure_top, std::size_t nlev,
                            std::span<double> dp, pool::StopCheck stop) {
  const std::size_t ncols = surface_pressure.size();
  // The binding checks these lengths; a caller that did not gets a failure,
  // never a read or a write past the end.
  if (dp.size() != checked_product(nlev, ncols)) fail_index_out_of_bounds(dp.size(), nlev * ncols);
  const bool shared_levels = pressure_lev.size() != dp.size();
  if (shared_levels && pressure_lev.size() != nlev) {
    fail_index_out_of_bounds(pressure_lev.size(), dp.size());
  }
  const bool shared_top = pressure_top && pressure_top->size() == 1;
  if (pressure_top && !shared_top && pressure_top->size() != ncols) {
    fail_index_out_of_bounds(pressure_top->size(), ncols);
  }
  const double* levels = pressure_lev.data();
  const double* surfaces = surface_pressure.data();
  const double* tops = pressure_top ? pressure_top->data() : nullptr;
  double* dst = dp.data();
  parallel_for(ncols, column_cost(nlev), stop, [=](std::size_t lo, std::size_t hi) {
    for (std::size_t j = lo; j < hi; ++j) {
      const std::span<const double> column(shared_levels ? levels : levels + j * nlev, nlev);
      const std::optional<double> top =
          tops == nullptr ? std::nullopt : std::optional<double>(tops[shared_top ? 0 : j]);
      delta_pressure_column(column, surfaces[j], top, dst + j * nlev);
    }
  });
}

}  // namespace tamrix::meteorology
