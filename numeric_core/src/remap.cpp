#include "tamrix/remap.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "tamrix/batched.hpp"
#include "tamrix/column_search.hpp"
#include "tamrix/failure.hpp"
#include "tamrix/hybrid.hpp"
#include "tamrix/lanes.hpp"
#include "tamrix/libm.hpp"
#include "tamrix/parallel.hpp"

namespace tamrix::remap {
namespace {

namespace ip = tamrix::interpolation;

// A chunk's table of level pressures stays within about this many doubles,
// so that it is still in cache when the variables are read.
constexpr std::size_t table_doubles = 16384;
constexpr std::size_t min_chunk_columns = 16;
constexpr std::size_t max_chunk_columns = 1024;

constexpr double missing_value = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint32_t no_level = std::numeric_limits<std::uint32_t>::max();

// Two positive pressures that differ by more than this relative step compare
// in ln p as they do in p: the C library's log is within an ulp of the true
// value, at most 2^-43 for any finite result, and such a step moves the true
// logarithm by more than 1e-12 - 2^-42. Only closer pressures need their
// logarithms compared.
constexpr double clear_step = 1e-12;

double value_at(const Field& field, std::size_t i) {
  return field.single ? static_cast<const float*>(field.data)[i]
                      : static_cast<const double*>(field.data)[i];
}

double log_of(double p) {
  double x;
  libm::log_n(&p, &x, 1);
  return x;
}

// An output element of a chunk that is not its pair's blend: the lower
// level's value, or NaN. (Targets below ground are listed in Below.)
struct Exception {
  std::uint32_t target;
  std::uint32_t column;
  bool copy;  // else missing
};

// One chunk: `width` adjacent columns starting at column `first` of slab
// `slab`.
struct Chunk {
  std::size_t slab;
  std::size_t first;
  std::size_t width;
};

// What every chunk shares: the block, its shape and the targets as the
// interpolation sees them.
struct Plan {
  const Block& block;
  std::size_t levels;
  std::size_t columns;  // per chunk, at most
  std::size_t chunks_per_slab;
  std::vector<double> g;  // the targets, or their logarithms
  ip::TargetOrder order;
  // With ln p and targets of finite positive pressure, the levels of a
  // clearly monotonic column are compared with a target by pressure, and
  // only the levels of its pair (and any level within clear_step of it)
  // take a logarithm.
  bool few_logs;
  std::vector<double> clearly_below, clearly_above;  // per target, in p
  // Finite non-negative coefficients and p0 (as hybrid levels have): each
  // level's pressure is then affine in ps with non-negative parts.
  bool nonnegative_coefficients;

  explicit Plan(const Block& b)
      : block(b),
        levels(b.hya.size()),
        columns(columns_per_chunk(levels, b.targets.size())),
        chunks_per_slab((b.inner + columns - 1) / columns),
        g(interpolation_targets(b)),
        order(g),
        few_logs(b.log && std::all_of(b.targets.begin(), b.targets.end(),
                                      [](double target) {
                                        return target > 0.0 &&
                                               target < std::numeric_limits<double>::infinity();
                                      })),
        nonnegative_coefficients(finite_nonnegative(b.hya) && finite_nonnegative(b.hyb) &&
                                 finite_nonnegative({&b.p0, 1})) {
    for (const double target : b.targets) {
      clearly_below.push_back(target * (1.0 - clear_step));
      clearly_above.push_back(target * (1.0 + clear_step));
    }
  }

  Chunk chunk(std::size_t q) const {
    const std::size_t first = (q % chunks_per_slab) * columns;
    return {q / chunks_per_slab, first, std::min(columns, block.inner - first)};
  }

  static bool finite_nonnegative(std::span<const double> values) {
    return std::all_of(values.begin(), values.end(), [](double v) {
      return v >= 0.0 && v < std::numeric_limits<double>::infinity();
    });
  }

  static std::size_t columns_per_chunk(std::size_t levels, std::size_t targets) {
    const std::size_t widest = std::max({levels, targets, std::size_t{1}});
    return std::clamp(table_doubles / widest, min_chunk_columns, max_chunk_columns);
  }

