#include "tamrix/libm.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "libm_internal.hpp"

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

namespace tamrix::libm {
namespace {

// glibc versions whose exp and log the vector path repeats (checked against
// the machine code of their FMA builds). glibc 2.28 introduced the current
// algorithms, but the fusions depend on the compiler a distribution used.
constexpr std::string_view verified_glibc_versions[] = {"2.36"};

std::uint64_t bits_of(double x) {
  std::uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

double from_bits(std::uint64_t b) {
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

// x and its neighbours two ulps either side (as bit patterns, so NaNs and
// infinities get theirs too).
void push_around(std::vector<double>& out, double x) {
  const std::uint64_t b = bits_of(x);
  for (std::uint64_t d = 0; d <= 2; ++d) {
    out.push_back(from_bits(b + d));
    if (d > 0) out.push_back(from_bits(b - d));
  }
}

void push_ieee_specials(std::vector<double>& out) {
  for (std::uint64_t b :
       {0x0000000000000000ull, 0x0000000000000001ull, 0x000fffffffffffffull, 0x0010000000000000ull,
        0x7fefffffffffffffull, 0x7ff0000000000000ull, 0x7ff8000000000000ull, 0x7ff8000000000001ull,
        0x7ff4000000000000ull, 0x7fffffffffffffffull}) {
    push_around(out, from_bits(b));
    push_around(out, from_bits(b | 0x8000000000000000ull));
  }
}

void push_random(std::vector<double>& out, SplitMix& rng, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) out.push_back(from_bits(rng.next()));
}

constexpr std::size_t random_count = 4096;

// Where exp changes table entry (halfway between multiples of ln2/128), the
// multiples themselves, and the edges of the special paths: 2^-54, 512,
// 1024, overflow near 709.78, the subnormal range from -708.4, zero near
// -745.13.
std::vector<double> exp_inputs() {
  std::vector<double> in;
  const double step = 0.6931471805599453 / 128.0;
  for (int m : {-1000, -130, -8, -1, 0, 1, 7, 129, 900}) {
    for (int i = 0; i < 128; ++i) {
      const double j = static_cast<double>(m * 128 + i);
      push_around(in, j * step);
      push_around(in, (j + 0.5) * step);
    }
  }
  for (double t : {0x1p-54, 512.0, 1024.0, 709.782712893384, 708.3964185322641, 745.1332191019411,
                   744.4400719213812, 1.0}) {
    push_around(in, t);
    push_around(in, -t);
  }
  push_ieee_specials(in);
  SplitMix rng{0x7a6d72697865};
  push_random(in, rng, random_count);
  for (std::size_t i = 0; i < random_count; ++i) in.push_back(rng.uniform(-745.5, 745.5));
  return in;
}

// Where log changes table entry (every 1/128 of the range [0x1.6p-1,
// 0x1.6p0) above a power of two) at several exponents, the edges of the
// close-to-1 path, and the smallest normal.
std::vector<double> log_inputs() {
  std::vector<double> in;
  for (std::int64_t e : {-1022, -600, -3, -1, 0, 1, 2, 60, 700, 1022}) {
    for (std::uint64_t i = 0; i < 128; ++i) {
      const std::uint64_t b =
          0x3fe6000000000000ull + (i << 45) + (static_cast<std::uint64_t>(e) << 52);
      push_around(in, from_bits(b));
    }
  }
  for (double t : {1.0 - 0x1p-4, 1.0 + 0x1.09p-4, 1.0, 0.5, 2.0, 0x1p-1022, 0x1p-1074}) {
    push_around(in, t);
    push_around(in, -t);
  }
  push_ieee_specials(in);
  SplitMix rng{0x6c6f67746d72};
  push_random(in, rng, random_count);
  for (std::size_t i = 0; i < random_count; ++i) {
    in.push_back(from_bits(rng.next() & 0x7fefffffffffffffull));
  }
  // Around 1, where one comparison decides between the two algorithms.
  for (std::size_t i = 0; i < random_count; ++i) in.push_back(rng.uniform(0.9, 1.1));
  return in;
}

std::string hex(std::uint64_t b) {
  static const char digits[] = "0123456789abcdef";
  std::string s = "0x";
  for (int shift = 60; shift >= 0; shift -= 4) s += digits[(b >> shift) & 0xf];
  return s;
}

// The first input where the two paths differ, as a reason; empty if none.
using Bulk = void (*)(const double*, double*, std::size_t);
std::string first_mismatch(const char* name, const std::vector<double>& in, Bulk vector,
                           Bulk scalar) {
  std::vector<double> fast(in.size());
  std::vector<double> library(in.size());
  vector(in.data(), fast.data(), in.size());
  scalar(in.data(), library.data(), in.size());
  for (std::size_t k = 0; k < in.size(); ++k) {
    if (bits_of(fast[k]) != bits_of(library[k])) {
      return std::string("self-check failed: vector ") + name + "(" + hex(bits_of(in[k])) +
             ") = " + hex(bits_of(fast[k])) + ", C library " + hex(bits_of(library[k]));
    }
  }
  return {};
}

bool forced_scalar() {
  const char* value = std::getenv("TAMRIX_SCALAR_LIBM");
  return value != nullptr && value[0] != '\0' && std::string_view(value) != "0";
}

Status scalar(std::string reason) { return {false, "scalar C library: " + std::move(reason)}; }

// The running glibc's version, or empty under another C library.
std::string_view glibc_version() {
#if defined(__GLIBC__)
  return gnu_get_libc_version();
#else
  return {};
#endif
}

Status decide() {
  if (forced_scalar()) return scalar("TAMRIX_SCALAR_LIBM is set");
  if (!vector_supported()) return scalar("the CPU lacks AVX2 or FMA");
  const std::string_view version = glibc_version();
  if (version.empty()) return scalar("the C library is not glibc");
  bool known = false;
  for (std::string_view v : verified_glibc_versions) known = known || v == version;
  if (!known) {
    return scalar("glibc " + std::string(version) + " is not a version the vector path repeats");
  }
  const std::vector<double> exp_in = exp_inputs();
  const std::vector<double> log_in = log_inputs();
  std::string mismatch = first_mismatch("exp", exp_in, exp_n_vector, exp_n_scalar);
  if (mismatch.empty()) mismatch = first_mismatch("log", log_in, log_n_vector, log_n_scalar);
  if (!mismatch.empty()) return scalar(mismatch);
  return {true, "AVX2+FMA vector exp/log, identical to glibc " + std::string(version) + " on " +
                    std::to_string(exp_in.size() + log_in.size()) + " checked inputs"};
}

// Never throws: a check that cannot run (out of memory) leaves the scalar
// path, which needs nothing.
Status decide_safely() noexcept {
  try {
    return decide();
  } catch (...) {
    return {false, "scalar C library: the self-check could not run"};
  }
}

// Made once, under decided_once, and never destroyed: pool threads may still
// read it while the process exits.
std::once_flag decided_once;
const Status* decided = nullptr;

void decide_once(Exchange exchange) {
  std::call_once(decided_once, [exchange] {
    decided = new Status(exchange != nullptr ? exchange(&decide_safely) : decide_safely());
  });
}

}  // namespace

bool vector_supported() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  return false;
#endif
}

const Status& status() {
  decide_once(nullptr);
  return *decided;
}

void settle(Exchange exchange) { decide_once(exchange); }

void exp_n_vector(const double* in, double* out, std::size_t n) { detail::exp_avx2(in, out, n); }
void log_n_vector(const double* in, double* out, std::size_t n) { detail::log_avx2(in, out, n); }

void exp_n_scalar(const double* in, double* out, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) out[k] = std::exp(in[k]);
}

void log_n_scalar(const double* in, double* out, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) out[k] = std::log(in[k]);
}

// Fewer values than one vector (a scalar call, the end of a run) go to the
// C library directly: the vector path gives the same bits, and padding a
// vector for them costs a scalar call more than the call itself.
void exp_n(const double* in, double* out, std::size_t n) {
  (n >= 4 && status().vector ? exp_n_vector : exp_n_scalar)(in, out, n);
}

void log_n(const double* in, double* out, std::size_t n) {
  (n >= 4 && status().vector ? log_n_vector : log_n_scalar)(in, out, n);
}

}  // namespace tamrix::libm
