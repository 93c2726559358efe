// The AVX2 + FMA acos of libm.hpp.
//
// The operations mirror glibc 2.36's __ieee754_acos_fma (sysdeps/ieee754/
// dbl-64/e_asin.c, the IBM Accurate Mathematical Library's algorithm, built
// with -mfma -mavx2), as its machine code on x86-64 shows: every fused
// multiply-add there is an explicit _mm256_fmadd_pd or _mm256_fnmadd_pd here
// and every other operation is a plain one, in the same order. The library
// branches on the high word k of |x|; here every lane takes the branch its k
// selects:
//
//   |x| < 0x1.8p-55 (k < 0x3c880000)   pi/2
//   |x| < 0.125                        pi/2 - x - x^3 P(x^2)
//   0.125 <= |x| < 0.96875             a Taylor polynomial of asin about the
//                                      centre of one of 216 subintervals
//   0.96875 <= |x| < 1                 2 asin(sqrt(z)), z = (1 - |x|) / 2,
//                                      sqrt(z) from a table-seeded 1/sqrt(z)
//   |x| = 1                            0 or pi
//
// Lanes the library sends elsewhere (|x| > 1, infinite, NaN) are recomputed
// by the library call.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "glibc_acos_tables.hpp"
#include "libm_avx2.hpp"
#include "libm_internal.hpp"

#if defined(__x86_64__)

