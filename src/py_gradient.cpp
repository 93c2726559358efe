// The `gradient` submodule: lengths on the WGS84 ellipsoid.
#include <algorithm>
#include <cstddef>

#include "binding.hpp"
#include "submodules.hpp"
#include "tamrix/geodesy.hpp"

namespace tamrix::py_gradient {
namespace {

using namespace binding;

// 24 products for the powers and 25 multiply-adds; a cosine on top for the
// arc along a parallel.
constexpr Cost polynomial_cost{16};
constexpr Cost polynomial_and_cosine_cost{24};

// The polynomials as kernels over `double` or `Lanes`.
template <class T>
struct RadiusPolynomial {
  static T apply(T lat) { return geodesy::rad_lat_wgs84<T>(lat); }
};
template <class T>
struct MeridianArcPolynomial {
  static T apply(T lat) { return geodesy::arc_lat_wgs84<T>(lat); }
};

// The arc along a parallel: the radius polynomial (in lanes for arrays), then
// one compiled copy of the step that combines it with lon and cos(lat), which
// the scalar form calls too, so both agree bit for bit.
double arc_lon_point(double lon, double lat) {
  const double r = geodesy::rad_lat_wgs84<double>(lat);
  return shared_kernel<geodesy::arc_lon_from_radius>(lon, lat, r);
}

// Blocks small enough that the radii are still in cache for the second step.
constexpr std::size_t arc_lon_block = 1024;

PyObject* arc_lon_array(Call& call) {
  if (!equal_lengths(call)) return nullptr;
  const double* lon = call.array(0).data;
  const double* lat = call.array(1).data;
  DoubleBuffer out(call.array(1).size);
  double* dst = out.data();
  parallel_for(out.size(), polynomial_and_cosine_cost, python_signals(),
               [=](std::size_t lo, std::size_t hi) {
                 for (std::size_t begin = lo; begin < hi; begin += arc_lon_block) {
                   const std::size_t end = std::min(hi, begin + arc_lon_block);
                   map_lanes<RadiusPolynomial>(lat, dst, begin, end);
                   for (std::size_t k = begin; k < end; ++k) {
                     dst[k] = shared_kernel<geodesy::arc_lon_from_radius>(lon[k], lat[k], dst[k]);
                   }
                 }
               });
  return make_result_array(std::move(out));
}

constexpr Description rad_lat_wgs84_scalar_fn{"rad_lat_wgs84_scalar", {Float("lat")}};
constexpr Description arc_lat_wgs84_scalar_fn{"arc_lat_wgs84_scalar", {Float("lat")}};
constexpr Description arc_lon_wgs84_scalar_fn{"arc_lon_wgs84_scalar", {Float("lon"), Float("lat")}};
constexpr Description rad_lat_wgs84_array_fn{"rad_lat_wgs84_array", {FloatArray("lat")}};
constexpr Description arc_lat_wgs84_array_fn{"arc_lat_wgs84_array", {FloatArray("lat")}};
// "lon and lat must have the same length (a != b)": the generic two-array rule.
constexpr Description arc_lon_wgs84_array_fn{"arc_lon_wgs84_array",
                                             {FloatArray("lon"), FloatArray("lat")}};

constexpr Function functions[] = {
    scalar_row<rad_lat_wgs84_scalar_fn, RadiusPolynomial<double>::apply>(),
    scalar_row<arc_lat_wgs84_scalar_fn, MeridianArcPolynomial<double>::apply>(),
    scalar_row<arc_lon_wgs84_scalar_fn, arc_lon_point>(),
    row<rad_lat_wgs84_array_fn,
        elementwise_lanes<rad_lat_wgs84_array_fn, RadiusPolynomial, polynomial_cost>>(),
    row<arc_lat_wgs84_array_fn,
        elementwise<arc_lat_wgs84_array_fn, MeridianArcPolynomial<double>::apply,
                    polynomial_cost>>(),
    row<arc_lon_wgs84_array_fn, &arc_lon_array>(),
};

}  // namespace

bool register_functions(PyObject* module) { return binding::register_functions(module, functions); }

}  // namespace tamrix::py_gradient
