// The gates and self-check pieces every vector path of libm.hpp shares.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "libm_internal.hpp"

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

namespace tamrix::libm::detail {
namespace {

// glibc versions whose functions the vector paths repeat (checked against
// the machine code of their FMA builds). The algorithms are older, but the
// fusions depend on the compiler a distribution used.
constexpr std::string_view verified_glibc_versions[] = {"2.36"};

bool forced_scalar() {
  const char* value = std::getenv("TAMRIX_SCALAR_LIBM");
  return value != nullptr && value[0] != '\0' && std::string_view(value) != "0";
}

std::string hex(std::uint64_t b) {
  static const char digits[] = "0123456789abcdef";
  std::string s = "0x";
  for (int shift = 60; shift >= 0; shift -= 4) s += digits[(b >> shift) & 0xf];
  return s;
}

}  // namespace

std::string_view glibc_version() {
#if defined(__GLIBC__)
  return gnu_get_libc_version();
#else
  return {};
#endif
}

std::string refusal() {
  if (forced_scalar()) return "TAMRIX_SCALAR_LIBM is set";
  if (!vector_supported()) return "the CPU lacks AVX2 or FMA";
  const std::string_view version = glibc_version();
  if (version.empty()) return "the C library is not glibc";
  for (std::string_view v : verified_glibc_versions) {
    if (v == version) return {};
  }
  return "glibc " + std::string(version) + " is not a version the vector path repeats";
}

Status scalar(std::string reason) { return {false, "scalar C library: " + std::move(reason)}; }

Status decide_safely(Status (*decide)()) noexcept {
  try {
    return decide();
  } catch (...) {
    return {false, "scalar C library: the self-check could not run"};
  }
}

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

}  // namespace tamrix::libm::detail