namespace tamrix::libm::detail {
namespace {

namespace g = glibc;

constexpr std::uint64_t half_pi_hi = 0x3ff921fb54442d18;  // pi/2 rounded: hp0
constexpr std::uint64_t half_pi_lo = 0x3c91a62633145c07;  // pi/2 - hp0 rounded: hp1
constexpr std::uint64_t pi = 0x400921fb54442d18;          // 2 hp0
constexpr std::uint64_t sign_bit = 0x8000000000000000;
constexpr std::uint64_t one = 0x3ff0000000000000;
constexpr std::uint64_t one_half = 0x3fe0000000000000;
constexpr std::uint64_t three_halves = 0x3ff8000000000000;
constexpr std::uint64_t two_27 = 0x41a0000000000000;  // splits c into y + (c - y)

// Bounds on k, the high word of |x|.
constexpr std::uint64_t series_from = 0x3c880000;
constexpr std::uint64_t table_from = 0x3fc00000;  // 0.125
constexpr std::uint64_t quarter = 0x3fd00000;
constexpr std::uint64_t half = 0x3fe00000;
constexpr std::uint64_t root_from = 0x3fef0000;  // 0.96875
constexpr std::uint64_t root_to = 0x3ff00000;    // 1

// --- The Taylor table, one row per subinterval ------------------------------
//
// glibc's asncs table holds, per subinterval, its centre c, the coefficients
// a1..aT of asin about c (T = 6 to 10 by range), one more coefficient aS
// added after a factor xx^2, and asin(c). The library evaluates
//
//   p = aT; p = fma(p, xx, a(T-1)); ... down to a2;  xx = |x| - c
//   t = fma(xx, a1, fma(p, xx * xx, aS))
//
// Rows repack one subinterval each, with the degree padded to 10 by zeros: a
// Horner step from a zero p gives exactly the next coefficient, so every row
// runs the same ten steps with the library's bits.
struct Range {
  std::size_t first;  // first asncs index of the range
  std::size_t width;  // words per subinterval
  std::size_t rows;
  std::size_t degree;  // T
};

// In the order of their rows, each cut into subintervals of 1/256: [0.125,
// 0.25), [0.25, 0.5), [0.5, 0.75), [0.75, 0.921875), [0.921875, 0.953125),
// [0.953125, 0.96875). Where each starts in asncs and how wide its entries
// are is the library's index arithmetic n = first + width * i (i counting
// subintervals from 0.125, 0.25 and 0.5).
constexpr Range ranges[] = {{0, 11, 32, 6},
                            {352, 11, 64, 6},
                            {1056, 12, 64, 7},
                            {992 + 13 * 64, 13, 44, 8},
                            {884 + 14 * 108, 14, 8, 9},
                            {768 + 15 * 116, 15, 4, 10}};
constexpr std::size_t row_count = 216;

// centre, a1, a2..a10, aS, asin(centre), three unused words: 128 bytes.
enum Slot : std::size_t { centre = 0, a_square = 11, asin_centre = 12 };
struct alignas(128) Row {
  std::uint64_t word[16];
};

constexpr std::array<Row, row_count> repack_rows() {
  std::array<Row, row_count> rows{};
  std::size_t r = 0;
  for (const Range& range : ranges) {
    for (std::size_t i = 0; i < range.rows; ++i, ++r) {
      const std::uint64_t* a = g::acos_asncs + range.first + range.width * i;
      rows[r].word[centre] = a[0];
      for (std::size_t j = 1; j <= range.degree; ++j) rows[r].word[j] = a[j];
      rows[r].word[a_square] = a[range.degree + 1];
      rows[r].word[asin_centre] = a[range.degree + 2];
    }
  }
  return rows;
}

constexpr std::array<Row, row_count> rows = repack_rows();

// The ranges cover asncs exactly, and the padding is exact only if no real
// coefficient is zero.
constexpr bool rows_are_exact() {
  std::size_t r = 0;
  for (const Range& range : ranges) {
    for (std::size_t i = 0; i < range.rows; ++i, ++r) {
      for (std::size_t j = 1; j <= range.degree; ++j) {
        if ((rows[r].word[j] << 1) == 0) return false;
      }
    }
  }
  return r == row_count && ranges[5].first + ranges[5].width * 4 == std::size(g::acos_asncs);
}
static_assert(rows_are_exact());

// --- The branches -----------------------------------------------------------

// |x| < 0.125: asin(x) = x + x^3 P(x^2), and pi/2 - asin(x) with the low
// part of pi/2 folded in.
TAMRIX_AVX2 inline __m256d series_lanes(__m256d x) {
  const __m256d x2 = _mm256_mul_pd(x, x);
  __m256d p = broadcast(g::acos_poly[0]);
  for (int j = 1; j < 6; ++j) p = _mm256_fmadd_pd(p, x2, broadcast(g::acos_poly[j]));
  const __m256d hi = broadcast(half_pi_hi);
  const __m256d r = _mm256_sub_pd(hi, x);
  const __m256d tail = _mm256_add_pd(_mm256_sub_pd(_mm256_sub_pd(hi, r), x), broadcast(half_pi_lo));
  const __m256d correction = _mm256_fnmadd_pd(p, _mm256_mul_pd(x, x2), tail);
  return _mm256_add_pd(r, correction);
}

// The byte offset in `rows` of each table lane's row (other lanes get
// offsets they never use). The library's index steps by 2^15 of k from
// 0.125, by 2^14 from 0.25 and by 2^13 from 0.5.
TAMRIX_AVX2 inline __m256i row_offset(__m256i k) {
  const __m256i below_quarter = _mm256_cmpgt_epi64(broadcast_int(quarter), k);
  const __m256i below_half = _mm256_cmpgt_epi64(broadcast_int(half), k);
  const __m256i from_eighth = _mm256_and_si256(_mm256_srli_epi64(k, 15), broadcast_int(0x1f));
  const __m256i from_quarter = _mm256_add_epi64(
      _mm256_and_si256(_mm256_srli_epi64(k, 14), broadcast_int(0x3f)), broadcast_int(32));
  const __m256i from_half = _mm256_add_epi64(
      _mm256_and_si256(_mm256_srli_epi64(k, 13), broadcast_int(0x7f)), broadcast_int(96));
  const __m256i row = _mm256_blendv_epi8(_mm256_blendv_epi8(from_half, from_quarter, below_half),
                                         from_eighth, below_quarter);
  return _mm256_slli_epi64(row, 7);  // 128 bytes a row
}

// The rows of four lanes, read a pair of adjacent words at a time.
struct LaneRows {
  const double* lane[4];

  explicit LaneRows(const std::int64_t* offset) {
    const auto* first = reinterpret_cast<const char*>(rows.data());
    for (int j = 0; j < 4; ++j) lane[j] = reinterpret_cast<const double*>(first + offset[j]);
  }

