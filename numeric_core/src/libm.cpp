#include "tamrix/libm.hpp"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "libm_internal.hpp"

namespace tamrix::libm {
namespace {

using namespace detail;

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

Status decide() {
  if (std::string refused = refusal(); !refused.empty()) return scalar(std::move(refused));
  const std::vector<double> exp_in = exp_inputs();
  const std::vector<double> log_in = log_inputs();
  std::string mismatch = first_mismatch("exp", exp_in, exp_n_vector, exp_n_scalar);
  if (mismatch.empty()) mismatch = first_mismatch("log", log_in, log_n_vector, log_n_scalar);
  if (!mismatch.empty()) return scalar(mismatch);
  return {true, "AVX2+FMA vector exp/log, identical to glibc " + std::string(glibc_version()) +
                    " on " + std::to_string(exp_in.size() + log_in.size()) + " checked inputs"};
}

Status decide_exp_log() noexcept { return decide_safely(decide); }

Decision exp_log{Path::exp_log, &decide_exp_log};

}  // namespace

bool vector_supported() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  return false;
#endif
}

const Status& status() { return exp_log.made(); }

void settle(Exchange exchange) {
  exp_log.made(exchange);
  acos_decision().made(exchange);
}

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
