// Relative humidity from temperature, mixing ratio and pressure, and the dew
// point from temperature and relative humidity. Every step is written in the
// order of operations that defines the result bit for bit.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

namespace tamrix::meteorology {

// Saturation vapour pressure in tenths of a pascal at 1 K spacing from
// 173.16 K (entry 100 is 273.16 K, entry 202 is 375.16 K). The last entry
// repeats entry 202: at the upper clamp the interpolation still reads i + 1
// with a tiny non-zero weight.
inline constexpr std::array<double, 204> saturation_table_decipascal = {
    0.01403, 0.01719, 0.02101, 0.02561, 0.03117, 0.03784, 0.04584, 0.05542, 0.06685, 0.08049,
    0.09672, 0.116,   0.1388,  0.1658,  0.1977,  0.2353,  0.2796,  0.3316,  0.3925,  0.4638,
    0.5472,  0.6444,  0.7577,  0.8894,  1.042,   1.22,    1.425,   1.662,   1.936,   2.252,
    2.615,   3.032,   3.511,   4.06,    4.688,   5.406,   6.225,   7.159,   8.223,   9.432,
    10.8,    12.36,   14.13,   16.12,   18.38,   20.92,   23.8,    27.03,   30.67,   34.76,
    39.35,   44.49,   50.26,   56.71,   63.93,   71.98,   80.97,   90.98,   102.1,   114.5,
    128.3,   143.6,   160.6,   179.4,   200.2,   223.3,   248.8,   276.9,   307.9,   342.1,
    379.8,   421.3,   466.9,   517,     572,     632.3,   698.5,   770.9,   850.2,   937,
    1032,    1146.6,  1272,    1408.1,  1556.7,  1716.9,  1890.3,  2077.6,  2279.6,  2496.7,
    2729.8,  2980,    3247.8,  3534.1,  3839.8,  4164.8,  4510.5,  4876.9,  5265.1,  5675.2,
    6107.8,  6566.2,  7054.7,  7575.3,  8129.4,  8719.2,  9346.5,  10013,   10722,   11474,
    12272,   13119,   14017,   14969,   15977,   17044,   18173,   19367,   20630,   21964,
    23373,   24861,   26430,   28086,   29831,   31671,   33608,   35649,   37796,   40055,
    42430,   44927,   47551,   50307,   53200,   56236,   59422,   62762,   66264,   69934,
    73777,   77802,   82015,   86423,   91034,   95855,   100890,  106160,  111660,  117400,
    123400,  129650,  136170,  142980,  150070,  157460,  165160,  173180,  181530,  190220,
    199260,  208670,  218450,  228610,  239180,  250160,  261560,  273400,  285700,  298450,
    311690,  325420,  339650,  354410,  369710,  385560,  401980,  418980,  436590,  454810,
    473670,  493170,  513350,  534220,  555800,  578090,  601130,  624940,  649530,  674920,
    701130,  728190,  756110,  784920,  814630,  845280,  876880,  909450,  943020,  977610,
    1013250, 1049940, 1087740, 1087740,
};

inline constexpr double saturation_table_first_k = 173.16;
inline constexpr double saturation_table_last_k = 375.16;
inline constexpr std::size_t saturation_table_last_node = 202;

// Lowest relative humidity `relhum` reports, percent; also its answer for NaN.
inline constexpr double relhum_floor = 0.0001;

// Offset of a clamped temperature into the table, truncated toward zero.
// NaN (and anything not above zero) saturates to node 0, like a saturating
// float-to-integer conversion; never past the last node.
inline std::size_t saturation_table_node(double offset_k) {
  if (!(offset_k > 0.0)) return 0;
  if (offset_k >= static_cast<double>(saturation_table_last_node)) {
    return saturation_table_last_node;
  }
  return static_cast<std::size_t>(offset_k);
}

// Saturation vapour pressure in pascals, linearly interpolated in the table.
// The temperature is clamped to the table; NaN stays NaN.
inline double saturation_pressure_from_table(double t) {
  double tc = t;
  if (tc < saturation_table_first_k) tc = saturation_table_first_k;
  if (tc > saturation_table_last_k) tc = saturation_table_last_k;
  const std::size_t i = saturation_table_node(tc - saturation_table_first_k);
  const double ti = static_cast<double>(i) + saturation_table_first_k;
  // The upper node is ti + 1.0, not (i + 1) + 173.16: the two differ by an ulp.
  const double e10 = saturation_table_decipascal[i] * ((ti + 1.0) - tc) +
                     saturation_table_decipascal[i + 1] * (tc - ti);
  return e10 * 0.1;
}

// Relative humidity in percent (t in K, w in kg/kg, p in Pa) from the table;
// at least 0.0001, no upper cap.
inline double relhum(double t, double w, double p) {
  const double es = saturation_pressure_from_table(t);
  const double rh = (w * (p + (-0.378 * es))) / (es * 0.622) * 100.0;
  return rh > relhum_floor ? rh : relhum_floor;
}

// Relative humidity in percent from a saturation vapour pressure in hPa: the
// saturation mixing ratio, with p converted from Pa to hPa. T is double or
// Lanes.
template <class T>
T relhum_from_saturation_hpa(T es, T w, T p) {
  const T ws = (0.622 * es) / ((-0.378 * es) + p * 0.01);
  return (w / ws) * 100.0;
}

// The Magnus-type saturation pressures below are 6.1128 hPa times exp() of an
// exponent of the temperature alone. Each kernel is split at that exp() so
// that the array forms can take many exponentials at once (see batched.hpp);
// composed, the pieces are the kernel, operation for operation.

// Magnus exponent over ice, on the Celsius temperature.
inline double relhum_ice_exponent(double t) {
  const double tc = t - 273.15;
  return 22.571 * tc / (tc + 273.71);
}

// Magnus exponent over liquid water: the denominator is the kelvin
// temperature minus 35.86.
inline double relhum_water_exponent(double t) { return (t - 273.15) * 17.269 / (t - 35.86); }

// Relative humidity in percent from exp(exponent). No clamp, no floor.
template <class T>
T relhum_from_exponential(T exponential, T w, T p) {
  return relhum_from_saturation_hpa<T>(exponential * 6.1128, w, p);
}

// Relative humidity over ice, percent.
inline double relhum_ice(double t, double w, double p) {
  return relhum_from_exponential<double>(std::exp(relhum_ice_exponent(t)), w, p);
}

// Relative humidity over liquid water, percent.
inline double relhum_water(double t, double w, double p) {
  return relhum_from_exponential<double>(std::exp(relhum_water_exponent(t)), w, p);
}

// Dew point in K from tk in K and rh in percent: Clausius-Clapeyron inverted
// with a latent heat falling linearly with temperature (offset 273, not
// 273.15). No clamp of any kind. Split at the log() like the humidities.
inline double dewtemp_log_argument(double rh) { return rh * 0.01; }

template <class T>
T dewtemp_from_log(T tk, T log_rh) {
  const T latent = ((tk - 273.0) * -0.57) + 597.3;
  // A division by this constant, not a product with its reciprocal.
  const T lhv = latent / 0.11024844720496894;
  return (tk * lhv) / (lhv - log_rh * tk);
}

inline double dewtemp(double tk, double rh) {
  return dewtemp_from_log<double>(tk, std::log(dewtemp_log_argument(rh)));
}

}  // namespace tamrix::meteorology