  // Words w and w + 1 of each lane's row: four 16-byte loads and a
  // transpose, cheaper than two gathers.
  TAMRIX_AVX2 Pairs words(std::size_t w) const {
    const __m256d w02 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(lane[0] + w)),
                                             _mm_load_pd(lane[2] + w), 1);
    const __m256d w13 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(lane[1] + w)),
                                             _mm_load_pd(lane[3] + w), 1);
    return {_mm256_unpacklo_pd(w02, w13), _mm256_unpackhi_pd(w02, w13)};
  }
};

// 0.125 <= |x| < 0.96875: pi/2 - asin(|x|) as (hp1 - t) + (hp0 - asin(c))
// for x > 0, pi/2 + asin(|x|) as (t + hp1) + (asin(c) + hp0) for x < 0. The
// first is the second with t and asin(c) negated (IEEE a - b is a + (-b)),
// so `negate` holds the sign bit where x > 0.
TAMRIX_AVX2 inline __m256d table_lanes(__m256d abs_x, const LaneRows& row, __m256d negate) {
  const Pairs c_a1 = row.words(centre);
  const Pairs a23 = row.words(2);
  const Pairs a45 = row.words(4);
  const Pairs a67 = row.words(6);
  const Pairs a89 = row.words(8);
  const Pairs a10_square = row.words(10);
  const __m256d asin_c = row.words(asin_centre).first;

  const __m256d xx = _mm256_sub_pd(abs_x, c_a1.first);
  __m256d p = a10_square.first;
  for (__m256d a : {a89.second, a89.first, a67.second, a67.first, a45.second, a45.first, a23.second,
                    a23.first}) {
    p = _mm256_fmadd_pd(p, xx, a);
  }
  p = _mm256_fmadd_pd(p, _mm256_mul_pd(xx, xx), a10_square.second);
  const __m256d t = _mm256_fmadd_pd(xx, c_a1.second, p);
  return _mm256_add_pd(_mm256_add_pd(_mm256_xor_pd(t, negate), broadcast(half_pi_lo)),
                       _mm256_add_pd(_mm256_xor_pd(asin_c, negate), broadcast(half_pi_hi)));
}

// 0.96875 <= |x| < 1: acos(|x|) = 2 asin(sqrt(z)), z = (1 - |x|) / 2. sqrt(z)
// is y + cc with y exact to 26 bits, from 1/sqrt(z) seeded by the tables
// and refined; asin(s) = s + s z P(z). x > 0 gives 2 ((cc + tail) + y), x < 0
// 2 (((hp1 - cc) - tail) + (hp0 - y)).
TAMRIX_AVX2 inline __m256d root_lanes(__m256d abs_x, __m256i in_root, __m256d positive) {
  const __m256d z = _mm256_mul_pd(_mm256_sub_pd(broadcast(one), abs_x), broadcast(one_half));
  const __m256i zb = _mm256_castpd_si256(z);
  const __m256i seed = _mm256_and_si256(_mm256_srli_epi64(zb, 46), broadcast_int(0x7f));
  // Only root lanes read powtwo: elsewhere the index could fall outside it.
  const __m256i scale =
      _mm256_and_si256(_mm256_sub_epi64(broadcast_int(511), _mm256_srli_epi64(zb, 53)), in_root);
  const auto* inroot = reinterpret_cast<const double*>(g::acos_inroot);
  const auto* powtwo = reinterpret_cast<const double*>(g::acos_powtwo);
  const __m256d t0 =
      _mm256_mul_pd(_mm256_i64gather_pd(inroot, seed, 8), _mm256_i64gather_pd(powtwo, scale, 8));

  const __m256d r = _mm256_fnmadd_pd(_mm256_mul_pd(t0, t0), z, broadcast(one));
  __m256d q = broadcast(g::acos_poly[6]);
  for (int j = 7; j < 10; ++j) q = _mm256_fmadd_pd(q, r, broadcast(g::acos_poly[j]));
  const __m256d t = _mm256_mul_pd(q, t0);
  const __m256d c = _mm256_mul_pd(z, t);
  const __m256d s =
      _mm256_fnmadd_pd(c, _mm256_mul_pd(t, broadcast(one_half)), broadcast(three_halves));
  const __m256d split = broadcast(two_27);
  const __m256d y = _mm256_fnmadd_pd(split, c, _mm256_fmadd_pd(c, split, c));
  const __m256d cc = _mm256_div_pd(_mm256_fnmadd_pd(y, y, z), _mm256_fmadd_pd(s, c, y));

  __m256d p = broadcast(g::acos_poly[0]);
  for (int j = 1; j < 6; ++j) p = _mm256_fmadd_pd(p, z, broadcast(g::acos_poly[j]));
  const __m256d tail = _mm256_mul_pd(_mm256_mul_pd(p, z), _mm256_add_pd(y, cc));

  const __m256d above = _mm256_add_pd(_mm256_add_pd(cc, tail), y);
  const __m256d below = _mm256_add_pd(_mm256_sub_pd(_mm256_sub_pd(broadcast(half_pi_lo), cc), tail),
                                      _mm256_sub_pd(broadcast(half_pi_hi), y));
  const __m256d half_result = _mm256_blendv_pd(below, above, positive);
  return _mm256_add_pd(half_result, half_result);
}

