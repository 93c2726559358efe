// Maximum daylight hours (astronomical day length) for a day of the year and
// a latitude: solar declination from a sine of the day angle, sunset hour
// angle from the sunrise equation. Every step is written in the order of
// operations that defines the result bit for bit.
#pragma once

#include <cmath>

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

// Maximum daylight in hours, 0 to 24. Polar day and night clamp the cosine of
// the hour angle to [-1, 1], where the result is exactly 24 or 0; NaN passes
// both comparisons and stays NaN.
inline double max_daylight(double jday, double lat) {
  const double lat_term = -std::tan(lat * radians_per_degree);
  double x = std::tan(solar_declination(jday)) * lat_term;
  if (x < -1.0) {
    x = -1.0;
  } else if (x > 1.0) {
    x = 1.0;
  }
  return std::acos(x) * hours_per_hour_angle;
}

}  // namespace tamrix::meteorology
