#include "tamrix/batched.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>

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
// values = transform(values), then finish(first, count, values). Every
// argument is a function of one input (or the shared level divided by one),
// so whichever compiled copy of its loop runs, it gives the same bits.
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
// compiled copy happens to use. The finishing steps therefore run as vectors
// of doubles, in one compiled copy that every element goes through: one
// instruction per operation treats all lanes alike, and the last elements
// are padded to a full vector rather than finished by separate scalar code.
// With the vector exp/log path (so on AVX2) that copy works on four lanes,
// else on two; the choice is made once per process (four_lanes), so the
// scalar forms (one padded element) and the array forms always share it.
// Quads values live only inside finish_quads, compiled for AVX2, never in a
// call between functions, which is what -Wpsabi (off for this file) is about.
using Quads = double __attribute__((vector_size(32)));

template <class V>
V load(const double* source) {
  V v;
  std::memcpy(&v, source, sizeof v);
  return v;
}

template <class V>
void store(double* destination, V v) {
  std::memcpy(destination, &v, sizeof v);
}

// out[k] = Kernel::apply(in[0][k], in[1][k], ...) for `groups` whole vectors.
template <class V, class Kernel, std::size_t Inputs>
inline void finish_vectors(const std::array<const double*, Inputs>& in, double* out,
                           std::size_t groups) {
  constexpr std::size_t width = sizeof(V) / sizeof(double);
  for (std::size_t k = 0; k < groups * width; k += width) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      store(out + k, Kernel::template apply<V>(load<V>(in[I] + k)...));
    }(std::make_index_sequence<Inputs>{});
  }
}

template <class Kernel, std::size_t Inputs>
TAMRIX_ONE_COMPILED_COPY void finish_pairs(const std::array<const double*, Inputs>& in, double* out,
                                           std::size_t groups) {
  finish_vectors<Lanes, Kernel>(in, out, groups);
}

#if defined(__x86_64__)
// Everything inlined, so the whole step is compiled for AVX2 in this copy.
template <class Kernel, std::size_t Inputs>
TAMRIX_ONE_COMPILED_COPY [[gnu::target("avx2"), gnu::flatten]] void finish_quads(
    const std::array<const double*, Inputs>& in, double* out, std::size_t groups) {
  finish_vectors<Quads, Kernel>(in, out, groups);
}
#endif

// Four lanes exactly where exp/log take the vector path (which needs AVX2):
// with TAMRIX_SCALAR_LIBM set, a process computes as one without AVX2 would.
bool four_lanes() { return libm::status().vector; }

// out[k] for k < count through the process's finishing copy.
template <class Kernel, std::size_t Inputs>
void finish(const std::array<const double*, Inputs>& in, double* out, std::size_t count) {
  auto step = finish_pairs<Kernel, Inputs>;
  std::size_t width = lane_count;
#if defined(__x86_64__)
  if (four_lanes()) {
    step = finish_quads<Kernel, Inputs>;
    width = sizeof(Quads) / sizeof(double);
  }
#endif
  const std::size_t whole = count / width;
  step(in, out, whole);
  const std::size_t done = whole * width;
  if (done == count) return;
  double padded[Inputs][sizeof(Quads) / sizeof(double)] = {};
  std::array<const double*, Inputs> padded_in;
  for (std::size_t i = 0; i < Inputs; ++i) {
    std::memcpy(padded[i], in[i] + done, (count - done) * sizeof(double));
    padded_in[i] = padded[i];
  }
  double result[sizeof(Quads) / sizeof(double)];
  step(padded_in, result, 1);
  std::memcpy(out + done, result, (count - done) * sizeof(double));
}

struct Dewtemp {
  template <class V>
  static V apply(V tk, V log_rh) {
    return met::dewtemp_from_log<V>(tk, log_rh);
  }
};

struct Relhum {
  template <class V>
  static V apply(V exponential, V w, V p) {
    return met::relhum_from_exponential<V>(exponential, w, p);
  }
};