double library_acos(double x) { return std::acos(x); }

// --- Blocks -----------------------------------------------------------------
//
// A block is computed in two passes. The first computes four lanes at a time
// through the short branches (and the rare square-root one) and sets the
// Taylor-table lanes aside, packed; the second computes those four at a time
// and puts each result in its place. In one pass, a vector of lanes from
// several branches would run both the series and the table, and the
// table's chain of dependent multiply-adds would leave the CPU waiting; set
// aside, with its rows found beforehand, every table vector is all table
// lanes and successive vectors overlap.
constexpr std::size_t block = 256;

TAMRIX_AVX2 inline __m256i in_range(__m256i k, std::uint64_t from, std::uint64_t to) {
  return _mm256_andnot_si256(_mm256_cmpgt_epi64(broadcast_int(from), k),
                             _mm256_cmpgt_epi64(broadcast_int(to), k));
}

TAMRIX_AVX2 inline int mask_of(__m256i lanes) {
  return _mm256_movemask_pd(_mm256_castsi256_pd(lanes));
}

// For each 4-bit lane mask, the 32-bit permutation that moves the marked
// 64-bit lanes to the front, in order.
constexpr std::array<std::array<std::int32_t, 8>, 16> packing = [] {
  std::array<std::array<std::int32_t, 8>, 16> table{};
  for (int mask = 0; mask < 16; ++mask) {
    int to = 0;
    for (int lane = 0; lane < 4; ++lane) {
      if ((mask >> lane) & 1) {
        table[mask][2 * to] = 2 * lane;
        table[mask][2 * to + 1] = 2 * lane + 1;
        ++to;
      }
    }
  }
  return table;
}();

// The table lanes of a block: inputs, row offsets and places in the output,
// with room for a vector beyond the last.
struct SetAside {
  alignas(32) double x[block + 4];
  alignas(32) std::int64_t row[block + 4];
  alignas(32) std::int64_t at[block + 4];
  std::size_t count = 0;

  TAMRIX_AVX2 void add(__m256d xs, __m256i rows, __m256i places, int mask) {
    const auto* move = reinterpret_cast<const __m256i*>(packing[mask].data());
    pack(x + count, _mm256_castpd_si256(xs), _mm256_load_si256(move));
    pack(row + count, rows, _mm256_load_si256(move));
    pack(at + count, places, _mm256_load_si256(move));
    count += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(mask)));
  }

  TAMRIX_AVX2 static void pack(void* to, __m256i lanes, __m256i move) {
    _mm256_storeu_si256(static_cast<__m256i*>(to), _mm256_permutevar8x32_epi32(lanes, move));
  }
};

