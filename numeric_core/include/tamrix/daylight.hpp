// Maximum daylight hours (astronomical day length) for a day of the year and
// a latitude: solar declination from a sine of the day angle, sunset hour
// angle from the sunrise equation. Every step is written in the order of
// operations that defines the result bit for bit.
#pragma once

#include <cmath>
#include <cstddef>

namespace tamrix::meteorology {

inline constexpr double day_angle_per_day = 0.01721420632103996;  // 2 pi / 365, rad/day
inline constexpr double day_angle_offset = -1.39;                 // rad
inline constexpr double declination_amplitude = 0.409;            // rad
inline constexpr double radians_per_degree = 0.017453292519943295;
inline constexpr double hours_per_hour_angle = 7.639437268410976;  // 24 / pi, h/rad

// Solar declination in radians for day number `jday` (1 = 1 January).
inline double solar_declination(double jday) {
  return std::sin(jday * day_angle_per_day + day_angle_offset) * declination_amplitude;
}

// tan of the solar declination: the factor a day contributes.
inline double declination_tangent(double jday) { return std::tan(solar_declination(jday)); }

// -tan of the latitude: the factor a latitude contributes.
inline double latitude_term(double lat) { return -std::tan(lat * radians_per_degree); }

// The cosine of the sunset hour angle from the two factors, clamped to
// [-1, 1] for polar day and night; NaN passes both comparisons and stays NaN.
// When both factors are NaN the day's NaN is the one kept, whatever order a
// compiler gives the operands of the product, so that every compiled copy
// (the scalar form's, the grid's) gives the same bits.
inline double hour_angle_cosine(double declination_tan, double lat_term) {
  double x = declination_tan != declination_tan ? declination_tan + declination_tan
                                                : declination_tan * lat_term;
  if (x < -1.0) {
    x = -1.0;
  } else if (x > 1.0) {
    x = 1.0;
  }
  return x;
}

// Maximum daylight in hours, 0 to 24, from the two factors; exactly 24 or 0
// at the clamp bounds.
inline double daylight_from_factors(double declination_tan, double lat_term) {
  return std::acos(hour_angle_cosine(declination_tan, lat_term)) * hours_per_hour_angle;
}

// daylight_from_factors(declination_tan, lat_terms[k]) for k < n into out:
// one day's row of a grid, with the C library's acos bits computed four at a
// time where libm::acos_status() allows.
void daylight_row(double declination_tan, const double* lat_terms, double* out, std::size_t n);

// Maximum daylight in hours for one day and latitude. A grid of days and
// latitudes computes each factor once per day and once per latitude and
// combines them per element: the same operations, so the same bits.
inline double max_daylight(double jday, double lat) {
  const double lat_term = latitude_term(lat);
  return daylight_from_factors(declination_tangent(jday), lat_term);
}

}  // namespace tamrix::meteorology
