// The `meteorology` submodule.
#include <cstddef>

#include "binding.hpp"
#include "submodules.hpp"
#include "tamrix/batched.hpp"
#include "tamrix/buffer.hpp"
#include "tamrix/daylight.hpp"
#include "tamrix/heat_index.hpp"
#include "tamrix/humidity.hpp"
#include "tamrix/psychrometrics.hpp"

namespace tamrix::py_meteorology {
namespace {

using namespace binding;
namespace kernels = tamrix::meteorology;

// Relative per-element costs (see parallel.hpp): a table lookup with a
// division; the heat-index polynomial with its branches; one vector exp() or
// log() with a few divisions; sin() and tan(), or tan() alone, for a daylight
// factor; acos() per grid point, four at a time or from the C library.
constexpr Cost table_lookup{2};
constexpr Cost polynomial{3};
constexpr Cost transcendental{3};
constexpr Cost daylight_factor{16};
constexpr Cost vector_hour_angle{4};
constexpr Cost library_hour_angle{12};

constexpr Description dewtemp_scalar_fn{"dewtemp_scalar", {Float("tk"), Float("rh")}};
constexpr Description heat_index_scalar_fn{
    "heat_index_scalar",
    {Float("temperature"), Float("relative_humidity"), Flag("alternate_coeffs")}};
constexpr Description relhum_ice_scalar_fn{"relhum_ice_scalar",
                                           {Float("t"), Float("w"), Float("p")}};
constexpr Description relhum_water_scalar_fn{"relhum_water_scalar",
                                             {Float("t"), Float("w"), Float("p")}};
constexpr Description relhum_scalar_fn{
    "relhum_scalar", {Float("temperature"), Float("mixing_ratio"), Float("pressure")}};
constexpr Description max_daylight_scalar_fn{"max_daylight_scalar", {Float("jday"), Float("lat")}};
constexpr Description saturation_vapor_pressure_scalar_fn{"saturation_vapor_pressure_scalar",
                                                          {Float("temperature_f")}};
constexpr Description saturation_vapor_pressure_slope_scalar_fn{
    "saturation_vapor_pressure_slope_scalar", {Float("temperature_f")}};
constexpr Description psychrometric_constant_scalar_fn{"psychrometric_constant_scalar",
                                                       {Float("pressure_kpa")}};

constexpr Description dewtemp_array_fn{"dewtemp_array", {FloatArray("tk"), FloatArray("rh")}};
constexpr Description heat_index_array_fn{
    "heat_index_array",
    {FloatArray("temperature"), FloatArray("relative_humidity"), Flag("alternate_coeffs")}};
constexpr Description relhum_ice_array_fn{"relhum_ice_array",
                                          {FloatArray("t"), FloatArray("w"), FloatArray("p")}};
constexpr Description relhum_water_array_fn{"relhum_water_array",
                                            {FloatArray("t"), FloatArray("w"), FloatArray("p")}};
constexpr Description relhum_array_fn{
    "relhum_array",
    {FloatArray("temperature"), FloatArray("mixing_ratio"), FloatArray("pressure")}};
constexpr Description max_daylight_grid_fn{"max_daylight_grid",
                                           {FloatArray("jday"), FloatArray("lat")}};
constexpr Description saturation_vapor_pressure_array_fn{"saturation_vapor_pressure_array",
                                                         {FloatArray("temperature")}};
constexpr Description saturation_vapor_pressure_slope_array_fn{
    "saturation_vapor_pressure_slope_array", {FloatArray("temperature")}};
constexpr Description psychrometric_constant_array_fn{"psychrometric_constant_array",
                                                      {FloatArray("pressure")}};

// Daylight for one day and latitude: the grid's steps for one element, so
// both forms agree bit for bit.
double max_daylight_point(double jday, double lat) {
  const double lat_term = kernels::latitude_term(lat);
  return kernels::daylight_from_factors(kernels::declination_tangent(jday), lat_term);
}

// A factor per input element (sin and tan), in index order.
template <double (*Factor)(double)>
DoubleBuffer factors_of(const ArrayArg& values) {
  const double* data = values.data;
  return parallel_map(values.size, daylight_factor, python_signals(),
                      [data](std::size_t k) { return Factor(data[k]); });
}

// Outer product of days and latitudes, day-major: element i * nl + j is the
// daylight for (jday[i], lat[j]), computed straight into the flat result. The
// day and latitude factors are computed once each rather than once per
// element; only the product, the clamp and acos remain per element, a run of
// a row at a time.
PyObject* max_daylight_grid(Call& call) {
  const ArrayArg& jday = call.array(0);
  const ArrayArg& lat = call.array(1);
  if (checked_product(jday.size, lat.size) == 0) {
    pool::ensure_started();  // every array call starts the pool, empty ones too
    return make_result_array(DoubleBuffer(0));
  }
  const DoubleBuffer days = factors_of<kernels::declination_tangent>(jday);
  const DoubleBuffer latitudes = factors_of<kernels::latitude_term>(lat);
  const Cost cost = libm::acos_status().vector ? vector_hour_angle : library_hour_angle;
  return make_result_array(
      parallel_outer_runs(jday.size, lat.size, cost, python_signals(),
                          [&](std::size_t i, std::size_t j, double* out, std::size_t n) {
                            kernels::daylight_row(days.data()[i], latitudes.data() + j, out, n);
                          }));
}

constexpr Function functions[] = {
    scalar_row<dewtemp_scalar_fn, batched::dewtemp_point>(),
    scalar_row<heat_index_scalar_fn, kernels::heat_index>(),
    scalar_row<relhum_ice_scalar_fn, batched::relhum_ice_point>(),
    scalar_row<relhum_water_scalar_fn, batched::relhum_water_point>(),
    scalar_row<relhum_scalar_fn, kernels::relhum>(),
    scalar_row<max_daylight_scalar_fn, max_daylight_point>(),
    scalar_row<saturation_vapor_pressure_scalar_fn, batched::saturation_vapor_pressure_point>(),
    scalar_row<saturation_vapor_pressure_slope_scalar_fn,
               batched::saturation_vapor_pressure_slope_point>(),
    scalar_row<psychrometric_constant_scalar_fn, kernels::psychrometric_constant>(),
    row<dewtemp_array_fn, elementwise_runs<dewtemp_array_fn, batched::dewtemp, transcendental>>(),
    row<heat_index_array_fn, elementwise<heat_index_array_fn, kernels::heat_index, polynomial>>(),
    row<relhum_ice_array_fn,
        elementwise_runs<relhum_ice_array_fn, batched::relhum_ice, transcendental>>(),
    row<relhum_water_array_fn,
        elementwise_runs<relhum_water_array_fn, batched::relhum_water, transcendental>>(),
    row<relhum_array_fn, elementwise<relhum_array_fn, kernels::relhum, table_lookup>>(),
    row<max_daylight_grid_fn, &max_daylight_grid>(),
    row<saturation_vapor_pressure_array_fn,
        elementwise_runs<saturation_vapor_pressure_array_fn, batched::saturation_vapor_pressure,
                         transcendental>>(),
    row<saturation_vapor_pressure_slope_array_fn,
        elementwise_runs<saturation_vapor_pressure_slope_array_fn,
                         batched::saturation_vapor_pressure_slope, transcendental>>(),
    row<psychrometric_constant_array_fn,
        elementwise<psychrometric_constant_array_fn, kernels::psychrometric_constant>>(),
};

}  // namespace

bool register_functions(PyObject* module) { return binding::register_functions(module, functions); }

}  // namespace tamrix::py_meteorology