// Four lanes from in[0..3] to out[0..3], except the table lanes, which go
// aside; `first` is the index of in[0] in the block.
TAMRIX_AVX2 inline void first_pass(const double* in, double* out, std::size_t first,
                                   SetAside& aside) {
  const __m256d x = _mm256_loadu_pd(in);
  const __m256d abs_x = _mm256_and_pd(x, broadcast(~sign_bit));
  const __m256i abs_bits = _mm256_castpd_si256(abs_x);
  const __m256i k = _mm256_srli_epi64(abs_bits, 32);
  const __m256d positive =
      _mm256_castsi256_pd(_mm256_cmpgt_epi64(_mm256_castpd_si256(x), broadcast_int(~0ull)));

  __m256d result = broadcast(half_pi_hi);  // |x| < 0x1.8p-55
  const __m256i in_series = in_range(k, series_from, table_from);
  if (mask_of(in_series) != 0) {
    result = _mm256_blendv_pd(result, series_lanes(x), _mm256_castsi256_pd(in_series));
  }
  const __m256i in_table = in_range(k, table_from, root_from);
  if (const int table = mask_of(in_table); table != 0) {
    const __m256i places = _mm256_add_epi64(broadcast_int(first), _mm256_setr_epi64x(0, 1, 2, 3));
    aside.add(x, row_offset(k), places, table);
  }
  const __m256i in_root = in_range(k, root_from, root_to);
  if (mask_of(in_root) != 0) {
    result = _mm256_blendv_pd(result, root_lanes(abs_x, in_root, positive),
                              _mm256_castsi256_pd(in_root));
  }
  const __m256i unit = _mm256_cmpeq_epi64(abs_bits, broadcast_int(one));
  const __m256d at_one = _mm256_andnot_pd(positive, broadcast(pi));  // acos(1) = +0
  result = _mm256_blendv_pd(result, at_one, _mm256_castsi256_pd(unit));

  // |x| > 1, infinite or NaN: the library's domain error and NaN paths.
  const int special = mask_of(_mm256_cmpgt_epi64(abs_bits, broadcast_int(one)));
  store_lanes(out, x, result, special, library_acos);
}

// The table lanes set aside, four at a time, each to its place in out.
TAMRIX_AVX2 inline void second_pass(SetAside& aside, double* out) {
  // The vector beyond the last lane reads a regular input from row 0.
  for (std::size_t j = 0; j < 4; ++j) {
    aside.x[aside.count + j] = 0.125;
    aside.row[aside.count + j] = 0;
  }
  for (std::size_t i = 0; i < aside.count; i += 4) {
    const __m256d x = _mm256_load_pd(aside.x + i);
    const __m256d abs_x = _mm256_and_pd(x, broadcast(~sign_bit));
    const __m256d negate = _mm256_andnot_pd(x, broadcast(sign_bit));
    alignas(32) double ys[4];
    _mm256_store_pd(ys, table_lanes(abs_x, LaneRows(aside.row + i), negate));
    const std::size_t stored = aside.count - i < 4 ? aside.count - i : 4;
    for (std::size_t j = 0; j < stored; ++j) out[aside.at[i + j]] = ys[j];
  }
}

// n a multiple of 4, at most `block`; `in` may equal `out`.
TAMRIX_AVX2 void acos_block(const double* in, double* out, std::size_t n) {
  SetAside aside;
  for (std::size_t k = 0; k < n; k += 4) first_pass(in + k, out + k, k, aside);
  second_pass(aside, out);
}

}  // namespace

TAMRIX_AVX2 void acos_avx2(const double* in, double* out, std::size_t n) {
  std::size_t k = 0;
  for (; k + block <= n; k += block) acos_block(in + k, out + k, block);
  const std::size_t whole = (n - k) & ~std::size_t{3};
  if (whole > 0) acos_block(in + k, out + k, whole);
  k += whole;
  if (k == n) return;
  // The last one to three elements, padded with 1.0 (a regular input).
  double padded[4] = {1.0, 1.0, 1.0, 1.0};
  std::memcpy(padded, in + k, (n - k) * sizeof(double));
  acos_block(padded, padded, 4);
  std::memcpy(out + k, padded, (n - k) * sizeof(double));
}

}  // namespace tamrix::libm::detail

#else  // no AVX2 on this architecture: vector_supported() is false

namespace tamrix::libm::detail {
void acos_avx2(const double*, double*, std::size_t) {}
}  // namespace tamrix::libm::detail

#endif
