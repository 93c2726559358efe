// Several doubles processed side by side with plain IEEE arithmetic per lane.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace tamrix {

// Two doubles in one SSE2 register; every operation acts on each lane as the
// scalar operation would, so a kernel written for `double` gives the same bits
// per lane.
using Lanes = double __attribute__((vector_size(16)));
inline constexpr std::size_t lane_count = sizeof(Lanes) / sizeof(double);

inline Lanes load_lanes(const double* source) {
  Lanes lanes;
  std::memcpy(&lanes, source, sizeof lanes);
  return lanes;
}

inline void store_lanes(double* destination, Lanes lanes) {
  std::memcpy(destination, &lanes, sizeof lanes);
}

// The value v in every lane of T (double or a vector of doubles).
template <class T>
T splat(double v) {
  if constexpr (std::is_same_v<T, double>) {
    return v;
  } else {
    T lanes;
    for (std::size_t i = 0; i < sizeof(T) / sizeof(double); ++i) lanes[i] = v;
    return lanes;
  }
}

// Per lane, a where the comparison `mask` holds, else b: the value a branch
// on that comparison would give, with both sides computed.
template <class Mask, class T>
T pick(Mask mask, T a, T b) {
  return mask ? a : b;
}

// dst[k] = Kernel<T>::apply(src[k]) for k in [lo, hi): two groups of lanes
// per step keep several long dependency chains in flight, and the tail runs
// on doubles. Only for kernels of one double, whose every copy gives the same
// bits (NaN included: a single input cannot meet a second, different NaN).
template <template <class> class Kernel>
void map_lanes(const double* src, double* dst, std::size_t lo, std::size_t hi) {
  constexpr std::size_t step = 2 * lane_count;
  std::size_t k = lo;
  for (; k + step <= hi; k += step) {
    const Lanes first = Kernel<Lanes>::apply(load_lanes(src + k));
    const Lanes second = Kernel<Lanes>::apply(load_lanes(src + k + lane_count));
    store_lanes(dst + k, first);
    store_lanes(dst + k + lane_count, second);
  }
  for (; k < hi; ++k) dst[k] = Kernel<double>::apply(src[k]);
}

}  // namespace tamrix
