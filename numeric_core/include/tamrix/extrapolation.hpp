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

#include "tamrix/lanes.hpp"

namespace tamrix::extrapolation {

inline constexpr double lapse_rate = 0.0065;                    // K/m
inline constexpr double dry_air_gas_constant = 287.04;          // J/(kg K)
inline constexpr double inverse_gravity = 0.10197671667604852;  // s^2/m
// lapse_rate * dry_air_gas_constant * inverse_gravity, stored rounded.
inline constexpr double alpha = 0.19026407890550429;
inline constexpr double one_sixth = 0.16666666666666666;

// The kernels are templates over double and Lanes: every branch is a
// per-lane choice between values computed in full (`pick`), which gives the
// branch's value bit for bit, so that many points can be computed side by
// side (see batched.hpp).

// Surface temperature T* from the temperature at the lowest level.
template <class T>
T surface_temperature(T t_bot, T p_sfc, T ps) {
  return ((ps / p_sfc + -1.0) * alpha + 1.0) * t_bot;
}

// Quantities shared by both schemes at one surface point.
template <class T>
struct Surface {
  T t_star;     // surface temperature, K
  T height;     // surface height, m
  T t_sea;      // sea-level temperature estimate T0, K
  T log_ratio;  // ln(lev / ps)
};

// The argument of the one log() of both schemes. The kernels are split at
// that log() so that the array forms can take many logarithms at once.
inline double level_ratio(double lev, double ps) { return lev / ps; }

template <class T>
Surface<T> surface(T t_bot, T p_sfc, T ps, T phi_sfc, T log_ratio) {
  Surface<T> s;
  s.t_star = surface_temperature(t_bot, p_sfc, ps);
  s.height = inverse_gravity * phi_sfc;
  s.t_sea = lapse_rate * s.height + s.t_star;
  s.log_ratio = log_ratio;
  return s;
}

// The temperature the lapse correction aims at over high terrain: T0 limited
// to 298 K above 2500 m, blended linearly with T0 across 2000-2500 m. NaN
// below 2000 m, where it is not used.
template <class T>
T terrain_target_temperature(T height, T t_sea) {
  const T plateau = pick(t_sea < 298.0, t_sea, splat<T>(298.0));
  const T blend = ((height - 2000.0) * plateau + (2500.0 - height) * t_sea) * 0.002;
  const T nan = splat<T>(std::numeric_limits<double>::quiet_NaN());
  return pick((2000.0 <= height) & (height <= 2500.0), blend, pick(height > 2500.0, plateau, nan));
}

template <class T>
T temperature_from_log(T t_bot, T p_sfc, T ps, T phi_sfc, T log_ratio) {
  const Surface<T> s = surface(t_bot, p_sfc, ps, phi_sfc, log_ratio);
  const T target = terrain_target_temperature(s.height, s.t_sea);
  const T low = s.log_ratio * alpha;
  const T high = s.log_ratio * (((target - s.t_star) * dry_air_gas_constant) / phi_sfc);
  const T a = pick(s.height < 2000.0, low, pick(target >= s.t_star, high, splat<T>(0.0)));
  const T c2 = (0.5 * a) * a;
  const T c3 = ((one_sixth * a) * a) * a;
  return s.t_star * (c3 + ((1.0 + a) + c2));
}

template <class T>
T geopotential_height_from_log(T t_bot, T p_sfc, T ps, T phi_sfc, T log_ratio) {
  const Surface<T> s = surface(t_bot, p_sfc, ps, phi_sfc, log_ratio);
  const auto warm_sea = s.t_sea > 290.5;
  const auto warm_surface = s.t_star > 290.5;
  // Both warm: no lapse rate, the mean of T* and 290.5 K. Only the sea
  // estimate warm: the lapse rate that brings T* to 290.5 K at sea level.
  const T both_k = splat<T>(0.0);
  const T both_t = (s.t_star + 290.5) * 0.5;
  const T sea_k = (290.5 - s.t_star) * (dry_air_gas_constant / phi_sfc);
  const T k = pick(warm_sea & warm_surface, both_k, pick(warm_sea, sea_k, splat<T>(alpha)));
  T t_surface = pick(warm_sea & warm_surface, both_t, s.t_star);
  t_surface = pick(t_surface < 255.0, (t_surface + 255.0) * 0.5, t_surface);
  const T a = k * s.log_ratio;
  const T scale = ((t_surface * dry_air_gas_constant) * inverse_gravity) * s.log_ratio;
  const T series = ((one_sixth * a) * a) + (0.5 * a + 1.0);
  return s.height - series * scale;
}

inline double temperature(double t_bot, double lev, double p_sfc, double ps, double phi_sfc) {
  return temperature_from_log<double>(t_bot, p_sfc, ps, phi_sfc, std::log(level_ratio(lev, ps)));
}

inline double geopotential_height(double t_bot, double lev, double p_sfc, double ps,
                                  double phi_sfc) {
  return geopotential_height_from_log<double>(t_bot, p_sfc, ps, phi_sfc,
                                              std::log(level_ratio(lev, ps)));
}

}  // namespace tamrix::extrapolation
