// Between libm.cpp and the AVX2 unit.
#pragma once

#include <cstddef>

namespace tamrix::libm::detail {

// The vector path; callable only on a CPU with AVX2 and FMA.
void exp_avx2(const double* in, double* out, std::size_t n);
void log_avx2(const double* in, double* out, std::size_t n);

}  // namespace tamrix::libm::detail
