// Below-ground extrapolation with a target level of its own for every
// element: one call for any number of levels, each element bit-identical to
// _tamrix_rs.interpolation.temp_extrapolate_scalar or
// geo_height_extrapolate_scalar with the same inputs.
#include <cstddef>

#include "arguments.hpp"
#include "functions.hpp"
#include "interrupt.hpp"
#include "tamrix/batched.hpp"
#include "tamrix/parallel.hpp"

namespace tamrix::kernels {
namespace {

using Kernel = void (*)(const double*, const double*, const double*, const double*, const double*,
                        double*, std::size_t);

// A vector logarithm plus a few dozen arithmetic operations per element.
constexpr Cost extrapolation_cost{3};

PyObject* extrapolate(Kernel kernel, const char* function, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"t_bot", "lev", "p_sfc", "ps", "phi_sfc", "out", nullptr};
  static const char* const names[] = {"t_bot", "lev", "p_sfc", "ps", "phi_sfc"};
  PyObject* objects[6];
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO", const_cast<char**>(keywords),
                                   &objects[0], &objects[1], &objects[2], &objects[3], &objects[4],
                                   &objects[5])) {
    return nullptr;
  }
  Array inputs[5];
  Array out;
  for (std::size_t i = 0; i < 5; ++i) {
    if (!inputs[i].acquire(objects[i], names[i])) return nullptr;
  }
  if (!out.acquire(objects[5], "out", {.writable = true})) return nullptr;
  const std::size_t n = out.size();
  for (const Array& input : inputs) {
    if (input.size() != n) {
      PyErr_Format(PyExc_ValueError,
                   "%s: all arrays must have the same length (got %zu, %zu, %zu, %zu, %zu for "
                   "t_bot, lev, p_sfc, ps, phi_sfc and %zu for out)",
                   function, inputs[0].size(), inputs[1].size(), inputs[2].size(), inputs[3].size(),
                   inputs[4].size(), n);
      return nullptr;
    }
    if (out.overlaps(input)) {
      PyErr_Format(PyExc_ValueError, "out must not share memory with %s", input.name());
      return nullptr;
    }
  }
  const double* in[5];
  for (std::size_t i = 0; i < 5; ++i) in[i] = inputs[i].doubles().data();
  double* dst = out.writable_doubles().data();
  const bool done = without_interpreter_lock([&](PyThreadState* released) {
    parallel_for(n, extrapolation_cost, binding::python_signals(released),
                 [&](std::size_t lo, std::size_t hi) {
                   kernel(in[0] + lo, in[1] + lo, in[2] + lo, in[3] + lo, in[4] + lo, dst + lo,
                          hi - lo);
                 });
  });
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

PyObject* temp_extrapolate(PyObject*, PyObject* args, PyObject* kwargs) {
  return extrapolate(batched::temp_extrapolate_levels, "temp_extrapolate", args, kwargs);
}

PyObject* geo_height_extrapolate(PyObject*, PyObject* args, PyObject* kwargs) {
  return extrapolate(batched::geo_height_extrapolate_levels, "geo_height_extrapolate", args,
                     kwargs);
}

}  // namespace

PyMethodDef extrapolation_methods[] = {
    {"temp_extrapolate", with_keywords(temp_extrapolate), METH_VARARGS | METH_KEYWORDS,
     "temp_extrapolate(t_bot, lev, p_sfc, ps, phi_sfc, out)\n--\n\n"
     "Temperature below ground with a target level per element, written to out:\n"
     "out[k] = _tamrix_rs.interpolation.temp_extrapolate_scalar(t_bot[k], lev[k], p_sfc[k],\n"
     "ps[k], phi_sfc[k]), bit for bit. All arrays C-contiguous float64 of one\n"
     "length; out must not share memory with the inputs."},
    {"geo_height_extrapolate", with_keywords(geo_height_extrapolate), METH_VARARGS | METH_KEYWORDS,
     "geo_height_extrapolate(t_bot, lev, p_sfc, ps, phi_sfc, out)\n--\n\n"
     "Geopotential height below ground with a target level per element, written to out:\n"
     "out[k] = _tamrix_rs.interpolation.geo_height_extrapolate_scalar(t_bot[k], lev[k],\n"
     "p_sfc[k], ps[k], phi_sfc[k]), bit for bit. All arrays C-contiguous float64 of one\n"
     "length; out must not share memory with the inputs."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamrix::kernels
