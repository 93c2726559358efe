// Which acos path this process takes: the vector path of libm_acos_avx2.cpp
// where it gives the C library's bits on a fixed set of hard inputs, else
// the library.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "libm_internal.hpp"
#include "tamrix/libm.hpp"

namespace tamrix::libm {
namespace {

using namespace detail;

// Where the library changes algorithm (0x1.8p-55 and the bounds of the Taylor
// ranges, 0.96875, 1), every subinterval boundary of the Taylor table (the
// high word of |x| in steps of 2^15, 2^14 and 2^13 from 0.125, 0.25 and 0.5),
// both signs of each; values close to 1 at every binade of 1 - |x|, where
// the square root's table changes; random bit patterns and values in
// [-1, 1].
std::vector<double> acos_inputs() {
  std::vector<double> in;
  const auto push_both = [&in](std::uint64_t abs_bits) {
    push_around(in, from_bits(abs_bits));
    push_around(in, from_bits(abs_bits | 0x8000000000000000ull));
  };
  for (std::uint64_t k : {0x3c880000ull, 0x3fc00000ull, 0x3fd00000ull, 0x3fe00000ull, 0x3fe80000ull,
                          0x3fed8000ull, 0x3fee8000ull, 0x3fef0000ull, 0x3ff00000ull}) {
    push_both(k << 32);
  }
  for (std::uint64_t k = 0x3fc00000; k < 0x3fef0000; k += k < 0x3fd00000   ? 0x8000
                                                          : k < 0x3fe00000 ? 0x4000
                                                                           : 0x2000) {
    push_both(k << 32);
  }
  for (int e = 1; e <= 53; ++e) {
    const double below_one = 1.0 - std::ldexp(1.0, -e);
    push_both(bits_of(below_one));
    push_both(bits_of(below_one + std::ldexp(1.0, -e - 1)));
  }
  push_ieee_specials(in);
  SplitMix rng{0x61636f73746d72};
  push_random(in, rng, random_count);
  for (std::size_t i = 0; i < random_count; ++i) in.push_back(rng.uniform(-1.0, 1.0));
  for (std::size_t i = 0; i < random_count / 4; ++i) in.push_back(rng.uniform(0.96875, 1.0));
  return in;
}

Status decide() {
  if (std::string refused = refusal(); !refused.empty()) return scalar(std::move(refused));
  const std::vector<double> in = acos_inputs();
  std::string mismatch = first_mismatch("acos", in, acos_n_vector, acos_n_scalar);
  if (!mismatch.empty()) return scalar(std::move(mismatch));
  return {true, "AVX2+FMA vector acos, identical to glibc " + std::string(glibc_version()) +
                    " on " + std::to_string(in.size()) + " checked inputs"};
}

Status decide_acos() noexcept { return decide_safely(decide); }

}  // namespace

Decision& detail::acos_decision() {
  static Decision decision{Path::acos, &decide_acos};
  return decision;
}

const Status& acos_status() { return acos_decision().made(); }

void acos_n_vector(const double* in, double* out, std::size_t n) { acos_avx2(in, out, n); }

void acos_n_scalar(const double* in, double* out, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) out[k] = std::acos(in[k]);
}

// Fewer values than one vector go to the library directly, as for exp/log.
void acos_n(const double* in, double* out, std::size_t n) {
  (n >= 4 && acos_status().vector ? acos_n_vector : acos_n_scalar)(in, out, n);
}

}  // namespace tamrix::libm
