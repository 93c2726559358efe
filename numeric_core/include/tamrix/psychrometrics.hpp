// Psychrometric constant and saturation vapour pressure (FAO-56 style, with
// temperatures in degrees Fahrenheit). Every step is written in the order of
// operations that defines the result bit for bit.
#pragma once

#include <cmath>
#include <limits>

#include "tamrix/lanes.hpp"

namespace tamrix::meteorology {

// Pressure in kPa to the psychrometric constant in kPa/degC.
inline double psychrometric_constant(double pressure_kpa) { return pressure_kpa * 0.00066474; }

// Degrees Fahrenheit to Celsius: add -32, times 5, divided by 9 (this exact
// order; (T - 32) / 1.8 differs in the last bit).
template <class T>
T fahrenheit_to_celsius(T temperature_f) {
  return ((temperature_f + (-32.0)) * 5.0) / 9.0;
}

// Tetens exponent, 17.27 c / (c + 237.3) on the Celsius temperature. The
// kernels below are split at their exp() so that the array forms can take
// many exponentials at once (see batched.hpp).
inline double saturation_exponent(double temperature_f) {
  const double c = fahrenheit_to_celsius(temperature_f);
  return (17.27 * c) / (c + 237.3);
}

// Tetens saturation vapour pressure over water, kPa, from exp() of its
// exponent; NaN at or below 0 degC. T is double or Lanes: the value is
// computed for every temperature and then replaced, the same bits as
// returning early.
template <class T>
T saturation_vapor_pressure_from_exponential(T temperature_f, T exponential) {
  const T c = fahrenheit_to_celsius(temperature_f);
  const T es = exponential * 0.6108;
  return pick(c > 0.0, es, splat<T>(std::numeric_limits<double>::quiet_NaN()));
}

// Slope of the saturation vapour pressure curve, kPa/degC, from exp() of the
// exponent; NaN at or below 0 degC.
template <class T>
T saturation_vapor_pressure_slope_from_exponential(T temperature_f, T exponential) {
  const T c = fahrenheit_to_celsius(temperature_f);
  const T d = c + 237.3;
  const T slope = ((exponential * 0.6108) * 4096.0) / (d * d);
  return pick(c > 0.0, slope, splat<T>(std::numeric_limits<double>::quiet_NaN()));
}

// The exp() is taken for every temperature, where the result is NaN too:
// its value is then unused, and exp() has no effect beyond its value.
inline double saturation_vapor_pressure(double temperature_f) {
  return saturation_vapor_pressure_from_exponential<double>(
      temperature_f, std::exp(saturation_exponent(temperature_f)));
}

inline double saturation_vapor_pressure_slope(double temperature_f) {
  return saturation_vapor_pressure_slope_from_exponential<double>(
      temperature_f, std::exp(saturation_exponent(temperature_f)));
}

}  // namespace tamrix::meteorology