  static std::vector<double> interpolation_targets(const Block& b) {
    std::vector<double> g(b.targets.begin(), b.targets.end());
    if (b.log) libm::log_n(g.data(), g.data(), g.size());
    return g;
  }
};

// The targets of a chunk below their column's lowest model level, one entry
// each, with the inputs of the extrapolation kernels.
struct Below {
  std::vector<std::uint32_t> target, column;
  std::vector<double> lev, p_sfc, ps, phi_sfc, t_bot, result, height;
  std::size_t count = 0;
  bool height_done = false;

  void resize(std::size_t n) {
    for (auto* v : {&lev, &p_sfc, &ps, &phi_sfc, &t_bot, &result, &height}) v->resize(n);
    target.resize(n);
    column.resize(n);
  }
};

// Pairs whose weight waits for the logarithms of their two levels, taken for
// the whole chunk at once.
struct Pending {
  std::vector<std::uint32_t> target, column;
  std::vector<double> x;  // the pressures of each pair's levels, then their logarithms
  std::size_t count = 0;
};

// The working tables of one task, reused for each of its chunks.
struct Scratch {
  std::vector<double> ps, phi_sfc, t_bot;  // per column
  std::vector<double> p;                   // column after column, `levels` each
  std::vector<double> x;                   // one column's logarithms
  std::vector<std::uint32_t> lowest;       // per column: level of largest pressure
  std::vector<double> p_lowest;            // and its pressure
  // A clearly monotonic chunk's pairs: their levels' pressures, then their
  // coordinates, laid out as the weights.
  std::vector<double> x0, x1;
  // Every target's pair and weight, target after target, `columns` each; an
  // element that is not a blend has a pair of level 0 and weight 0, and is
  // listed among the exceptions or the targets below ground.
  std::vector<std::uint32_t> lower, upper;
  std::vector<double> weight;
  std::vector<Exception> exceptions;
  // One row's pairs of values, and their blends.
  std::vector<double> d0, d1, blended;
  std::vector<std::size_t> guess;  // per target: its upper level in the last column
  Below below;
  Pending pending;

  explicit Scratch(const Plan& plan) {
    const std::size_t n = plan.columns;
    const std::size_t targets = plan.block.targets.size();
    for (auto* v : {&ps, &phi_sfc, &t_bot}) v->resize(n);
    p.resize(n * plan.levels);
    x.resize(plan.levels);
    lowest.resize(n);
    p_lowest.resize(n);
    for (auto* v : {&x0, &x1}) v->resize(n * targets);
    for (auto* v : {&lower, &upper}) v->resize(n * targets);
    weight.resize(n * targets);
    exceptions.reserve(n * targets);
    for (auto* v : {&d0, &d1, &blended}) v->resize(n);
    guess.resize(targets);
    if (plan.block.extrapolate) below.resize(n * targets);
    if (plan.few_logs) {
      pending.target.resize(n * targets);
      pending.column.resize(n * targets);
      pending.x.resize(2 * n * targets);
    }
  }
};

// The tables of a call, lent to its tasks: a worker takes a call's chunks a
// few at a time, and each task needs tables of its own, but no more sets of
// them exist than tasks run at once.
class ScratchShelf {
 public:
  explicit ScratchShelf(const Plan& plan) : plan_(plan) {}

  std::unique_ptr<Scratch> take() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!free_.empty()) {
        std::unique_ptr<Scratch> scratch = std::move(free_.back());
        free_.pop_back();
        return scratch;
      }
    }
    return std::make_unique<Scratch>(plan_);
  }

  void put_back(std::unique_ptr<Scratch> scratch) {
    const std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(std::move(scratch));
  }

 private:
  const Plan& plan_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Scratch>> free_;
};

// The level of largest pressure (the first of equals; NaN levels never
// count), or no_level when every level is NaN.
std::uint32_t lowest_level(const double* p, std::size_t levels) {
  std::uint32_t best = no_level;
  for (std::size_t k = 0; k < levels; ++k) {
    if (best == no_level ? !std::isnan(p[k]) : p[k] > p[best]) best = static_cast<std::uint32_t>(k);
  }
  return best;
}