struct SaturationPressure {
  template <class V>
  static V apply(V temperature_f, V exponential) {
    return met::saturation_vapor_pressure_from_exponential<V>(temperature_f, exponential);
  }
};

struct SaturationSlope {
  template <class V>
  static V apply(V temperature_f, V exponential) {
    return met::saturation_vapor_pressure_slope_from_exponential<V>(temperature_f, exponential);
  }
};

struct Temperature {
  template <class V>
  static V apply(V t_bot, V p_sfc, V ps, V phi_sfc, V log_ratio) {
    return ext::temperature_from_log<V>(t_bot, p_sfc, ps, phi_sfc, log_ratio);
  }
};

struct GeopotentialHeight {
  template <class V>
  static V apply(V t_bot, V p_sfc, V ps, V phi_sfc, V log_ratio) {
    return ext::geopotential_height_from_log<V>(t_bot, p_sfc, ps, phi_sfc, log_ratio);
  }
};

template <double (*Exponent)(double)>
void relhum(const double* t, const double* w, const double* p, double* out, std::size_t n) {
  in_blocks(
      n, libm::exp_n, [t](std::size_t k) { return Exponent(t[k]); },
      [w, p, out](std::size_t first, std::size_t count, const double* exponential) {
        finish<Relhum, 3>({exponential, w + first, p + first}, out + first, count);
      });
}

template <class Kernel>
void saturation(const double* temperature_f, double* out, std::size_t n) {
  in_blocks(
      n, libm::exp_n,
      [temperature_f](std::size_t k) { return met::saturation_exponent(temperature_f[k]); },
      [temperature_f, out](std::size_t first, std::size_t count, const double* exponential) {
        finish<Kernel, 2>({temperature_f + first, exponential}, out + first, count);
      });
}

template <class Kernel>
void extrapolate(const double* t_bot, double lev, const double* p_sfc, const double* ps,
                 const double* phi_sfc, double* out, std::size_t n) {
  in_blocks(
      n, libm::log_n, [lev, ps](std::size_t k) { return ext::level_ratio(lev, ps[k]); },
      [=](std::size_t first, std::size_t count, const double* log_ratio) {
        finish<Kernel, 5>({t_bot + first, p_sfc + first, ps + first, phi_sfc + first, log_ratio},
                          out + first, count);
      });
}

// The same with a level per element: the log argument lev[k] / ps[k] is the
// one-level form's quotient, and the finishing step the same compiled copy.
template <class Kernel>
void extrapolate_levels(const double* t_bot, const double* lev, const double* p_sfc,
                        const double* ps, const double* phi_sfc, double* out, std::size_t n) {
  in_blocks(
      n, libm::log_n, [lev, ps](std::size_t k) { return ext::level_ratio(lev[k], ps[k]); },
      [=](std::size_t first, std::size_t count, const double* log_ratio) {
        finish<Kernel, 5>({t_bot + first, p_sfc + first, ps + first, phi_sfc + first, log_ratio},
                          out + first, count);
      });
}

// A scalar call without a NaN input meets one NaN at most: the default NaN
// that invalid operations make (the NaN constant of the extrapolation is
// then never selected). Every compiled copy of a kernel gives such a call the
// same bits, so it takes the plain one-lane kernel, with the C library's
// exp/log, whose bits the vector path repeats. Only a call with a NaN input,
// where two different NaNs may meet, needs the padded vector step that the
// array form takes (see `finish`).
template <class... Values>
bool any_nan(Values... values) {
  return (std::isnan(values) || ...);
}

}  // namespace

void dewtemp(const double* tk, const double* rh, double* out, std::size_t n) {
  in_blocks(
      n, libm::log_n, [rh](std::size_t k) { return met::dewtemp_log_argument(rh[k]); },
      [tk, out](std::size_t first, std::size_t count, const double* log_rh) {
        finish<Dewtemp, 2>({tk + first, log_rh}, out + first, count);
      });
}

