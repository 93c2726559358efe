// The `interpolation` submodule: vertical coordinates.
#include <cstddef>
#include <optional>
#include <span>

#include "binding.hpp"
#include "submodules.hpp"
#include "tamrix/batched.hpp"
#include "tamrix/failure.hpp"
#include "tamrix/hybrid.hpp"
#include "tamrix/interpolation.hpp"
#include "tamrix/meteorology.hpp"

namespace tamrix::py_interpolation {
namespace {

using namespace binding;

// A vector logarithm plus a few dozen arithmetic operations.
constexpr Cost extrapolation_cost{3};

std::span<const double> view(const ArrayArg& array) { return {array.data, array.size}; }

// --- Below-ground extrapolation ---------------------------------------------

constexpr Description temp_extrapolate_scalar_fn{
    "temp_extrapolate_scalar",
    {Float("t_bot"), Float("lev"), Float("p_sfc"), Float("ps"), Float("phi_sfc")}};
constexpr Description geo_height_extrapolate_scalar_fn{
    "geo_height_extrapolate_scalar",
    {Float("t_bot"), Float("lev"), Float("p_sfc"), Float("ps"), Float("phi_sfc")}};
constexpr Description temp_extrapolate_array_fn{
    "temp_extrapolate_array",
    {FloatArray("t_bot"), Float("lev"), FloatArray("p_sfc"), FloatArray("ps"),
     FloatArray("phi_sfc")},
    "Extrapolate temperature for arrays: one level against arrays of t_bot, p_sfc, ps, phi_sfc."};
constexpr Description geo_height_extrapolate_array_fn{
    "geo_height_extrapolate_array",
    {FloatArray("t_bot"), Float("lev"), FloatArray("p_sfc"), FloatArray("ps"),
     FloatArray("phi_sfc")},
    "Extrapolate geopotential height for arrays."};

// The four surface arrays (parameters 0, 2, 3, 4) must all have the length of
// `t_bot`; `lev` is one level shared by every element.
bool surface_arrays_match(const Call& call) {
  const std::size_t t_bot = call.array(0).size;
  const std::size_t p_sfc = call.array(2).size;
  const std::size_t ps = call.array(3).size;
  const std::size_t phi_sfc = call.array(4).size;
  if (p_sfc == t_bot && ps == t_bot && phi_sfc == t_bot) return true;
  PyErr_Format(PyExc_ValueError, "All arrays must have the same length (got %zu, %zu, %zu, %zu)",
               t_bot, p_sfc, ps, phi_sfc);
  return false;
}

// --- Hybrid-level pressure --------------------------------------------------

constexpr Description pressure_at_hybrid_level_scalar_fn{
    "pressure_at_hybrid_level_scalar", {Float("hya"), Float("hyb"), Float("psfc"), Float("p0")}};
constexpr Description pressure_at_hybrid_levels_array_fn{
    "pressure_at_hybrid_levels_array",
    {FloatArray("hya"), FloatArray("hyb"), FloatArray("psfc"), Float("p0")},
    "Compute pressure at hybrid levels for all levels and surface pressures.\n"
    "hya, hyb: 1D arrays of hybrid coefficients.\n"
    "psfc: 1D array of surface pressures.\n"
    "Returns flattened array of shape (len(hya) * len(psfc))."};

// Level-major table: element i * npts + j is level i at surface point j. Only
// `hya` sets the number of levels; a shorter `hyb` fails at its first missing
// level, a longer one has its tail ignored.
PyObject* hybrid_level_table(Call& call) {
  const ArrayArg& hya = call.array(0);
  const ArrayArg& hyb = call.array(1);
  const ArrayArg& psfc = call.array(2);
  const double p0 = call.number(3);
  const std::size_t npts = psfc.size;
  if (checked_product(hya.size, npts) > 0 && hyb.size < hya.size) {
    fail_index_out_of_bounds(hyb.size, hyb.size);
  }
  return make_result_array(
      parallel_outer(hya.size, npts, Cost{}, python_signals(), [&](std::size_t i, std::size_t j) {
        return shared_kernel<hybrid::pressure_at_level>(hya.data[i], hyb.data[i], psfc.data[j], p0);
      }));
}

// --- Pressure thickness -----------------------------------------------------

constexpr Description delta_pressure_1d_fn{
    "delta_pressure_1d",
    {FloatArray("pressure_lev"), Float("surface_pressure"), OptionalFloat("pressure_top")},
    "Delta pressure for 1D pressure levels."};

PyObject* delta_pressure(Call& call) {
  return make_result_array(
      meteorology::delta_pressure_1d(view(call.array(0)), call.number(1), call.optional(2)));
}

// --- Column interpolation ---------------------------------------------------

constexpr Description interpolate_columns_fn{
    "interpolate_columns",
    {FloatArray("xp_flat"), FloatArray("data_flat"), FloatArray("new_levels"), Count("nlev_in"),
     Count("ncols")},
    "Batch vertical interpolation across many columns (rayon-parallel).\n"
    "xp_flat and data_flat are column-major: (nlev_in * ncols).\n"
    "Returns flattened (nlev_out * ncols) column-major."};

PyObject* interpolate(Call& call) {
  return make_result_array(interpolation::interpolate_columns(
      view(call.array(0)), view(call.array(1)), view(call.array(2)), call.count(3), call.count(4),
      python_signals()));
}

constexpr Function functions[] = {
    scalar_row<temp_extrapolate_scalar_fn, batched::temp_extrapolate_point>(),
    scalar_row<geo_height_extrapolate_scalar_fn, batched::geo_height_extrapolate_point>(),
    scalar_row<pressure_at_hybrid_level_scalar_fn, hybrid::pressure_at_level>(),
    row<temp_extrapolate_array_fn,
        elementwise_runs<temp_extrapolate_array_fn, batched::temp_extrapolate, extrapolation_cost,
                         &surface_arrays_match>>(),
    row<geo_height_extrapolate_array_fn,
        elementwise_runs<geo_height_extrapolate_array_fn, batched::geo_height_extrapolate,
                         extrapolation_cost, &surface_arrays_match>>(),
    row<pressure_at_hybrid_levels_array_fn, &hybrid_level_table>(),
    row<delta_pressure_1d_fn, &delta_pressure>(),
    row<interpolate_columns_fn, &interpolate>(),
};

}  // namespace

bool register_functions(PyObject* module) {
  return binding::register_functions(module, functions);
}

}  // namespace tamrix::py_interpolation
