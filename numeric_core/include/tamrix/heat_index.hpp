// Heat index (apparent temperature) in degrees Fahrenheit from air
// temperature in degrees Fahrenheit and relative humidity in percent: the
// NWS simple index, replaced by the Rothfusz regression once it reaches a
// threshold, with the NWS low- and high-humidity adjustments for the standard
// coefficients. Every step is written in the order of operations that
// defines the result bit for bit.
#pragma once

#include <cmath>

namespace tamrix::meteorology {

// One regression coefficient set: c1 + c2 T + c3 RH + c4 T RH + c5 T^2 +
// c6 RH^2 + c7 T^2 RH + c8 T RH^2 + c9 T^2 RH^2, used once the simple index
// reaches `threshold`.
struct HeatIndexCoefficients {
  double c1, c2, c3, c4, c5, c6, c7, c8, c9;
  double threshold;
  bool humidity_adjustments;
};

// Rothfusz's coefficients, threshold 79 (not 80), with the adjustments.
inline constexpr HeatIndexCoefficients heat_index_standard = {
    -42.379,    2.04901523, 10.14333127, -0.22475541, -0.00683783, -0.05481717,
    0.00122874, 0.00085282, -1.99e-06,   79.0,        true,
};

// The alternate fit: threshold 70, no c9 term and no adjustments.
inline constexpr HeatIndexCoefficients heat_index_alternate = {
    0.363445176, 0.988622465, 4.777114035, -0.114037667, -0.000850208, -0.020716198,
    0.000687678, 0.000274954, 0.0,         70.0,         false,
};

// Below this temperature (degF) the heat index is the temperature itself.
inline constexpr double heat_index_lower_limit_f = 40.0;

// The linear first guess, halved sum of its parts in this order.
inline double heat_index_simple(double t, double rh) {
  return (0.094 * rh + ((t - 68.0) * 1.2 + 61.0) + t) * 0.5;
}

// Every product is formed left to right, coefficient first, and the terms are
// added one at a time. A zero c9 is still multiplied out so that infinite
// inputs give NaN as the full regression would.
inline double heat_index_regression(const HeatIndexCoefficients& c, double t, double rh) {
  double hi = c.c1 + c.c2 * t;
  hi = hi + c.c3 * rh;
  hi = hi + c.c4 * t * rh;
  hi = hi + c.c5 * t * t;
  hi = hi + c.c6 * rh * rh;
  hi = hi + c.c7 * t * t * rh;
  hi = hi + c.c8 * t * rh * rh;
  hi = hi + c.c9 * t * t * rh * rh;
  return hi;
}

// Dry-air adjustment window: 80..112 degF and RH at most 13 %. Inside it
// |T - 95| <= 17, so the root is real.
inline double heat_index_dry_adjustment(double t, double rh) {
  return std::sqrt((17.0 - std::fabs(t - 95.0)) / 17.0) * ((13.0 - rh) * -0.25);
}

// Humid-air adjustment window: 80..87 degF and RH above 85 %.
inline double heat_index_humid_adjustment(double t, double rh) {
  return ((rh - 85.0) / 10.0) * ((87.0 - t) / 5.0);
}

// Comparisons are false for NaN, so a NaN never takes a shortcut or an
// adjustment and propagates through the regression.
inline double heat_index(double t, double rh, bool alternate_coeffs) {
  if (t < heat_index_lower_limit_f) return t;
  const HeatIndexCoefficients& c = alternate_coeffs ? heat_index_alternate : heat_index_standard;
  const double simple = heat_index_simple(t, rh);
  if (simple < c.threshold) return simple;
  double hi = heat_index_regression(c, t, rh);
  if (!c.humidity_adjustments) return hi;
  if (t >= 80.0 && t <= 112.0 && rh <= 13.0) {
    hi = hi + heat_index_dry_adjustment(t, rh);
  } else if (t >= 80.0 && t <= 87.0 && rh > 85.0) {
    hi = hi + heat_index_humid_adjustment(t, rh);
  }
  return hi;
}

}  // namespace tamrix::meteorology
