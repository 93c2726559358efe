// The AVX2 + FMA exp and log of libm.hpp (see libm_avx2.hpp for how AVX2 code
// is kept apart from the baseline CPU's).
//
// The operations mirror glibc 2.36's __exp_fma and __log_fma (sysdeps/ieee754/
// dbl-64/e_exp.c and e_log.c built with -mfma -mavx2), as their machine code
// on x86-64 shows: every fused multiply-add there is an explicit
// _mm256_fmadd_pd here and every other operation is a plain one, in the same
// order. Lanes the library handles on a special path are recomputed by the
// library call.
#include "libm_avx2.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "glibc_libm_tables.hpp"
#include "libm_internal.hpp"

#if defined(__x86_64__)

namespace tamrix::libm::detail {
namespace {

namespace g = glibc;

// Lanes where a < b as unsigned 64-bit integers.
TAMRIX_AVX2 inline __m256i below_unsigned(__m256i a, __m256i b) {
  const __m256i sign = broadcast_int(0x8000000000000000);
  return _mm256_cmpgt_epi64(_mm256_xor_si256(b, sign), _mm256_xor_si256(a, sign));
}

// The two adjacent words at table[2 i] and table[2 i + 1] for the four lane
// indices i: four 16-byte loads and a transpose, cheaper than two gathers.
TAMRIX_AVX2 inline Pairs load_pairs(const std::uint64_t* table, __m256i index) {
  alignas(32) std::uint64_t i[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(i), index);
  const auto* base = reinterpret_cast<const double*>(table);
  const __m256d p02 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(base + 2 * i[0])),
                                           _mm_load_pd(base + 2 * i[2]), 1);
  const __m256d p13 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(base + 2 * i[1])),
                                           _mm_load_pd(base + 2 * i[3]), 1);
  return {_mm256_unpacklo_pd(p02, p13), _mm256_unpackhi_pd(p02, p13)};
}

// exp: |x| below 2^-54 (the result is 1 + x), at least 512 (overflow,
// underflow and the rescaled special case), infinite or NaN.
TAMRIX_AVX2 inline int exp_special_lanes(__m256d x) {
  const __m256i abs_bits = _mm256_castpd_si256(_mm256_and_pd(x, broadcast(0x7fffffffffffffff)));
  const __m256i tiny = below_unsigned(abs_bits, broadcast_int(0x3c90000000000000));
  const __m256i huge = _mm256_cmpgt_epi64(abs_bits, broadcast_int(0x407fffffffffffff));
  return _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_or_si256(tiny, huge)));
}

// exp(x) = 2^(k/128) exp(r) with r = x - k ln2/128: scale from the table's
// second word plus k in the exponent, tail the table's first word, exp(r) - 1
// a degree-5 polynomial.
TAMRIX_AVX2 inline __m256d exp_lanes(__m256d x) {
  const __m256d shift = broadcast(g::exp_shift);
  const __m256d z = _mm256_fmadd_pd(x, broadcast(g::exp_invln2n), shift);
  const __m256i ki = _mm256_castpd_si256(z);
  const __m256d kd = _mm256_sub_pd(z, shift);
  __m256d r = _mm256_fmadd_pd(kd, broadcast(g::exp_negln2hin), x);
  r = _mm256_fmadd_pd(kd, broadcast(g::exp_negln2lon), r);

  const Pairs entry = load_pairs(g::exp_table, _mm256_and_si256(ki, broadcast_int(127)));
  const __m256d tail = entry.first;
  const __m256i sbits =
      _mm256_add_epi64(_mm256_castpd_si256(entry.second), _mm256_slli_epi64(ki, 45));

  const __m256d c3c2 = _mm256_fmadd_pd(r, broadcast(g::exp_poly[1]), broadcast(g::exp_poly[0]));
  const __m256d tail_r = _mm256_add_pd(tail, r);
  const __m256d r2 = _mm256_mul_pd(r, r);
  const __m256d c5c4 = _mm256_fmadd_pd(r, broadcast(g::exp_poly[3]), broadcast(g::exp_poly[2]));
  const __m256d low = _mm256_fmadd_pd(c3c2, r2, tail_r);
  const __m256d tmp = _mm256_fmadd_pd(_mm256_mul_pd(r2, r2), c5c4, low);
  const __m256d scale = _mm256_castsi256_pd(sbits);
  return _mm256_fmadd_pd(scale, tmp, scale);
}

// log: x within [1 - 2^-4, 1 + 0x1.09p-4) (its own polynomial), below the
// smallest normal (zero, subnormal, negative), infinite or NaN.
TAMRIX_AVX2 inline int log_special_lanes(__m256d x) {
  const __m256i ix = _mm256_castpd_si256(x);
  const std::uint64_t lo = 0x3fee000000000000;  // 1 - 2^-4
  const std::uint64_t hi = 0x3ff1090000000000;  // 1 + 0x1.09p-4
  const __m256i near_one =
      below_unsigned(_mm256_sub_epi64(ix, broadcast_int(lo)), broadcast_int(hi - lo));
  // Signed: negative inputs are below the smallest normal too.
  const __m256i small = _mm256_cmpgt_epi64(broadcast_int(0x0010000000000000), ix);
  const __m256i large = _mm256_cmpgt_epi64(ix, broadcast_int(0x7fefffffffffffff));
  const __m256i special = _mm256_or_si256(near_one, _mm256_or_si256(small, large));
  return _mm256_movemask_pd(_mm256_castsi256_pd(special));
}

