// The `meteorology` submodule.
#include "binding.hpp"
#include "submodules.hpp"
#include "tamrix/psychrometrics.hpp"

namespace tamrix::py_meteorology {
namespace {

using namespace binding;
namespace kernels = tamrix::meteorology;

// Kernels with a call of exp() cost a few tens of cheap operations.
constexpr Cost transcendental{8};

constexpr Description saturation_vapor_pressure_scalar_fn{"saturation_vapor_pressure_scalar",
                                                          {Float("temperature_f")}};
constexpr Description saturation_vapor_pressure_slope_scalar_fn{
    "saturation_vapor_pressure_slope_scalar", {Float("temperature_f")}};
constexpr Description psychrometric_constant_scalar_fn{"psychrometric_constant_scalar",
                                                       {Float("pressure_kpa")}};
constexpr Description saturation_vapor_pressure_array_fn{"saturation_vapor_pressure_array",
                                                         {FloatArray("temperature")}};
constexpr Description saturation_vapor_pressure_slope_array_fn{
    "saturation_vapor_pressure_slope_array", {FloatArray("temperature")}};
constexpr Description psychrometric_constant_array_fn{"psychrometric_constant_array",
                                                      {FloatArray("pressure")}};

constexpr Function functions[] = {
    row<saturation_vapor_pressure_scalar_fn,
        scalar<saturation_vapor_pressure_scalar_fn, kernels::saturation_vapor_pressure>>(),
    row<saturation_vapor_pressure_slope_scalar_fn,
        scalar<saturation_vapor_pressure_slope_scalar_fn,
               kernels::saturation_vapor_pressure_slope>>(),
    row<psychrometric_constant_scalar_fn,
        scalar<psychrometric_constant_scalar_fn, kernels::psychrometric_constant>>(),
    row<saturation_vapor_pressure_array_fn,
        elementwise<saturation_vapor_pressure_array_fn, kernels::saturation_vapor_pressure,
                    transcendental>>(),
    row<saturation_vapor_pressure_slope_array_fn,
        elementwise<saturation_vapor_pressure_slope_array_fn,
                    kernels::saturation_vapor_pressure_slope, transcendental>>(),
    row<psychrometric_constant_array_fn,
        elementwise<psychrometric_constant_array_fn, kernels::psychrometric_constant>>(),
};

}  // namespace

bool register_functions(PyObject* module) { return binding::register_functions(module, functions); }

}  // namespace tamrix::py_meteorology