// Whether p[k] > p[k - 1] * step for every level (or <, descending), false
// on a NaN. Two levels at a time without an early exit.
template <bool Ascending>
bool steps_clear(const double* p, std::size_t levels, double step) {
  const auto beyond = [](auto next, auto before) {
    if constexpr (Ascending) {
      return next > before;
    } else {
      return next < before;
    }
  };
  std::size_t k = 1;
  auto all = beyond(splat<Lanes>(1.0), splat<Lanes>(Ascending ? 0.0 : 2.0));
  for (; k + lane_count <= levels; k += lane_count) {
    all &= beyond(load_lanes(p + k), load_lanes(p + k - 1) * step);
  }
  bool clear = true;
  for (std::size_t lane = 0; lane < lane_count; ++lane) clear = clear && all[lane] != 0;
  for (; k < levels; ++k) clear = clear && beyond(p[k], p[k - 1] * step);
  return clear;
}

// Whether every pressure is finite and positive and each level lies beyond
// the one before by more than clear_step, all the same way: then the
// logarithms are strictly monotonic the same way too.
bool clearly_monotonic(const double* p, std::size_t levels, bool& ascending) {
  constexpr double infinity = std::numeric_limits<double>::infinity();
  ascending = levels < 2 || p[levels - 1] > p[0];
  // Each step beyond the one before keeps the sign and finiteness of the
  // end it starts from (and fails on a NaN), so the ends decide those.
  const double top = ascending ? p[0] : p[levels - 1];
  const double bottom = ascending ? p[levels - 1] : p[0];
  if (!(top > 0.0 && bottom < infinity)) return false;
  return ascending ? steps_clear<true>(p, levels, 1.0 + clear_step)
                   : steps_clear<false>(p, levels, 1.0 - clear_step);
}

// The surface fields of the chunk's columns.
void load_surface(const Plan& plan, const Chunk& chunk, Scratch& s) {
  const Block& b = plan.block;
  const std::size_t base = chunk.slab * b.inner + chunk.first;
  for (std::size_t c = 0; c < chunk.width; ++c) {
    s.ps[c] = value_at(b.ps, base + c);
    if (b.extrapolate && b.phi_sfc.data != nullptr) s.phi_sfc[c] = value_at(b.phi_sfc, base + c);
    if (b.extrapolate && b.t_bot.data != nullptr) s.t_bot[c] = value_at(b.t_bot, base + c);
  }
}

// A column's level pressures, each computed when asked, as the table has it.
struct HybridPressures {
  const Block& b;
  double ps;
  double operator[](std::size_t k) const {
    return hybrid::pressure_at_level(b.hya[k], b.hyb[k], ps, b.p0);
  }
};

// The table of level pressures, column after column.
void pressure_table(const Plan& plan, const Chunk& chunk, Scratch& s) {
  for (std::size_t c = 0; c < chunk.width; ++c) {
    double* p = s.p.data() + c * plan.levels;
    const HybridPressures level{plan.block, s.ps[c]};
    for (std::size_t k = 0; k < plan.levels; ++k) p[k] = level[k];
  }
}

// Whether the level pressures of every column with a surface pressure in
// [low, high] are clearly monotonic (see clearly_monotonic), all the same
// way. Each level's pressure is affine in ps with non-negative parts, so
// steps of more than 3 clear_step at both ends leave more than clear_step
// (rounding included) at every surface pressure between them.
bool clearly_monotonic_between(const Plan& plan, double low, double high, bool& ascending) {
  if (!plan.nonnegative_coefficients || !(low >= 0.0) ||
      !(high < std::numeric_limits<double>::infinity())) {
    return false;
  }
  const HybridPressures at_low{plan.block, low};
  const HybridPressures at_high{plan.block, high};
  const std::size_t n = plan.levels;
  ascending = n < 2 || at_low[n - 1] > at_low[0];
  if (!(at_low[ascending ? 0 : n - 1] > 0.0 && at_high[ascending ? 0 : n - 1] > 0.0)) {
    return false;
  }
  const double step = ascending ? 1.0 + 3 * clear_step : 1.0 - 3 * clear_step;
  for (std::size_t k = 1; k < n; ++k) {
    const bool clear = ascending
                           ? at_low[k] > at_low[k - 1] * step && at_high[k] > at_high[k - 1] * step
                           : at_low[k] < at_low[k - 1] * step && at_high[k] < at_high[k - 1] * step;
    if (!clear) return false;
  }
  return true;
}