// log(x) = k ln2 + log(c) + log1p(z/c - 1) with x = 2^k z, z in [0x1.6p-1,
// 0x1.6p0) and c near the centre of z's 1/128 subinterval: 1/c and log(c)
// from the table, log1p(r) - r a degree-5 polynomial.
TAMRIX_AVX2 inline __m256d log_lanes(__m256d x) {
  const __m256i ix = _mm256_castpd_si256(x);
  const __m256i tmp = _mm256_sub_epi64(ix, broadcast_int(0x3fe6000000000000));
  const __m256i index = _mm256_and_si256(_mm256_srli_epi64(tmp, 45), broadcast_int(127));
  // k = tmp >> 52, arithmetic: the high halves of the lanes shifted by 20.
  const __m256i high_halves =
      _mm256_permutevar8x32_epi32(tmp, _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7));
  const __m256d kd = _mm256_cvtepi32_pd(_mm_srai_epi32(_mm256_castsi256_si128(high_halves), 20));
  const __m256i iz = _mm256_sub_epi64(ix, _mm256_and_si256(tmp, broadcast_int(0xfff0000000000000)));

  const Pairs entry = load_pairs(g::log_table, index);
  const __m256d invc = entry.first;
  const __m256d logc = entry.second;
  const __m256d z = _mm256_castsi256_pd(iz);

  const __m256d r = _mm256_fmadd_pd(z, invc, _mm256_set1_pd(-1.0));
  const __m256d w = _mm256_fmadd_pd(kd, broadcast(g::log_ln2hi), logc);
  const __m256d hi = _mm256_add_pd(w, r);
  const __m256d a2a1 = _mm256_fmadd_pd(r, broadcast(g::log_poly[2]), broadcast(g::log_poly[1]));
  const __m256d r2 = _mm256_mul_pd(r, r);
  __m256d lo = _mm256_add_pd(_mm256_sub_pd(w, hi), r);
  lo = _mm256_fmadd_pd(kd, broadcast(g::log_ln2lo), lo);
  const __m256d r3 = _mm256_mul_pd(r, r2);
  const __m256d a4a3 = _mm256_fmadd_pd(r, broadcast(g::log_poly[4]), broadcast(g::log_poly[3]));
  const __m256d low = _mm256_fmadd_pd(r2, broadcast(g::log_poly[0]), lo);
  const __m256d poly = _mm256_fmadd_pd(a4a3, r2, a2a1);
  return _mm256_add_pd(_mm256_fmadd_pd(r3, poly, low), hi);
}

// The four lanes at in[0..3] to out[0..3]; special lanes by the library
// call. `in` may equal `out`, so the inputs are kept until the end.
template <__m256d (*Lanes)(__m256d), int (*Special)(__m256d), double (*Library)(double)>
TAMRIX_AVX2 inline void four(const double* in, double* out) {
  const __m256d x = _mm256_loadu_pd(in);
  store_lanes(out, x, Lanes(x), Special(x), Library);
}

template <__m256d (*Lanes)(__m256d), int (*Special)(__m256d), double (*Library)(double)>
TAMRIX_AVX2 void bulk(const double* in, double* out, std::size_t n) {
  std::size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    four<Lanes, Special, Library>(in + k, out + k);
    four<Lanes, Special, Library>(in + k + 4, out + k + 4);
  }
  for (; k + 4 <= n; k += 4) four<Lanes, Special, Library>(in + k, out + k);
  if (k == n) return;
  // The last one to three elements, padded with 1.0 (a regular input of both).
  double padded[4] = {1.0, 1.0, 1.0, 1.0};
  std::memcpy(padded, in + k, (n - k) * sizeof(double));
  four<Lanes, Special, Library>(padded, padded);
  std::memcpy(out + k, padded, (n - k) * sizeof(double));
}

double library_exp(double x) { return std::exp(x); }
double library_log(double x) { return std::log(x); }

}  // namespace

TAMRIX_AVX2 void exp_avx2(const double* in, double* out, std::size_t n) {
  bulk<exp_lanes, exp_special_lanes, library_exp>(in, out, n);
}

TAMRIX_AVX2 void log_avx2(const double* in, double* out, std::size_t n) {
  bulk<log_lanes, log_special_lanes, library_log>(in, out, n);
}

}  // namespace tamrix::libm::detail

#else  // no AVX2 on this architecture: vector_supported() is false

namespace tamrix::libm::detail {
void exp_avx2(const double*, double*, std::size_t) {}
void log_avx2(const double*, double*, std::size_t) {}
}  // namespace tamrix::libm::detail

#endif
