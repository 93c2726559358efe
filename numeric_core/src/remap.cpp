#include "tamrix/remap.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
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

// How one output element of a chunk is made.
enum class Fill : std::uint8_t { blend, copy, missing, below };

struct Weight {
  std::uint32_t lower;
  std::uint32_t upper;
  double t;
  Fill fill;
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

  explicit Plan(const Block& b)
      : block(b),
        levels(b.hya.size()),
        columns(columns_per_chunk(levels, b.targets.size())),
        chunks_per_slab((b.inner + columns - 1) / columns),
        g(interpolation_targets(b)),
        order(g),
        few_logs(b.log && std::all_of(b.targets.begin(), b.targets.end(), [](double target) {
                   return target > 0.0 && target < std::numeric_limits<double>::infinity();
                 })) {
    for (const double target : b.targets) {
      clearly_below.push_back(target * (1.0 - clear_step));
      clearly_above.push_back(target * (1.0 + clear_step));
    }
  }

  Chunk chunk(std::size_t q) const {
    const std::size_t first = (q % chunks_per_slab) * columns;
    return {q / chunks_per_slab, first, std::min(columns, block.inner - first)};
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

  void reserve(std::size_t n) {
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
  std::vector<Weight> weights;             // target after target, `columns` each
  std::vector<std::size_t> guess;          // per target: its upper level in the last column
  Below below;
  Pending pending;
  // One row's blends: the pairs' values and weights, the results, columns.
  std::vector<double> d0, d1, t, blended;
  std::vector<std::uint32_t> blend_column;

  explicit Scratch(const Plan& plan) {
    const std::size_t n = plan.columns;
    const std::size_t targets = plan.block.targets.size();
    for (auto* v : {&ps, &phi_sfc, &t_bot}) v->resize(n);
    p.resize(n * plan.levels);
    x.resize(plan.levels);
    lowest.resize(n);
    weights.resize(n * targets);
    guess.resize(targets);
    for (auto* v : {&d0, &d1, &t, &blended}) v->resize(n);
    blend_column.resize(n);
    if (plan.block.extrapolate) below.reserve(n * targets);
    if (plan.few_logs) {
      pending.target.resize(n * targets);
      pending.column.resize(n * targets);
      pending.x.resize(2 * n * targets);
    }
  }
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

// Surface fields and level pressures of the chunk's columns.
void column_pressures(const Plan& plan, const Chunk& chunk, Scratch& s) {
  const Block& b = plan.block;
  const std::size_t base = chunk.slab * b.inner + chunk.first;
  for (std::size_t c = 0; c < chunk.width; ++c) {
    s.ps[c] = value_at(b.ps, base + c);
    if (b.extrapolate && b.phi_sfc.data != nullptr) s.phi_sfc[c] = value_at(b.phi_sfc, base + c);
    if (b.extrapolate && b.t_bot.data != nullptr) s.t_bot[c] = value_at(b.t_bot, base + c);
  }
  const std::size_t levels = plan.levels;
  for (std::size_t c = 0; c < chunk.width; ++c) {
    double* p = s.p.data() + c * levels;
    const double ps = s.ps[c];
    for (std::size_t k = 0; k < levels; ++k) {
      p[k] = hybrid::pressure_at_level(b.hya[k], b.hyb[k], ps, b.p0);
    }
  }
}

// For a monotonic column, found(k, upper) for every target as
// ip::locate_targets gives it, from `compare(i, k)`, the sign of (level i's
// coordinate - target k's) for a target that is not NaN. The first level
// reaching a target is found from where it was in the previous column: in a
// monotonic column the levels reaching a target are all those from the first
// one on, and neighbouring columns have nearly the same levels.
template <class Compare, class Found>
void walk_targets(const Plan& plan, bool ascending, std::vector<std::size_t>& guess,
                  Compare&& compare, Found&& found) {
  const std::size_t n = plan.levels;
  const auto reaches = [&](std::size_t i, std::size_t k) {
    const int sign = compare(i, k);
    return ascending ? sign >= 0 : sign <= 0;
  };
  for (std::size_t k = 0; k < plan.g.size(); ++k) {
    if (std::isnan(plan.g[k])) {  // reaches no level: the fallback level
      found(k, ascending ? n - 1 : 0);
      continue;
    }
    const int first = compare(0, k);
    const int last = compare(n - 1, k);
    if (ascending ? (first > 0 || last < 0) : (first < 0 || last > 0)) {
      found(k, ip::no_level);
      continue;
    }
    std::size_t i = std::min(guess[k], n - 1);
    if (reaches(i, k)) {
      while (i > 0 && reaches(i - 1, k)) --i;
    } else {
      do ++i;  // the last level reaches the target, which is in range
      while (!reaches(i, k));
    }
    guess[k] = i;
    found(k, i);
  }
}

int sign_of_difference(double a, double b) { return (a > b) - (a < b); }

// The weights of every target in one column of a chunk (and the column's
// entries in the chunk's lists of targets to extrapolate and of pairs
// waiting for logarithms).
class ColumnWeights {
 public:
  ColumnWeights(const Plan& plan, Scratch& s, std::size_t c)
      : plan_(plan), s_(s), c_(c), p_(s.p.data() + c * plan.levels) {
    const std::uint32_t lowest = plan.block.extrapolate ? lowest_level(p_, plan.levels) : no_level;
    p_lowest_ = lowest == no_level ? missing_value : p_[lowest];
    s.lowest[c] = lowest;
  }

  void find() {
    const std::span<const double> pressures(p_, plan_.levels);
    if (!plan_.block.log) return in_coordinates(pressures);
    bool ascending = true;
    if (plan_.few_logs && clearly_monotonic(p_, plan_.levels, ascending)) {
      return by_pressure(ascending);
    }
    libm::log_n(p_, s_.x.data(), plan_.levels);
    in_coordinates({s_.x.data(), plan_.levels});
  }

 private:
  // The search and the weights in the column's own coordinates xp (its
  // pressures, or their logarithms).
  void in_coordinates(std::span<const double> xp) {
    const auto weigh = [&](std::size_t k, std::size_t upper) {
      if (below_ground(k) || outside(k, upper)) return;
      const ip::Pair pair = ip::pair_at(xp, upper, plan_.g[k]);
      set(k, pair.lower, pair.upper, pair.t, pair.copy ? Fill::copy : Fill::blend);
    };
    const bool ascending = ip::is_ascending(xp);
    if (!plan_.block.log && ip::monotonic(xp, ascending)) {
      return walk_targets(
          plan_, ascending, s_.guess,
          [&](std::size_t i, std::size_t k) { return sign_of_difference(xp[i], plan_.g[k]); },
          weigh);
    }
    ip::locate_targets(xp, plan_.g, [this] { return &plan_.order; }, weigh);
  }

  // In ln p, for a clearly monotonic column: levels compared with a target by
  // pressure, and each pair's weight left until the chunk's logarithms of
  // pair levels are taken (settle_pending).
  void by_pressure(bool ascending) {
    const auto compare = [&](std::size_t i, std::size_t k) {
      const int clear = (p_[i] > plan_.clearly_above[k]) - (p_[i] < plan_.clearly_below[k]);
      return clear != 0 ? clear : sign_of_difference(log_of(p_[i]), plan_.g[k]);
    };
    walk_targets(plan_, ascending, s_.guess, compare, [&](std::size_t k, std::size_t upper) {
      if (below_ground(k) || outside(k, upper)) return;
      const std::size_t lower = ip::lower_level(upper);
      set(k, lower, upper, 0.0, Fill::blend);
      Pending& pending = s_.pending;
      const std::size_t e = pending.count++;
      pending.target[e] = static_cast<std::uint32_t>(k);
      pending.column[e] = static_cast<std::uint32_t>(c_);
      pending.x[2 * e] = p_[lower];
      pending.x[2 * e + 1] = p_[upper];
    });
  }

  // Whether target k is extrapolated (then listed for it).
  bool below_ground(std::size_t k) {
    const double target = plan_.block.targets[k];
    if (!(target > p_lowest_)) return false;
    set(k, 0, 0, 0.0, Fill::below);
    Below& below = s_.below;
    const std::size_t e = below.count++;
    below.target[e] = static_cast<std::uint32_t>(k);
    below.column[e] = static_cast<std::uint32_t>(c_);
    below.lev[e] = target;
    below.p_sfc[e] = p_lowest_;
    below.ps[e] = s_.ps[c_];
    below.phi_sfc[e] = s_.phi_sfc[c_];
    return true;
  }

  bool outside(std::size_t k, std::size_t upper) {
    if (upper != ip::no_level) return false;
    set(k, 0, 0, 0.0, Fill::missing);
    return true;
  }

  void set(std::size_t k, std::size_t lower, std::size_t upper, double t, Fill fill) {
    s_.weights[k * plan_.columns + c_] = {static_cast<std::uint32_t>(lower),
                                          static_cast<std::uint32_t>(upper), t, fill};
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
    Weight& w = s.weights[k * plan.columns + pending.column[e]];
    const ip::Pair pair =
        ip::pair_of(w.lower, w.upper, pending.x[2 * e], pending.x[2 * e + 1], plan.g[k]);
    w.t = pair.t;
    w.fill = pair.copy ? Fill::copy : Fill::blend;
  }
}

// Bracketing levels and weights of every target in every column of the
// chunk, and the list of targets to extrapolate.
void column_weights(const Plan& plan, const Chunk& chunk, Scratch& s) {
  s.below.count = 0;
  s.below.height_done = false;
  s.pending.count = 0;
  for (std::size_t c = 0; c < chunk.width; ++c) ColumnWeights(plan, s, c).find();
  settle_pending(plan, s);
}

// One variable of the chunk: `in` and `out` point at the chunk's first
// column in its slab; rows are `inner` apart.
template <class In, class Out>
void interpolate_variable(const Plan& plan, const Chunk& chunk, Scratch& s, const In* in,
                          Out* out) {
  const std::size_t inner = plan.block.inner;
  for (std::size_t k = 0; k < plan.block.targets.size(); ++k) {
    const Weight* w = s.weights.data() + k * plan.columns;
    Out* row = out + k * inner;
    std::size_t blends = 0;
    for (std::size_t c = 0; c < chunk.width; ++c) {
      switch (w[c].fill) {
        case Fill::blend:
          s.d0[blends] = in[w[c].lower * inner + c];
          s.d1[blends] = in[w[c].upper * inner + c];
          s.t[blends] = w[c].t;
          s.blend_column[blends++] = static_cast<std::uint32_t>(c);
          break;
        case Fill::copy:
          row[c] = static_cast<Out>(static_cast<double>(in[w[c].lower * inner + c]));
          break;
        case Fill::missing:
          row[c] = static_cast<Out>(missing_value);
          break;
        case Fill::below:
          break;  // written by extrapolate_variable
      }
    }
    ip::blend_n(s.d0.data(), s.d1.data(), s.t.data(), s.blended.data(), blends);
    for (std::size_t i = 0; i < blends; ++i) {
      row[s.blend_column[i]] = static_cast<Out>(s.blended[i]);
    }
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
  column_pressures(plan, chunk, s);
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
  parallel_for(chunks, Cost{per_chunk}, stop, [&plan](std::size_t lo, std::size_t hi) {
    Scratch scratch(plan);
    for (std::size_t q = lo; q < hi; ++q) remap_chunk(plan, plan.chunk(q), scratch);
  });
}

}  // namespace tamrix::remap
