#include "tamrix/batched.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

#include "tamrix/extrapolation.hpp"
#include "tamrix/humidity.hpp"
#include "tamrix/lanes.hpp"
#include "tamrix/libm.hpp"
#include "tamrix/parallel.hpp"
#include "tamrix/psychrometrics.hpp"

namespace tamrix::batched {
namespace {

namespace met = tamrix::meteorology;
namespace ext = tamrix::extrapolation;

// Elements per block: the exp/log arguments of a block stay in L1 between
// the three passes.
constexpr std::size_t block = 512;

using Transform = void (*)(const double*, double*, std::size_t);

// For each block of [0, n): values[k] = argument(first + k), then
// values = transform(values), then finish(first, count, values).
template <class Argument, class Finish>
void in_blocks(std::size_t n, Transform transform, Argument argument, Finish finish) {
  double values[block];
  for (std::size_t first = 0; first < n; first += block) {
    const std::size_t count = std::min(block, n - first);
    for (std::size_t k = 0; k < count; ++k) values[k] = argument(first + k);
    transform(values, values, count);
    finish(first, count, values);
  }
}

// A kernel of several arrays can meet two different NaNs in one commutative
// operation, where the NaN that survives depends on the operand order a
// compiled copy happens to use. Its finishing step therefore runs as Lanes,
// in one compiled copy that every element goes through: one instruction per
// operation treats both lanes alike, and an odd last element is padded to a
// pair rather than finished by separate scalar code.
template <std::size_t Inputs>
using PairFinish = void (*)(const std::array<const double*, Inputs>& in, double* out,
                            std::size_t pairs);

template <std::size_t Inputs>
void finish_in_pairs(PairFinish<Inputs> finish, const std::array<const double*, Inputs>& in,
                     double* out, std::size_t count) {
  finish(in, out, count / 2);
  if (count % 2 == 0) return;
  const std::size_t last = count - 1;
  double padded[Inputs][lane_count] = {};
  std::array<const double*, Inputs> padded_in;
  for (std::size_t i = 0; i < Inputs; ++i) {
    padded[i][0] = in[i][last];
    padded_in[i] = padded[i];
  }
  double result[lane_count];
  finish(padded_in, result, 1);
  out[last] = result[0];
}

TAMRIX_ONE_COMPILED_COPY void dewtemp_pairs(const std::array<const double*, 2>& in, double* out,
                                            std::size_t pairs) {
  const auto [tk, log_rh] = in;
  for (std::size_t k = 0; k < pairs * lane_count; k += lane_count) {
    store_lanes(out + k, met::dewtemp_from_log<Lanes>(load_lanes(tk + k), load_lanes(log_rh + k)));
  }
}

TAMRIX_ONE_COMPILED_COPY void relhum_pairs(const std::array<const double*, 3>& in, double* out,
                                           std::size_t pairs) {
  const auto [exponential, w, p] = in;
  for (std::size_t k = 0; k < pairs * lane_count; k += lane_count) {
    store_lanes(out + k, met::relhum_from_exponential<Lanes>(load_lanes(exponential + k),
                                                             load_lanes(w + k), load_lanes(p + k)));
  }
}

template <Lanes (*FromLog)(Lanes, Lanes, Lanes, Lanes, Lanes)>
TAMRIX_ONE_COMPILED_COPY void extrapolation_pairs(const std::array<const double*, 5>& in,
                                                  double* out, std::size_t pairs) {
  const auto [t_bot, p_sfc, ps, phi_sfc, log_ratio] = in;
  for (std::size_t k = 0; k < pairs * lane_count; k += lane_count) {
    store_lanes(out + k, FromLog(load_lanes(t_bot + k), load_lanes(p_sfc + k), load_lanes(ps + k),
                                 load_lanes(phi_sfc + k), load_lanes(log_ratio + k)));
  }
}

template <double (*Exponent)(double)>
void relhum(const double* t, const double* w, const double* p, double* out, std::size_t n) {
  in_blocks(
      n, libm::exp_n, [t](std::size_t k) { return Exponent(t[k]); },
      [w, p, out](std::size_t first, std::size_t count, const double* exponential) {
        finish_in_pairs<3>(relhum_pairs, {exponential, w + first, p + first}, out + first, count);
      });
}

template <Lanes (*FromExponential)(Lanes, Lanes)>
TAMRIX_ONE_COMPILED_COPY void saturation_pairs(const std::array<const double*, 2>& in, double* out,
                                               std::size_t pairs) {
  const auto [temperature_f, exponential] = in;
  for (std::size_t k = 0; k < pairs * lane_count; k += lane_count) {
    store_lanes(out + k,
                FromExponential(load_lanes(temperature_f + k), load_lanes(exponential + k)));
  }
}

template <Lanes (*FromExponential)(Lanes, Lanes)>
void saturation(const double* temperature_f, double* out, std::size_t n) {
  in_blocks(
      n, libm::exp_n,
      [temperature_f](std::size_t k) { return met::saturation_exponent(temperature_f[k]); },
      [temperature_f, out](std::size_t first, std::size_t count, const double* exponential) {
        finish_in_pairs<2>(saturation_pairs<FromExponential>, {temperature_f + first, exponential},
                           out + first, count);
      });
}

template <Lanes (*FromLog)(Lanes, Lanes, Lanes, Lanes, Lanes)>
void extrapolate(const double* t_bot, double lev, const double* p_sfc, const double* ps,
                 const double* phi_sfc, double* out, std::size_t n) {
  in_blocks(
      n, libm::log_n, [lev, ps](std::size_t k) { return ext::level_ratio(lev, ps[k]); },
      [=](std::size_t first, std::size_t count, const double* log_ratio) {
        finish_in_pairs<5>(extrapolation_pairs<FromLog>,
                           {t_bot + first, p_sfc + first, ps + first, phi_sfc + first, log_ratio},
                           out + first, count);
      });
}

}  // namespace

void dewtemp(const double* tk, const double* rh, double* out, std::size_t n) {
  in_blocks(
      n, libm::log_n, [rh](std::size_t k) { return met::dewtemp_log_argument(rh[k]); },
      [tk, out](std::size_t first, std::size_t count, const double* log_rh) {
        finish_in_pairs<2>(dewtemp_pairs, {tk + first, log_rh}, out + first, count);
      });
}

void relhum_ice(const double* t, const double* w, const double* p, double* out, std::size_t n) {
  relhum<met::relhum_ice_exponent>(t, w, p, out, n);
}

void relhum_water(const double* t, const double* w, const double* p, double* out, std::size_t n) {
  relhum<met::relhum_water_exponent>(t, w, p, out, n);
}

void saturation_vapor_pressure(const double* temperature_f, double* out, std::size_t n) {
  saturation<met::saturation_vapor_pressure_from_exponential<Lanes>>(temperature_f, out, n);
}

void saturation_vapor_pressure_slope(const double* temperature_f, double* out, std::size_t n) {
  saturation<met::saturation_vapor_pressure_slope_from_exponential<Lanes>>(temperature_f, out, n);
}

void temp_extrapolate(const double* t_bot, double lev, const double* p_sfc, const double* ps,
                      const double* phi_sfc, double* out, std::size_t n) {
  extrapolate<ext::temperature_from_log<Lanes>>(t_bot, lev, p_sfc, ps, phi_sfc, out, n);
}

void geo_height_extrapolate(const double* t_bot, double lev, const double* p_sfc, const double* ps,
                            const double* phi_sfc, double* out, std::size_t n) {
  extrapolate<ext::geopotential_height_from_log<Lanes>>(t_bot, lev, p_sfc, ps, phi_sfc, out, n);
}

double dewtemp_point(double tk, double rh) {
  double out;
  dewtemp(&tk, &rh, &out, 1);
  return out;
}

double relhum_ice_point(double t, double w, double p) {
  double out;
  relhum_ice(&t, &w, &p, &out, 1);
  return out;
}

double relhum_water_point(double t, double w, double p) {
  double out;
  relhum_water(&t, &w, &p, &out, 1);
  return out;
}

double saturation_vapor_pressure_point(double temperature_f) {
  double out;
  saturation_vapor_pressure(&temperature_f, &out, 1);
  return out;
}

double saturation_vapor_pressure_slope_point(double temperature_f) {
  double out;
  saturation_vapor_pressure_slope(&temperature_f, &out, 1);
  return out;
}

double temp_extrapolate_point(double t_bot, double lev, double p_sfc, double ps, double phi_sfc) {
  double out;
  temp_extrapolate(&t_bot, lev, &p_sfc, &ps, &phi_sfc, &out, 1);
  return out;
}

double geo_height_extrapolate_point(double t_bot, double lev, double p_sfc, double ps,
                                    double phi_sfc) {
  double out;
  geo_height_extrapolate(&t_bot, lev, &p_sfc, &ps, &phi_sfc, &out, 1);
  return out;
}

}  // namespace tamrix::batched