// The same for a chunk, from its least and greatest surface pressure.
bool chunk_clearly_monotonic(const Plan& plan, const Chunk& chunk, const Scratch& s,
                             bool& ascending) {
  double low = std::numeric_limits<double>::infinity();
  double high = -low;
  for (std::size_t c = 0; c < chunk.width; ++c) {
    if (std::isnan(s.ps[c])) return false;
    low = std::min(low, s.ps[c]);
    high = std::max(high, s.ps[c]);
  }
  return clearly_monotonic_between(plan, low, high, ascending);
}

// In a monotonic column, the upper level of target k's pair as
// ip::locate_targets finds it (ip::no_level outside the column), from
// `compare(i, k)`, the sign of (level i's coordinate - the target's), and a
// level `start` to search from. In a monotonic column the levels reaching a
// target are all those from the first one on, so the first is found by
// walking from any level; neighbouring columns have nearly the same levels,
// so the walk is short from where the last column had it. A first level
// reaching the target past level 0 puts the target inside the column; level
// 0 does only when it lies on the target.
template <class Compare>
std::size_t walk_to_target(std::size_t n, bool ascending, std::size_t k, std::size_t start,
                           double g, Compare&& compare) {
  if (std::isnan(g)) return ascending ? n - 1 : 0;  // reaches no level: the fallback
  const auto reaches = [&](std::size_t i) {
    const int sign = compare(i, k);
    return ascending ? sign >= 0 : sign <= 0;
  };
  std::size_t i = std::min(start, n - 1);
  if (reaches(i)) {
    while (i > 0 && reaches(i - 1)) --i;
    return i == 0 && compare(0, k) != 0 ? ip::no_level : i;
  }
  while (i + 1 < n && !reaches(i + 1)) ++i;
  return i + 1 == n ? ip::no_level : i + 1;  // no level reaching the target: beyond the column
}

// found(k, upper) for every target of a monotonic column (see
// walk_to_target), each walk starting where the last one for that target
// ended.
template <class Compare, class Found>
void walk_targets(const Plan& plan, bool ascending, std::vector<std::size_t>& guess,
                  Compare&& compare, Found&& found) {
  for (std::size_t k = 0; k < plan.g.size(); ++k) {
    const std::size_t upper =
        walk_to_target(plan.levels, ascending, k, guess[k], plan.g[k], compare);
    if (upper != ip::no_level) guess[k] = upper;
    found(k, upper);
  }
}

int sign_of_difference(double a, double b) { return (a > b) - (a < b); }

// Lists target k of column c to be extrapolated from the lowest level.
void list_below(Scratch& s, std::size_t k, std::size_t c, double target, double p_lowest) {
  Below& below = s.below;
  const std::size_t e = below.count++;
  below.target[e] = static_cast<std::uint32_t>(k);
  below.column[e] = static_cast<std::uint32_t>(c);
  below.lev[e] = target;
  below.p_sfc[e] = p_lowest;
  below.ps[e] = s.ps[c];
  below.phi_sfc[e] = s.phi_sfc[c];
}

// compare(i, k) for walk_to_target on a monotonic column with level
// pressures p (clearly monotonic, in ln p): a level is compared with a
// target by pressure, and in ln p by its logarithm only when the two
// pressures lie within clear_step of each other.
template <class Pressures>
auto level_comparison(const Plan& plan, const Pressures& p) {
  return [&plan, &p](std::size_t i, std::size_t k) {
    const double pressure = p[i];
    if (!plan.block.log) return sign_of_difference(pressure, plan.g[k]);
    const int clear = (pressure > plan.clearly_above[k]) - (pressure < plan.clearly_below[k]);
    return clear != 0 ? clear : sign_of_difference(log_of(pressure), plan.g[k]);
  };
}

