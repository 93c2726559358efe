// Element-wise evaluation on the worker pool.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>

#include "tamrix/buffer.hpp"
#include "tamrix/pool.hpp"

namespace tamrix {

// Every inlined copy of a function is compiled on its own, and each copy may
// order the operands of a commutative operation differently (a vector loop,
// its scalar tail and a call on the calling thread all do). When two NaNs
// meet in such an operation, the copies return different NaN payloads. A
// function whose result must not depend on where it is called from (on the
// calling thread or on the pool, in the scalar or the array form) is marked
// with this: one out-of-line copy, never inlined or cloned.
#if defined(__clang__)
#define TAMRIX_ONE_COMPILED_COPY [[gnu::noinline]]
#else
#define TAMRIX_ONE_COMPILED_COPY [[gnu::noipa]]
#endif

// Handing a range to the pool costs two thread wake-ups in series (a sleeping
// worker, then the waiting caller): 8-10 us when the other core is busy, and
// 50-80 us on an idle VM whose virtual CPUs are slow to wake. Ranges of less
// than about 250 us of work are therefore computed on the calling thread;
// results are identical either way, since every element depends on its index
// alone. The cut-off is counted in "work units" of roughly a nanosecond:
// elements times the kernel's per-element cost.
inline constexpr std::size_t inline_work_limit = 262144;

// Relative per-element cost of a kernel: 1 for a few arithmetic operations,
// more for kernels with transcendental calls or long polynomials.
struct Cost {
  std::size_t units = 1;
};

inline bool worth_parallel(std::size_t n, Cost cost) {
  return n >= 2 && n >= inline_work_limit / (cost.units == 0 ? 1 : cost.units);
}

// Indices a worker computes between two looks at whether its job was given
// up: about as much work as the calling thread computes on its own.
inline std::size_t grain_of(Cost cost) {
  const std::size_t grain = inline_work_limit / (cost.units == 0 ? 1 : cost.units);
  return grain == 0 ? 1 : grain;
}

using pool::StopCheck;

// Calls body(lo, hi) over [0, n), in parallel when the range is worth it.
// The pool is created on the first call in any case. A range computed on
// the pool is given up when `stop` asks for it (see pool::run); one computed
// on the calling thread is too short to need asking.
template <class Body>
void parallel_for(std::size_t n, Cost cost, StopCheck stop, Body&& body) {
  pool::ensure_started();
  if (!worth_parallel(n, cost)) {
    if (n > 0) body(std::size_t{0}, n);
    return;
  }
  pool::run(n, body, grain_of(cost), stop);
}

template <class Body>
void parallel_for(std::size_t n, Cost cost, Body&& body) {
  parallel_for(n, cost, StopCheck{}, body);
}

// The n results of element(i), in index order, in a freshly allocated buffer.
template <class Element>
DoubleBuffer parallel_map(std::size_t n, Cost cost, StopCheck stop, Element&& element) {
  DoubleBuffer out(n);
  double* dst = out.data();
  parallel_for(n, cost, stop, [dst, &element](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) dst[i] = element(i);
  });
  return out;
}

// The rows x cols outer product in row-major order, computed straight into
// its flat buffer a run of cells at a time: run(i, j, out, count) fills
// out[0..count) with cells (i, j) to (i, j + count - 1) of one row. Each
// piece of the range finds its first (i, j) once and then steps through the
// rows.
template <class Run>
DoubleBuffer parallel_outer_runs(std::size_t rows, std::size_t cols, Cost cost, StopCheck stop,
                                 Run&& run) {
  DoubleBuffer out(checked_product(rows, cols));
  double* dst = out.data();
  parallel_for(out.size(), cost, stop, [dst, cols, &run](std::size_t lo, std::size_t hi) {
    std::size_t i = lo / cols;
    std::size_t j = lo % cols;
    for (std::size_t k = lo; k < hi; j = 0, ++i) {
      const std::size_t count = std::min(cols - j, hi - k);
      run(i, j, dst + k, count);
      k += count;
    }
  });
  return out;
}

// The outer product with out[i * cols + j] = cell(i, j).
template <class Cell>
DoubleBuffer parallel_outer(std::size_t rows, std::size_t cols, Cost cost, StopCheck stop,
                            Cell&& cell) {
  return parallel_outer_runs(rows, cols, cost, stop,
                             [&cell](std::size_t i, std::size_t j, double* out, std::size_t count) {
                               for (std::size_t c = 0; c < count; ++c) out[c] = cell(i, j + c);
                             });
}

}  // namespace tamrix
