// Between the path decisions of libm.hpp and the AVX2 units, and what the
// decisions share: the gates every vector path passes and the pieces of a
// self-check against the C library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tamrix/libm.hpp"

namespace tamrix::libm::detail {

// The vector paths; callable only on a CPU with AVX2 and FMA.
void exp_avx2(const double* in, double* out, std::size_t n);
void log_avx2(const double* in, double* out, std::size_t n);
void acos_avx2(const double* in, double* out, std::size_t n);

// Why this process must use the C library for every function (the variable
// is set, the CPU lacks AVX2 or FMA, the C library is not a verified glibc),
// or empty when a vector path may be checked.
std::string refusal();

// The running glibc's version, or empty under another C library.
std::string_view glibc_version();

Status scalar(std::string reason);

// decide(), or the C library path if the decision cannot run (out of memory).
Status decide_safely(Status (*decide)()) noexcept;

// One path decision of this copy of the library: made once, at the first of
// settle() and the first use, through the exchange when there is one, and
// never destroyed, since pool threads may still read it while the process
// exits.
class Decision {
 public:
  constexpr Decision(Path path, Decide decide) : path_(path), decide_(decide) {}
  const Status& made(Exchange exchange = nullptr) {
    std::call_once(once_, [this, exchange] {
      made_ = new Status(exchange != nullptr ? exchange(path_, decide_) : decide_());
    });
    return *made_;
  }

 private:
  Path path_;
  Decide decide_;
  std::once_flag once_;
  const Status* made_ = nullptr;
};

// The acos decision (libm_acos.cpp), settled with the exp/log one.
Decision& acos_decision();

inline std::uint64_t bits_of(double x) {
  std::uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

inline double from_bits(std::uint64_t b) {
  double x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

// A fixed, portable sequence (splitmix64), so every process checks the same
// inputs.
struct SplitMix {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
  }
  double uniform(double lo, double hi) {
    return lo + (hi - lo) * (static_cast<double>(next() >> 11) * 0x1p-53);
  }
};

inline constexpr std::size_t random_count = 4096;

// x and its neighbours two ulps either side (as bit patterns, so NaNs and
// infinities get theirs too).
void push_around(std::vector<double>& out, double x);
// Zeros, subnormals, the largest finite, infinities and NaNs of both signs.
void push_ieee_specials(std::vector<double>& out);
void push_random(std::vector<double>& out, SplitMix& rng, std::size_t count);

// The first input where the two paths differ, as a reason; empty if none.
using Bulk = void (*)(const double*, double*, std::size_t);
std::string first_mismatch(const char* name, const std::vector<double>& in, Bulk vector,
                           Bulk scalar);

}  // namespace tamrix::libm::detail