void relhum_ice(const double* t, const double* w, const double* p, double* out, std::size_t n) {
  relhum<met::relhum_ice_exponent>(t, w, p, out, n);
}

void relhum_water(const double* t, const double* w, const double* p, double* out, std::size_t n) {
  relhum<met::relhum_water_exponent>(t, w, p, out, n);
}

void saturation_vapor_pressure(const double* temperature_f, double* out, std::size_t n) {
  saturation<SaturationPressure>(temperature_f, out, n);
}

void saturation_vapor_pressure_slope(const double* temperature_f, double* out, std::size_t n) {
  saturation<SaturationSlope>(temperature_f, out, n);
}

void temp_extrapolate(const double* t_bot, double lev, const double* p_sfc, const double* ps,
                      const double* phi_sfc, double* out, std::size_t n) {
  extrapolate<Temperature>(t_bot, lev, p_sfc, ps, phi_sfc, out, n);
}

void geo_height_extrapolate(const double* t_bot, double lev, const double* p_sfc, const double* ps,
                            const double* phi_sfc, double* out, std::size_t n) {
  extrapolate<GeopotentialHeight>(t_bot, lev, p_sfc, ps, phi_sfc, out, n);
}

void temp_extrapolate_levels(const double* t_bot, const double* lev, const double* p_sfc,
                             const double* ps, const double* phi_sfc, double* out, std::size_t n) {
  extrapolate_levels<Temperature>(t_bot, lev, p_sfc, ps, phi_sfc, out, n);
}

void geo_height_extrapolate_levels(const double* t_bot, const double* lev, const double* p_sfc,
                                   const double* ps, const double* phi_sfc, double* out,
                                   std::size_t n) {
  extrapolate_levels<GeopotentialHeight>(t_bot, lev, p_sfc, ps, phi_sfc, out, n);
}

double dewtemp_point(double tk, double rh) {
  if (!any_nan(tk, rh)) return met::dewtemp(tk, rh);
  double out;
  dewtemp(&tk, &rh, &out, 1);
  return out;
}

double relhum_ice_point(double t, double w, double p) {
  if (!any_nan(t, w, p)) return met::relhum_ice(t, w, p);
  double out;
  relhum_ice(&t, &w, &p, &out, 1);
  return out;
}

double relhum_water_point(double t, double w, double p) {
  if (!any_nan(t, w, p)) return met::relhum_water(t, w, p);
  double out;
  relhum_water(&t, &w, &p, &out, 1);
  return out;
}

// One input, so one NaN at most: every compiled copy of these gives the same
// bits, and the C library's exp gives the vector path's, so the scalar forms
// skip the padded vector step.
double saturation_vapor_pressure_point(double temperature_f) {
  return met::saturation_vapor_pressure(temperature_f);
}

double saturation_vapor_pressure_slope_point(double temperature_f) {
  return met::saturation_vapor_pressure_slope(temperature_f);
}

double temp_extrapolate_point(double t_bot, double lev, double p_sfc, double ps, double phi_sfc) {
  if (!any_nan(t_bot, lev, p_sfc, ps, phi_sfc)) {
    return ext::temperature(t_bot, lev, p_sfc, ps, phi_sfc);
  }
  double out;
  temp_extrapolate(&t_bot, lev, &p_sfc, &ps, &phi_sfc, &out, 1);
  return out;
}

double geo_height_extrapolate_point(double t_bot, double lev, double p_sfc, double ps,
                                    double phi_sfc) {
  if (!any_nan(t_bot, lev, p_sfc, ps, phi_sfc)) {
    return ext::geopotential_height(t_bot, lev, p_sfc, ps, phi_sfc);
  }
  double out;
  geo_height_extrapolate(&t_bot, lev, &p_sfc, &ps, &phi_sfc, &out, 1);
  return out;
}

}  // namespace tamrix::batched