// The weights of every target in one column of the chunk's table of
// pressures (and the column's entries in the chunk's lists of exceptions, of
// targets to extrapolate and of pairs waiting for logarithms).
class ColumnWeights {
 public:
  // `lowest`: the level of largest pressure, when extrapolating.
  ColumnWeights(const Plan& plan, Scratch& s, std::size_t c, const double* p, std::uint32_t lowest)
      : plan_(plan),
        s_(s),
        c_(c),
        p_(p),
        p_lowest_(lowest == no_level ? missing_value : p[lowest]) {
    s.lowest[c] = lowest;
  }

  // For a column whose level pressures are monotonic (clearly, in ln p):
  // levels compared with each target by pressure. In ln p the pairs'
  // weights wait until the chunk's logarithms of pair levels are taken
  // (settle_pending).
  void by_pressure(bool ascending) {
    walk_targets(plan_, ascending, s_.guess, level_comparison(plan_, p_),
                 [&](std::size_t k, std::size_t upper) {
                   if (below_ground(k) || outside(k, upper)) return;
                   const std::size_t lower = ip::lower_level(upper);
                   if (!plan_.block.log) {
                     return weigh(k, ip::pair_of(lower, upper, p_[lower], p_[upper], plan_.g[k]));
                   }
                   set(k, lower, upper, 0.0);
                   Pending& pending = s_.pending;
                   const std::size_t e = pending.count++;
                   pending.target[e] = static_cast<std::uint32_t>(k);
                   pending.column[e] = static_cast<std::uint32_t>(c_);
                   pending.x[2 * e] = p_[lower];
                   pending.x[2 * e + 1] = p_[upper];
                 });
  }

  // For any column: the search in its own coordinates xp (its pressures, or
  // their logarithms), from level 0 or by the sweep.
  void in_coordinates(std::span<const double> xp) {
    ip::locate_targets(
        xp, plan_.g, [this] { return &plan_.order; },
        [&](std::size_t k, std::size_t upper) {
          if (below_ground(k) || outside(k, upper)) return;
          weigh(k, ip::pair_at(xp, upper, plan_.g[k]));
        });
  }

 private:
  // Whether target k is extrapolated (then listed for it).
  bool below_ground(std::size_t k) {
    const double target = plan_.block.targets[k];
    if (!(target > p_lowest_)) return false;
    set(k, 0, 0, 0.0);
    list_below(s_, k, c_, target, p_lowest_);
    return true;
  }

  bool outside(std::size_t k, std::size_t upper) {
    if (upper != ip::no_level) return false;
    set(k, 0, 0, 0.0);
    mark_exception(k, false);
    return true;
  }

  void weigh(std::size_t k, const ip::Pair& pair) {
    set(k, pair.lower, pair.upper, pair.t);
    if (pair.copy) mark_exception(k, true);
  }

  void set(std::size_t k, std::size_t lower, std::size_t upper, double t) {
    const std::size_t slot = k * plan_.columns + c_;
    s_.lower[slot] = static_cast<std::uint32_t>(lower);
    s_.upper[slot] = static_cast<std::uint32_t>(upper);
    s_.weight[slot] = t;
  }

  void mark_exception(std::size_t k, bool copy) {
    s_.exceptions.push_back({static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(c_), copy});
  }

  const Plan& plan_;
  Scratch& s_;
  std::size_t c_;
  const double* p_;
  double p_lowest_;
};

