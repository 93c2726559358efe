// The `gradient` submodule: lengths on the WGS84 ellipsoid.
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

constexpr Description rad_lat_wgs84_scalar_fn{"rad_lat_wgs84_scalar", {Float("lat")}};
constexpr Description arc_lat_wgs84_scalar_fn{"arc_lat_wgs84_scalar", {Float("lat")}};
constexpr Description arc_lon_wgs84_scalar_fn{"arc_lon_wgs84_scalar", {Float("lon"), Float("lat")}};
constexpr Description rad_lat_wgs84_array_fn{"rad_lat_wgs84_array", {FloatArray("lat")}};
constexpr Description arc_lat_wgs84_array_fn{"arc_lat_wgs84_array", {FloatArray("lat")}};
// "lon and lat must have the same length (a != b)": the generic two-array rule.
constexpr Description arc_lon_wgs84_array_fn{"arc_lon_wgs84_array",
                                             {FloatArray("lon"), FloatArray("lat")}};

constexpr Function functions[] = {
    row<rad_lat_wgs84_scalar_fn, scalar<rad_lat_wgs84_scalar_fn, geodesy::rad_lat_wgs84>>(),
    row<arc_lat_wgs84_scalar_fn, scalar<arc_lat_wgs84_scalar_fn, geodesy::arc_lat_wgs84>>(),
    row<arc_lon_wgs84_scalar_fn, scalar<arc_lon_wgs84_scalar_fn, geodesy::arc_lon_wgs84>>(),
    row<rad_lat_wgs84_array_fn,
        elementwise<rad_lat_wgs84_array_fn, geodesy::rad_lat_wgs84, polynomial_cost>>(),
    row<arc_lat_wgs84_array_fn,
        elementwise<arc_lat_wgs84_array_fn, geodesy::arc_lat_wgs84, polynomial_cost>>(),
    row<arc_lon_wgs84_array_fn, elementwise<arc_lon_wgs84_array_fn, geodesy::arc_lon_wgs84,
                                            polynomial_and_cosine_cost, &equal_lengths>>(),
};

}  // namespace

bool register_functions(PyObject* module) { return binding::register_functions(module, functions); }

}  // namespace tamrix::py_gradient
