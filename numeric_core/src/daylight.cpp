#include "tamrix/daylight.hpp"

#include <algorithm>
#include <cstddef>

#include "tamrix/libm.hpp"

namespace tamrix::meteorology {
namespace {

using Bulk = void (*)(const double*, double*, std::size_t);

// The product and clamp, acos, and the scaling to hours, over pieces that
// stay in the first-level cache between the three steps.
template <Bulk Acos>
inline void row_in_pieces(double declination_tan, const double* lat_terms, double* out,
                          std::size_t n) {
  constexpr std::size_t piece = 512;
  for (std::size_t first = 0; first < n; first += piece) {
    const std::size_t count = std::min(piece, n - first);
    double* x = out + first;
    for (std::size_t k = 0; k < count; ++k) {
      x[k] = hour_angle_cosine(declination_tan, lat_terms[first + k]);
    }
    Acos(x, x, count);
    for (std::size_t k = 0; k < count; ++k) x[k] *= hours_per_hour_angle;
  }
}

void row_baseline(double declination_tan, const double* lat_terms, double* out, std::size_t n) {
  row_in_pieces<libm::acos_n>(declination_tan, lat_terms, out, n);
}

#if defined(__x86_64__)
// Where the vector acos runs (so the CPU has AVX2), the product, clamp and
// scaling run four lanes wide as well: the same IEEE operations per element.
[[gnu::target("avx2")]] void row_avx2(double declination_tan, const double* lat_terms, double* out,
                                      std::size_t n) {
  row_in_pieces<libm::acos_n_vector>(declination_tan, lat_terms, out, n);
}
#else
constexpr auto row_avx2 = row_baseline;  // never chosen: there is no vector acos
#endif

}  // namespace

void daylight_row(double declination_tan, const double* lat_terms, double* out, std::size_t n) {
  (libm::acos_status().vector ? row_avx2 : row_baseline)(declination_tan, lat_terms, out, n);
}

}  // namespace tamrix::meteorology