// The weights of the pairs left by ColumnWeights::by_pressure, from the
// logarithms of their levels, taken for the whole chunk at once.
void settle_pending(const Plan& plan, Scratch& s) {
  Pending& pending = s.pending;
  if (pending.count == 0) return;
  libm::log_n(pending.x.data(), pending.x.data(), 2 * pending.count);
  for (std::size_t e = 0; e < pending.count; ++e) {
    const std::size_t k = pending.target[e];
    const std::size_t slot = k * plan.columns + pending.column[e];
    const ip::Pair pair = ip::pair_of(s.lower[slot], s.upper[slot], pending.x[2 * e],
                                      pending.x[2 * e + 1], plan.g[k]);
    s.weight[slot] = pair.t;
    if (pair.copy) s.exceptions.push_back({pending.target[e], pending.column[e], true});
  }
}

// The weights of a chunk whose columns are all clearly monotonic the same way
// (chunk_clearly_monotonic), target by target across the columns: the pair a
// target had in the last columns is checked in every column at once (two
// pressures each, certain by the margin rule in ln p), and only a column
// where it does not hold walks to its own. The pairs' logarithms are then
// taken all together.
void clear_chunk_weights(const Plan& plan, const Chunk& chunk, Scratch& s, bool ascending) {
  const Block& b = plan.block;
  const std::size_t n = plan.levels;
  const std::size_t width = chunk.width;
  const std::uint32_t bottom = static_cast<std::uint32_t>(ascending ? n - 1 : 0);
  for (std::size_t c = 0; c < width; ++c) {
    s.lowest[c] = b.extrapolate ? bottom : no_level;
    s.p_lowest[c] = b.extrapolate ? HybridPressures{b, s.ps[c]}[bottom] : missing_value;
  }
  for (std::size_t k = 0; k < b.targets.size(); ++k) {
    const double target = b.targets[k];
    const std::size_t u = std::clamp<std::size_t>(s.guess[k], 1, n - 1);
    const std::size_t first = k * plan.columns;
    double* x0 = s.x0.data() + first;
    double* x1 = s.x1.data() + first;
    const double fixed0 = b.hya[u - 1] * b.p0;  // pressure_at_level's products
    const double fixed1 = b.hya[u] * b.p0;
    for (std::size_t c = 0; c < width; ++c) {
      x0[c] = b.hyb[u - 1] * s.ps[c] + fixed0;
      x1[c] = b.hyb[u] * s.ps[c] + fixed1;
    }
    const double low = b.log ? plan.clearly_below[k] : target;
    const double high = b.log ? plan.clearly_above[k] : target;
    for (std::size_t c = 0; c < width; ++c) {
      const std::size_t slot = first + c;
      if (target > s.p_lowest[c]) {
        list_below(s, k, c, target, s.p_lowest[c]);
      } else if (ascending ? x1[c] >= high && x0[c] < low : x1[c] <= low && x0[c] > high) {
        s.lower[slot] = static_cast<std::uint32_t>(u - 1);
        s.upper[slot] = static_cast<std::uint32_t>(u);
        continue;
      } else {
        const HybridPressures p{b, s.ps[c]};
        const std::size_t upper =
            walk_to_target(n, ascending, k, u, plan.g[k], level_comparison(plan, p));
        if (upper != ip::no_level) {
          s.guess[k] = upper;
          const std::size_t lower = ip::lower_level(upper);
          s.lower[slot] = static_cast<std::uint32_t>(lower);
          s.upper[slot] = static_cast<std::uint32_t>(upper);
          x0[c] = p[lower];
          x1[c] = p[upper];
          continue;
        }
        s.exceptions.push_back(
            {static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(c), false});
      }
      // Extrapolated or NaN: no pair (a NaN weight, which is never used).
      s.lower[slot] = s.upper[slot] = 0;
      x0[c] = x1[c] = missing_value;
    }
    if (b.log) {
      libm::log_n(x0, x0, width);
      libm::log_n(x1, x1, width);
    }
    for (std::size_t c = 0; c < width; ++c) {
      const std::size_t slot = first + c;
      const ip::Pair pair = ip::pair_of(s.lower[slot], s.upper[slot], x0[c], x1[c], plan.g[k]);
      s.weight[slot] = pair.t;
      if (pair.copy) {
        s.exceptions.push_back(
            {static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(c), true});
      }
    }
  }
}

