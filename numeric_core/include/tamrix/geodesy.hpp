// Lengths on the WGS84 ellipsoid from fitted polynomials in the latitude in
// degrees: the radius sqrt((a cos phi)^2 + (b sin phi)^2) as an even
// polynomial of degree 48, and the meridian arc from the equator as its
// term-by-term integral (an odd polynomial of degree 49).
//
// The coefficients are the tabulated doubles, not values recomputed from
// their relation; the high powers matter near the poles (90^48 ~ 6.4e93), so
// none of the tiny ones may be dropped. The even powers are formed by exactly
// the products below and the two sums run in opposite directions: both choices
// decide the last bits of the results.
#pragma once

#include <array>
#include <cmath>

namespace tamrix::geodesy {

inline constexpr double degrees_to_radians = 0.017453292519943295;

// Meridian arc: A[k] multiplies lat^(2k); the sum is multiplied by lat.
// A[0] = 6378137 m * pi / 180.
// clang-format off
inline constexpr std::array<double, 25> meridian_arc_coefficients = {
    111319.49079327357,       -0.0378342436432244,      2.29342105667605e-06,        // k = 0
    -6.520031443198045e-11,   1.0143337718412824e-15,   -7.41522084948105e-21,       // k = 3
    -5.27941504241845e-26,    2.4406211357764938e-30,   -3.279138990183233e-35,      // k = 6
    -3.350382323408522e-41,   1.1134413674222145e-44,   -2.3861377131982986e-49,     // k = 9
    1.525426736367372e-54,    5.304881100850421e-59,    -1.864384562472489e-63,      // k = 12
    2.433807000993869e-68,    1.611401810883346e-73,    -1.421162696494856e-77,      // k = 15
    2.9002318816051725e-82,   -1.2144779371911704e-87,  -9.674727283335441e-92,      // k = 18
    3.0434557776166466e-96,   -3.533134255333659e-101,  -4.700573154025537e-106,     // k = 21
    2.870863923587194e-110,                                                          // k = 24
};
// clang-format on

// Radius: R[k] multiplies lat^(2k). R[0] is the WGS84 semi-major axis, m.
// clang-format off
inline constexpr std::array<double, 25> radius_coefficients = {
    6378137.0,                -6.503227445479265,       0.0006570167359698562,       // k = 0
    -2.6149919879148737e-08,  5.230533972968213e-13,    -4.67346944715945e-18,       // k = 3
    -3.93234660296995e-23,    2.097559357056278e-27,    -3.193974017762929e-32,      // k = 6
    -3.6472925708443197e-38,  1.3397053128599297e-41,   -3.1444592669749843e-46,     // k = 9
    2.1850128487566425e-51,   8.206577043230964e-56,    -3.0978196377515274e-60,     // k = 12
    4.3228529484965665e-65,   3.046775254490674e-70,    -2.849931857870538e-74,      // k = 15
    6.148328717734688e-79,    -2.7137939443995255e-84,  -2.2727162692282764e-88,     // k = 18
    7.498218361262015e-93,    -9.109515657767203e-98,   -1.2658181141853572e-102,    // k = 21
    8.059930932517799e-107,                                                          // k = 24
};
// clang-format on

// even[k] = lat^(2k) for k = 1..24 (even[0] = 1 is never used): squares up
// to lat^32, every other power the product of two of those.
//
// The polynomials are templates over the number type: `double`, or `Lanes`,
// several latitudes side by side. Each lane runs exactly the scalar
// operations, so it gives the same bits; the lanes only let the long serial
// sums of neighbouring latitudes overlap instead of waiting on each other.
template <class T>
inline std::array<T, 25> even_powers(T lat) {
  std::array<T, 25> p{};
  p[0] = T{} + 1.0;
  p[1] = lat * lat;
  p[2] = p[1] * p[1];
  p[4] = p[2] * p[2];
  p[8] = p[4] * p[4];
  p[16] = p[8] * p[8];
  p[3] = p[1] * p[2];
  p[5] = p[1] * p[4];
  p[6] = p[2] * p[4];
  p[7] = p[3] * p[4];
  for (int k = 1; k <= 7; ++k) p[8 + k] = p[k] * p[8];    // lat^18 .. lat^30
  for (int k = 1; k <= 7; ++k) p[16 + k] = p[k] * p[16];  // lat^34 .. lat^46
  p[24] = p[16] * p[8];
  return p;
}

// Meridian arc from the equator to `lat` degrees, m, signed like `lat`. The
// terms are added from the lowest power upward.
template <class T>
inline T arc_lat_wgs84(T lat) {
  const std::array<T, 25> p = even_powers(lat);
  const auto& a = meridian_arc_coefficients;
  T sum = a[0] + a[1] * p[1];
  for (int k = 2; k <= 24; ++k) sum = a[k] * p[k] + sum;
  return sum * lat;
}

// Radius at `lat` degrees, m. The terms are added from the highest power
// down, the constant term last.
template <class T>
inline T rad_lat_wgs84(T lat) {
  const std::array<T, 25> p = even_powers(lat);
  const auto& r = radius_coefficients;
  T sum = r[24] * p[24];
  for (int k = 23; k >= 1; --k) sum = r[k] * p[k] + sum;
  return sum + r[0];
}

// Length of an arc of `lon` degrees along the parallel at `lat` degrees, m,
// from the radius `r` already evaluated at `lat`.
inline double arc_lon_from_radius(double lon, double lat, double r) {
  const double c = std::cos(lat * degrees_to_radians);
  return ((c * r) * lon) * degrees_to_radians;
}

// Length of an arc of `lon` degrees along the parallel at `lat` degrees, m.
inline double arc_lon_wgs84(double lon, double lat) {
  return arc_lon_from_radius(lon, lat, rad_lat_wgs84<double>(lat));
}

}  // namespace tamrix::geodesy
