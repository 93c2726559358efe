// Temperature and geopotential height below the lowest model level.
//
// A surface temperature is estimated from the lowest-level temperature with
// the standard lapse rate, then a hypsometric series in ln(lev / ps) is
// evaluated, with corrections for high terrain and warm surfaces (the ECMWF
// scheme, as in NCL's vinth2p_ecmwf). Every step keeps the order of
// operations that defines the result bit for bit.
#pragma once

#include <cmath>
#include <limits>

namespace tamrix::extrapolation {

inline constexpr double lapse_rate = 0.0065;                    // K/m
inline constexpr double dry_air_gas_constant = 287.04;          // J/(kg K)
inline constexpr double inverse_gravity = 0.10197671667604852;  // s^2/m
// lapse_rate * dry_air_gas_constant * inverse_gravity, stored rounded.
inline constexpr double alpha = 0.19026407890550429;
inline constexpr double one_sixth = 0.16666666666666666;

// Surface temperature T* from the temperature at the lowest level.
inline double surface_temperature(double t_bot, double p_sfc, double ps) {
  return ((ps / p_sfc + -1.0) * alpha + 1.0) * t_bot;
}

// Quantities shared by both schemes at one surface point.
struct Surface {
  double t_star;     // surface temperature, K
  double height;     // surface height, m
  double t_sea;      // sea-level temperature estimate T0, K
  double log_ratio;  // ln(lev / ps)
};

// The argument of the one log() of both schemes. The kernels are split at
// that log() so that the array forms can take many logarithms at once (see
// batched.hpp).
inline double level_ratio(double lev, double ps) { return lev / ps; }

inline Surface surface(double t_bot, double p_sfc, double ps, double phi_sfc, double log_ratio) {
  Surface s;
  s.t_star = surface_temperature(t_bot, p_sfc, ps);
  s.height = inverse_gravity * phi_sfc;
  s.t_sea = lapse_rate * s.height + s.t_star;
  s.log_ratio = log_ratio;
  return s;
}

// The temperature the lapse correction aims at over high terrain: T0 limited
// to 298 K above 2500 m, blended linearly with T0 across 2000-2500 m. NaN
// below 2000 m, where it is not used.
inline double terrain_target_temperature(double height, double t_sea) {
  const double plateau = t_sea < 298.0 ? t_sea : 298.0;
  if (2000.0 <= height && height <= 2500.0) {
    return ((height - 2000.0) * plateau + (2500.0 - height) * t_sea) * 0.002;
  }
  if (height > 2500.0) return plateau;
  return std::numeric_limits<double>::quiet_NaN();
}

inline double temperature_from_log(double t_bot, double p_sfc, double ps, double phi_sfc,
                                   double log_ratio) {
  const Surface s = surface(t_bot, p_sfc, ps, phi_sfc, log_ratio);
  const double target = terrain_target_temperature(s.height, s.t_sea);
  double a = 0.0;
  if (s.height < 2000.0) {
    a = s.log_ratio * alpha;
  } else if (target >= s.t_star) {
    a = s.log_ratio * (((target - s.t_star) * dry_air_gas_constant) / phi_sfc);
  }
  const double c2 = (0.5 * a) * a;
  const double c3 = ((one_sixth * a) * a) * a;
  return s.t_star * (c3 + ((1.0 + a) + c2));
}

inline double geopotential_height_from_log(double t_bot, double p_sfc, double ps, double phi_sfc,
                                           double log_ratio) {
  const Surface s = surface(t_bot, p_sfc, ps, phi_sfc, log_ratio);
  const bool warm_sea = s.t_sea > 290.5;
  const bool warm_surface = s.t_star > 290.5;
  double t_surface = s.t_star;
  double k = alpha;
  if (warm_sea && warm_surface) {
    k = 0.0;
    t_surface = (s.t_star + 290.5) * 0.5;
  } else if (warm_sea) {
    k = (290.5 - s.t_star) * (dry_air_gas_constant / phi_sfc);
  }
  if (t_surface < 255.0) t_surface = (t_surface + 255.0) * 0.5;
  const double a = k * s.log_ratio;
  const double scale = ((t_surface * dry_air_gas_constant) * inverse_gravity) * s.log_ratio;
  const double series = ((one_sixth * a) * a) + (0.5 * a + 1.0);
  return s.height - series * scale;
}

inline double temperature(double t_bot, double lev, double p_sfc, double ps, double phi_sfc) {
  return temperature_from_log(t_bot, p_sfc, ps, phi_sfc, std::log(level_ratio(lev, ps)));
}

inline double geopotential_height(double t_bot, double lev, double p_sfc, double ps,
                                  double phi_sfc) {
  return geopotential_height_from_log(t_bot, p_sfc, ps, phi_sfc, std::log(level_ratio(lev, ps)));
}

}  // namespace tamrix::extrapolation