// One column of the chunk's table of pressures, in whichever way finds its
// weights fastest.
void table_column(const Plan& plan, Scratch& s, std::size_t c) {
  const std::size_t n = plan.levels;
  const double* p = s.p.data() + c * n;
  const std::uint32_t lowest = plan.block.extrapolate ? lowest_level(p, n) : no_level;
  ColumnWeights weights(plan, s, c, p, lowest);
  bool ascending = ip::is_ascending({p, n});
  if (!plan.block.log) {
    if (ip::monotonic({p, n}, ascending)) return weights.by_pressure(ascending);
    return weights.in_coordinates({p, n});
  }
  if (plan.few_logs && clearly_monotonic(p, n, ascending)) return weights.by_pressure(ascending);
  libm::log_n(p, s.x.data(), n);
  weights.in_coordinates({s.x.data(), n});
}

// Bracketing levels and weights of every target in every column of the
// chunk, and the lists of exceptions and of targets to extrapolate. A chunk
// of clearly monotonic columns, as hybrid levels give, needs no table of
// pressures; any other has its columns searched one by one.
void column_weights(const Plan& plan, const Chunk& chunk, Scratch& s) {
  s.below.count = 0;
  s.below.height_done = false;
  s.pending.count = 0;
  s.exceptions.clear();
  load_surface(plan, chunk, s);
  bool ascending = true;
  if (plan.levels >= 2 && (plan.few_logs || !plan.block.log) &&
      chunk_clearly_monotonic(plan, chunk, s, ascending)) {
    clear_chunk_weights(plan, chunk, s, ascending);
  } else {
    pressure_table(plan, chunk, s);
    for (std::size_t c = 0; c < chunk.width; ++c) table_column(plan, s, c);
  }
  settle_pending(plan, s);
}

// One variable of the chunk: `in` and `out` point at the chunk's first
// column in its slab; rows are `inner` apart.
template <class In, class Out>
void interpolate_variable(const Plan& plan, const Chunk& chunk, Scratch& s, const In* in,
                          Out* out) {
  const std::size_t inner = plan.block.inner;
  for (std::size_t k = 0; k < plan.block.targets.size(); ++k) {
    const std::size_t first = k * plan.columns;
    const std::uint32_t* lower = s.lower.data() + first;
    const std::uint32_t* upper = s.upper.data() + first;
    for (std::size_t c = 0; c < chunk.width; ++c) {
      s.d0[c] = in[lower[c] * inner + c];
      s.d1[c] = in[upper[c] * inner + c];
    }
    ip::blend_n(s.d0.data(), s.d1.data(), s.weight.data() + first, s.blended.data(), chunk.width);
    Out* row = out + k * inner;
    for (std::size_t c = 0; c < chunk.width; ++c) row[c] = static_cast<Out>(s.blended[c]);
  }
  for (const Exception& e : s.exceptions) {
    const std::size_t slot = e.target * plan.columns + e.column;
    const double value =
        e.copy ? static_cast<double>(in[s.lower[slot] * inner + e.column]) : missing_value;
    out[e.target * inner + e.column] = static_cast<Out>(value);
  }
}

// The chunk's targets below ground for one variable.
template <class In, class Out>
void extrapolate_variable(const Plan& plan, const Scratch& s, Below& below, Kind kind, const In* in,
                          Out* out) {
  const std::size_t inner = plan.block.inner;
  const std::size_t n = below.count;
  const auto lowest_value = [&](std::size_t e) {
    const std::size_t c = below.column[e];
    return static_cast<double>(in[s.lowest[c] * inner + c]);
  };
  const double* values = below.result.data();
  switch (kind) {
    case Kind::plain:
      for (std::size_t e = 0; e < n; ++e) below.result[e] = lowest_value(e);
      break;
    case Kind::temperature:
      for (std::size_t e = 0; e < n; ++e) below.t_bot[e] = lowest_value(e);
      batched::temp_extrapolate_levels(below.t_bot.data(), below.lev.data(), below.p_sfc.data(),
                                       below.ps.data(), below.phi_sfc.data(), below.result.data(),
                                       n);
      break;
    case Kind::geopotential:
      // The same for every geopotential variable of the chunk.
      if (!below.height_done) {
        for (std::size_t e = 0; e < n; ++e) below.t_bot[e] = s.t_bot[below.column[e]];
        batched::geo_height_extrapolate_levels(below.t_bot.data(), below.lev.data(),
                                               below.p_sfc.data(), below.ps.data(),
                                               below.phi_sfc.data(), below.height.data(), n);
        below.height_done = true;
      }
      values = below.height.data();
      break;
  }
  for (std::size_t e = 0; e < n; ++e) {
    out[below.target[e] * inner + below.column[e]] = static_cast<Out>(values[e]);
  }
}

