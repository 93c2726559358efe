#include "tamrix/interpolation.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <mutex>
#include <new>
#include <numeric>
#include <string>
#include <vector>

#include "tamrix/failure.hpp"
#include "tamrix/parallel.hpp"

namespace tamrix::interpolation {
namespace {

static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "counts are used as sizes");

// Pairs of levels closer than this are treated as one level: the lower-index
// value is returned instead of dividing by the tiny width.
constexpr double degenerate_width = 1e-30;

// Column offsets are formed in 128 bits: j * nlev_in may exceed 64 bits for
// absurd counts, and must then be reported, never wrapped.
using Wide = unsigned __int128;

std::string decimal(Wide value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  return digits;
}

// The stretch [start, end) of one column inside an array of `length`
// elements, or a failure naming the first bound that does not fit.
std::span<const double> column_stretch(std::span<const double> array, Wide start, Wide end) {
  const Wide length = array.size();
  if (start > length) {
    throw Failure("range start index " + decimal(start) + " out of range for slice of length " +
                  decimal(length));
  }
  if (end > length) {
    throw Failure("range end index " + decimal(end) + " out of range for slice of length " +
                  decimal(length));
  }
  return array.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

// Linear interpolation between levels i0 and i1 at coordinate g.
double interpolate_pair(std::span<const double> xp, std::span<const double> data, std::size_t i0,
                        std::size_t i1, double g) {
  const double x0 = xp[i0];
  const double x1 = xp[i1];
  const double d0 = data[i0];
  const double d1 = data[i1];
  const double width = x1 - x0;
  if (std::fabs(width) < degenerate_width) return d0;
  const double t = (g - x0) / width;
  return (d1 - d0) * t + d0;
}

// Every comparison is false with a NaN, so a NaN target passes the range test
// and takes the fallback level: the last one in an ascending column.
double interpolate_ascending(std::span<const double> xp, std::span<const double> data, double g) {
  const std::size_t n = xp.size();
  if (g < xp[0] || g > xp[n - 1]) return std::numeric_limits<double>::quiet_NaN();
  std::size_t i = n - 1;
  for (std::size_t level = 0; level < n; ++level) {
    if (xp[level] >= g) {
      i = level;
      break;
    }
  }
  return interpolate_pair(xp, data, i > 0 ? i - 1 : 0, i, g);
}

// As above; the fallback level of a descending column is level 0.
double interpolate_descending(std::span<const double> xp, std::span<const double> data, double g) {
  const std::size_t n = xp.size();
  if (g > xp[0] || g < xp[n - 1]) return std::numeric_limits<double>::quiet_NaN();
  std::size_t i = 0;
  for (std::size_t level = 0; level < n; ++level) {
    if (xp[level] <= g) {
      i = level;
      break;
    }
  }
  return interpolate_pair(xp, data, i > 0 ? i - 1 : 0, i, g);
}

// The targets in the order the monotonic sweep visits them: the non-NaN ones
// by ascending value, then the NaN ones. Made once, by the first column that
// takes the sweep, so that calls whose columns all scan from level 0 (and
// calls without columns) never sort or store anything per target.
class SweepOrder {
 public:
  explicit SweepOrder(std::span<const double> targets) : targets_(targets) {}

  // Null when there is no memory for the order: the scan from level 0 finds
  // the same levels, only more slowly.
  const SweepOrder* get() {
    std::call_once(once_, [this] { build(); });
    return ready_ ? this : nullptr;
  }
  std::span<const std::size_t> ascending() const { return {order_.data(), sorted_}; }
  std::span<const std::size_t> nan_targets() const { return {order_.data() + sorted_, nans_}; }

 private:
  void build() noexcept {
    try {
      order_.resize(targets_.size());
    } catch (const std::bad_alloc&) {
      return;
    }
    std::iota(order_.begin(), order_.end(), std::size_t{0});
    const auto first_nan = std::stable_partition(
        order_.begin(), order_.end(), [&](std::size_t k) { return !std::isnan(targets_[k]); });
    std::sort(order_.begin(), first_nan,
              [&](std::size_t a, std::size_t b) { return targets_[a] < targets_[b]; });
    sorted_ = static_cast<std::size_t>(first_nan - order_.begin());
    nans_ = order_.size() - sorted_;
    ready_ = true;
  }

  std::span<const double> targets_;
  std::once_flag once_;
  std::vector<std::size_t> order_;
  std::size_t sorted_ = 0;
  std::size_t nans_ = 0;
  bool ready_ = false;
};

struct Columns {
  std::span<const double> xp_flat;
  std::span<const double> data_flat;
  std::span<const double> new_levels;
  std::uint64_t nlev_in;
  SweepOrder* sweep;
};

// Whether every level is at least (or, descending, at most) the one before.
// False as soon as a NaN takes part.
bool monotonic(std::span<const double> xp, bool ascending) {
  // A single NaN level meets no comparison below, yet the sweep would search
  // past it for a level reaching the target.
  if (std::isnan(xp[0])) return false;
  for (std::size_t i = 1; i < xp.size(); ++i) {
    if (!(ascending ? xp[i - 1] <= xp[i] : xp[i - 1] >= xp[i])) return false;
  }
  return true;
}

// In a monotonic column the first level reaching a target moves only one way
// as the targets move the same way, so one sweep over the levels serves every
// target in sorted order: the same level the scan from level 0 finds, at a
// fraction of the cost. NaN targets take their fallback level as in the scan.
void interpolate_monotonic(const Columns& c, const SweepOrder& order, std::span<const double> xp,
                           std::span<const double> data, bool ascending, double* out) {
  const std::size_t n = xp.size();
  const auto targets = order.ascending();
  std::size_t i = 0;
  for (std::size_t t = 0; t < targets.size(); ++t) {
    const std::size_t k = ascending ? targets[t] : targets[targets.size() - 1 - t];
    const double g = c.new_levels[k];
    if (ascending ? (g < xp[0] || g > xp[n - 1]) : (g > xp[0] || g < xp[n - 1])) {
      out[k] = std::numeric_limits<double>::quiet_NaN();
      continue;
    }
    // In range, so some level qualifies and i stays below n.
    while (!(ascending ? xp[i] >= g : xp[i] <= g)) ++i;
    out[k] = interpolate_pair(xp, data, i > 0 ? i - 1 : 0, i, g);
  }
  for (const std::size_t k : order.nan_targets()) {
    const double g = c.new_levels[k];
    out[k] = ascending ? interpolate_ascending(xp, data, g) : interpolate_descending(xp, data, g);
  }
}

// One copy for the calling thread and the pool alike.
TAMRIX_ONE_COMPILED_COPY void interpolate_column(const Columns& c, std::size_t j, double* out) {
  const Wide start = static_cast<Wide>(j) * c.nlev_in;
  const Wide end = start + c.nlev_in;
  const std::span<const double> xp = column_stretch(c.xp_flat, start, end);
  const std::span<const double> data = column_stretch(c.data_flat, start, end);
  if (xp.empty()) fail_index_out_of_bounds(0, 0);

  // The direction comes from the two end levels alone.
  const bool ascending = xp[xp.size() - 1] >= xp[0];
  if (monotonic(xp, ascending)) {
    if (const SweepOrder* order = c.sweep->get()) {
      interpolate_monotonic(c, *order, xp, data, ascending, out);
      return;
    }
  }
  for (std::size_t k = 0; k < c.new_levels.size(); ++k) {
    const double g = c.new_levels[k];
    out[k] = ascending ? interpolate_ascending(xp, data, g) : interpolate_descending(xp, data, g);
  }
}

// Work of one column for the pool's small-work cut-off: a linear scan over
// the input levels for every target.
Cost column_cost(std::size_t nlev_out, std::uint64_t nlev_in) {
  std::size_t units = 0;
  const std::size_t levels = nlev_in == 0 ? 1 : static_cast<std::size_t>(nlev_in);
  if (__builtin_mul_overflow(nlev_out, levels, &units)) units = SIZE_MAX;
  return Cost{units};
}

}  // namespace

DoubleBuffer interpolate_columns(std::span<const double> xp_flat, std::span<const double> data_flat,
                                 std::span<const double> new_levels, std::uint64_t nlev_in,
                                 std::uint64_t ncols, pool::StopCheck stop) {
  const std::size_t nlev_out = new_levels.size();
  // Every element is written by exactly one column task, and a failed call
  // discards the vector, so it needs no initial fill.
  DoubleBuffer out(checked_product(nlev_out, ncols));
  if (nlev_out == 0) throw Failure("chunk_size must not be zero");

  SweepOrder sweep(new_levels);
  const Columns columns{xp_flat, data_flat, new_levels, nlev_in, &sweep};
  double* dst = out.data();
  parallel_for(ncols, column_cost(nlev_out, nlev_in), stop, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t j = lo; j < hi; ++j) interpolate_column(columns, j, dst + j * nlev_out);
  });
  return out;
}

}  // namespace tamrix::interpolation
