// exp, log and acos over many doubles, with exactly the C library's bits.
//
// glibc evaluates exp and log with a 128-entry table and a short polynomial,
// in a build chosen at load time by CPU features (on x86-64 with AVX2 and FMA
// an FMA build). The vector path repeats that build's operations, in its
// order, fused where it fuses, with its tables, four lanes at a time; every
// lane that glibc sends down a special path (tiny, huge, subnormal, NaN,
// infinite, x <= 0 and log close to 1) is computed by the library call
// itself. The vector path is used only where it has been shown to give the
// library's bits: see `status`.
#pragma once

#include <cstddef>
#include <string>

namespace tamrix::libm {

// Which path the bulk functions take in this process, and why.
struct Status {
  bool vector = false;
  std::string reason;
};

// Decides the path once (later calls return the same answer): scalar when
// TAMRIX_SCALAR_LIBM is set to anything but "" or "0", when the CPU lacks
// AVX2 or FMA, when the C library is not a glibc version whose exp/log the
// vector path repeats, or when the vector path disagrees with the library on
// a fixed set of hard inputs; otherwise vector. Thread-safe.
const Status& status();

// A process may hold several copies of this library (one per extension
// module), which must not take different paths. An exchange reaches a place
// the copies share: given which decision it is and the function that makes
// this copy's decision as above, it returns the process's decision,
// published earlier by another copy, or else this copy's, which it
// publishes.
enum class Path { exp_log, acos };
using Decide = Status (*)() noexcept;
using Exchange = Status (*)(Path path, Decide decide) noexcept;

// Makes this copy's exp/log and acos decisions now, through `exchange`. Call
// it before anything calls status() or acos_status(); whichever comes first
// decides, and the decision stays.
void settle(Exchange exchange);

// out[k] = exp(in[k]) and log(in[k]) for k < n, through the path `status`
// chose; `in` and `out` may be the same array.
void exp_n(const double* in, double* out, std::size_t n);
void log_n(const double* in, double* out, std::size_t n);

// The two paths on their own, for testing one against the other. The vector
// functions may only be called when `vector_supported()` (the CPU has AVX2
// and FMA).
bool vector_supported();
void exp_n_vector(const double* in, double* out, std::size_t n);
void log_n_vector(const double* in, double* out, std::size_t n);
void exp_n_scalar(const double* in, double* out, std::size_t n);
void log_n_scalar(const double* in, double* out, std::size_t n);

// acos likewise. glibc computes it by ranges of |x| (a series near 0, a
// Taylor polynomial about the centre of one of 216 subintervals up to
// 0.96875, a square root closer to 1); its path is decided by the same gates
// but its own self-check, so a failing check of one function leaves the
// other on its vector path.
const Status& acos_status();
void acos_n(const double* in, double* out, std::size_t n);
void acos_n_vector(const double* in, double* out, std::size_t n);
void acos_n_scalar(const double* in, double* out, std::size_t n);

}  // namespace tamrix::libm
