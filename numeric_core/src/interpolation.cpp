#include "tamrix/interpolation.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <mutex>
#include <new>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "tamrix/column_search.hpp"
#include "tamrix/failure.hpp"
#include "tamrix/lanes.hpp"
#include "tamrix/parallel.hpp"

namespace tamrix::interpolation {
namespace {

static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "counts are used as sizes");

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

// The target order, made lazily: built once, by the first column that takes
// the sweep, so that calls whose columns all scan
// from level 0 (and calls without columns) never sort or store anything per
// target.
class SweepOrder {
 public:
  explicit SweepOrder(std::span<const double> targets) : targets_(targets) {}

  // Null when there is no memory for the order: the scan from level 0 finds
  // the same levels, only more slowly.
  const TargetOrder* get() {
    std::call_once(once_, [this] {
      try {
        order_.emplace(targets_);
      } catch (const std::bad_alloc&) {
      }
    });
    return order_ ? &*order_ : nullptr;
  }

 private:
  std::span<const double> targets_;
  std::once_flag once_;
  std::optional<TargetOrder> order_;
};

struct Columns {
  std::span<const double> xp_flat;
  std::span<const double> data_flat;
  std::span<const double> new_levels;
  std::uint64_t nlev_in;
  SweepOrder* sweep;
};

// One copy for the calling thread and the pool alike.
TAMRIX_ONE_COMPILED_COPY void interpolate_column(const Columns& c, std::size_t j, double* out) {
  const Wide start = static_cast<Wide>(j) * c.nlev_in;
  const Wide end = start + c.nlev_in;
  const std::span<const double> xp = column_stretch(c.xp_flat, start, end);
  const std::span<const double> data = column_stretch(c.data_flat, start, end);
  if (xp.empty()) fail_index_out_of_bounds(0, 0);

  locate_targets(
      xp, c.new_levels, [&c] { return c.sweep->get(); },
      [&](std::size_t k, std::size_t upper) {
        if (upper == no_level) {
          out[k] = std::numeric_limits<double>::quiet_NaN();
          return;
        }
        const Pair pair = pair_at(xp, upper, c.new_levels[k]);
        out[k] = pair.copy ? data[pair.lower] : blend(data[pair.lower], data[pair.upper], pair.t);
      });
}

// Work of one column for the pool's small-work cut-off: a linear scan over
// the input levels for every target.
Cost column_cost(std::size_t nlev_out, std::uint64_t nlev_in) {
  std::size_t units = 0;
  const std::size_t levels = nlev_in == 0 ? 1 : static_cast<std::size_t>(nlev_in);
  if (__builtin_mul_overflow(nlev_out, levels, &units)) units = SIZE_MAX;
  return Cost{units};
}

// Whole vectors only; one instruction per operation for every element, so
// the loop is kept from being unrolled into copies that may order operands
// differently.
TAMRIX_ONE_COMPILED_COPY void blend_vectors(const double* d0, const double* d1, const double* t,
                                            double* out, std::size_t vectors) {
#pragma GCC unroll 1
  for (std::size_t i = 0; i < vectors * lane_count; i += lane_count) {
    const Lanes lower = load_lanes(d0 + i);
    store_lanes(out + i, (load_lanes(d1 + i) - lower) * load_lanes(t + i) + lower);
  }
}

}  // namespace

bool monotonic(std::span<const double> xp, bool ascending) {
  // A single NaN level meets no comparison below, yet the sweep would search
  // past it for a level reaching the target.
  if (std::isnan(xp[0])) return false;
  for (std::size_t i = 1; i < xp.size(); ++i) {
    if (!(ascending ? xp[i - 1] <= xp[i] : xp[i - 1] >= xp[i])) return false;
  }
  return true;
}

TargetOrder::TargetOrder(std::span<const double> targets) : order(targets.size()) {
  std::iota(order.begin(), order.end(), std::size_t{0});
  const auto first_nan = std::stable_partition(
      order.begin(), order.end(), [&](std::size_t k) { return !std::isnan(targets[k]); });
  std::sort(order.begin(), first_nan,
            [&](std::size_t a, std::size_t b) { return targets[a] < targets[b]; });
  sorted = static_cast<std::size_t>(first_nan - order.begin());
}

void blend_n(const double* d0, const double* d1, const double* t, double* out, std::size_t n) {
  const std::size_t whole = n / lane_count;
  blend_vectors(d0, d1, t, out, whole);
  const std::size_t done = whole * lane_count;
  if (done == n) return;
  double padded[3][lane_count] = {};
  double result[lane_count];
  for (std::size_t i = done; i < n; ++i) {
    padded[0][i - done] = d0[i];
    padded[1][i - done] = d1[i];
    padded[2][i - done] = t[i];
  }
  blend_vectors(padded[0], padded[1], padded[2], result, 1);
  for (std::size_t i = done; i < n; ++i) out[i] = result[i - done];
}

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
