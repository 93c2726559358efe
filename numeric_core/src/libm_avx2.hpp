// Pieces shared by the AVX2 + FMA units of libm.hpp. Only functions marked
// TAMRIX_AVX2 use AVX2 instructions (everything else a unit compiles, and
// every inline function it may pull in, is for the baseline CPU), so the
// module still loads and runs where AVX2 is missing; they are called only
// after the CPU has been checked.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>

#include <cstdint>

#define TAMRIX_AVX2 __attribute__((target("avx2,fma")))

namespace tamrix::libm::detail {

TAMRIX_AVX2 inline __m256d broadcast(std::uint64_t bits) {
  return _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(bits)));
}

TAMRIX_AVX2 inline __m256i broadcast_int(std::uint64_t bits) {
  return _mm256_set1_epi64x(static_cast<long long>(bits));
}

// Two vectors of table words, such as the two words of a pair per lane.
struct Pairs {
  __m256d first;
  __m256d second;
};

// y to out[0..3], except the lanes marked in `special`, which the library
// call computes from x.
TAMRIX_AVX2 inline void store_lanes(double* out, __m256d x, __m256d y, int special,
                                    double (*library)(double)) {
  if (special == 0) {
    _mm256_storeu_pd(out, y);
    return;
  }
  alignas(32) double xs[4];
  alignas(32) double ys[4];
  _mm256_store_pd(xs, x);
  _mm256_store_pd(ys, y);
  for (int j = 0; j < 4; ++j) {
    if ((special >> j) & 1) ys[j] = library(xs[j]);
  }
  _mm256_storeu_pd(out, _mm256_load_pd(ys));
}

}  // namespace tamrix::libm::detail

#endif