template <class In, class Out>
void remap_variable(const Plan& plan, const Chunk& chunk, Scratch& s, const Variable& v) {
  const Block& b = plan.block;
  const In* in =
      static_cast<const In*>(v.in.data) + chunk.slab * plan.levels * b.inner + chunk.first;
  Out* out = static_cast<Out*>(v.out.data) + chunk.slab * b.targets.size() * b.inner + chunk.first;
  interpolate_variable(plan, chunk, s, in, out);
  if (s.below.count > 0) extrapolate_variable(plan, s, s.below, v.kind, in, out);
}

void remap_variable(const Plan& plan, const Chunk& chunk, Scratch& s, const Variable& v) {
  if (v.in.single) {
    v.out.single ? remap_variable<float, float>(plan, chunk, s, v)
                 : remap_variable<float, double>(plan, chunk, s, v);
  } else {
    v.out.single ? remap_variable<double, float>(plan, chunk, s, v)
                 : remap_variable<double, double>(plan, chunk, s, v);
  }
}

void remap_chunk(const Plan& plan, const Chunk& chunk, Scratch& s) {
  column_weights(plan, chunk, s);
  for (const Variable& v : plan.block.variables) remap_variable(plan, chunk, s, v);
}

void check_block(const Block& b) {
  if (b.hya.empty()) throw Failure("a block needs at least one level");
  if (b.hyb.size() != b.hya.size()) fail_index_out_of_bounds(b.hyb.size(), b.hya.size());
  if (b.hya.size() >= no_level || b.targets.size() >= no_level) {
    throw Failure("a block may have at most 2^32 - 2 levels and as many targets");
  }
  if (b.ps.data == nullptr) throw Failure("a block needs its surface pressure");
  if (!b.extrapolate) return;
  for (const Variable& v : b.variables) {
    if (v.kind != Kind::plain && b.phi_sfc.data == nullptr) {
      throw Failure("extrapolating temperature or geopotential needs phi_sfc");
    }
    if (v.kind == Kind::geopotential && b.t_bot.data == nullptr) {
      throw Failure("extrapolating geopotential needs t_bot");
    }
  }
}

}  // namespace

void hybrid_to_pressure(const Block& block, pool::StopCheck stop) {
  check_block(block);
  if (block.outer == 0 || block.inner == 0 || block.targets.empty()) return;
  const Plan plan(block);
  const std::size_t chunks = checked_product(block.outer, plan.chunks_per_slab);
  // Per column: a pressure per level and a few logarithms, and a blend per
  // target and variable.
  const std::size_t per_column =
      plan.levels * 4 + block.targets.size() * (block.variables.size() + 4) * 4;
  std::size_t per_chunk = 0;
  if (__builtin_mul_overflow(per_column, plan.columns, &per_chunk)) per_chunk = SIZE_MAX;
  ScratchShelf shelf(plan);
  parallel_for(chunks, Cost{per_chunk}, stop, [&](std::size_t lo, std::size_t hi) {
    std::unique_ptr<Scratch> scratch = shelf.take();
    for (std::size_t q = lo; q < hi; ++q) remap_chunk(plan, plan.chunk(q), *scratch);
    shelf.put_back(std::move(scratch));
  });
}

}  // namespace tamrix::remap
