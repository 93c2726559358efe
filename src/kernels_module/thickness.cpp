// Pressure thickness of many columns in one call, each column bit-identical
// to `_tamrix_rs.interpolation.delta_pressure_1d`.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "arguments.hpp"
#include "functions.hpp"
#include "interrupt.hpp"
#include "tamrix/meteorology.hpp"

namespace tamrix::kernels {
namespace {

// The levels are one column per surface pressure or one shared column; tops,
// when given, one per column or one for all; `out` one value per level of
// every column.
bool column_lengths_match(const Array& levels, const Array& surfaces, std::size_t nlev,
                          const Array* top, const Array& out) {
  const std::size_t ncols = surfaces.size();
  std::size_t total = 0;
  if (__builtin_mul_overflow(nlev, ncols, &total)) total = SIZE_MAX;
  if (levels.size() != total && levels.size() != nlev) {
    PyErr_Format(PyExc_ValueError,
                 "pressure_lev has %zu values, but it must hold nlev * ncols = %zu * %zu "
                 "(one column of nlev levels per surface pressure) or nlev = %zu (one column "
                 "shared by all)",
                 levels.size(), nlev, ncols, nlev);
    return false;
  }
  if (top != nullptr && top->size() != ncols && top->size() != 1) {
    PyErr_Format(PyExc_ValueError,
                 "pressure_top has %zu values, but it must hold one per column (%zu) or one "
                 "for all",
                 top->size(), ncols);
    return false;
  }
  if (out.size() != total) {
    PyErr_Format(PyExc_ValueError, "out has %zu values, but it must hold nlev * ncols = %zu",
                 out.size(), total);
    return false;
  }
  for (const Array* input : {&levels, &surfaces, top}) {
    if (input != nullptr && out.overlaps(*input)) {
      PyErr_Format(PyExc_ValueError, "out must not share memory with %s", input->name());
      return false;
    }
  }
  return true;
}

PyObject* delta_pressure_columns(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {
      "pressure_lev", "surface_pressure", "nlev", "pressure_top", "out", nullptr};
  PyObject* objects[5];
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:delta_pressure_columns",
                                   const_cast<char**>(keywords), &objects[0], &objects[1],
                                   &objects[2], &objects[3], &objects[4])) {
    return nullptr;
  }
  Array levels;
  Array surfaces;
  Array top;
  Array out;
  std::size_t nlev = 0;
  const bool has_top = objects[3] != Py_None;
  if (!levels.acquire(objects[0], "pressure_lev") ||
      !surfaces.acquire(objects[1], "surface_pressure") || !as_count(objects[2], nlev) ||
      (has_top && !top.acquire(objects[3], "pressure_top")) ||
      !out.acquire(objects[4], "out", {.writable = true}) ||
      !column_lengths_match(levels, surfaces, nlev, has_top ? &top : nullptr, out)) {
    return nullptr;
  }
  const std::optional<std::span<const double>> tops =
      has_top ? std::optional(top.doubles()) : std::nullopt;
  const bool done = without_interpreter_lock([&](PyThreadState* released) {
    meteorology::delta_pressure_columns(levels.doubles(), surfaces.doubles(), tops, nlev,
                                        out.writable_doubles(), binding::python_signals(released));
  });
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef thickness_methods[] = {
    {"delta_pressure_columns", with_keywords(delta_pressure_columns), METH_VARARGS | METH_KEYWORDS,
     "delta_pressure_columns(pressure_lev, surface_pressure, nlev, pressure_top, out)\n--\n\n"
     "Pressure thickness of many columns at once (parallel over columns), written to out.\n"
     "pressure_lev: the columns one after the other (nlev * len(surface_pressure) values),\n"
     "or one column of nlev levels shared by all columns.\n"
     "surface_pressure: one value per column. pressure_top: None (the smallest level of\n"
     "each column), one value per column, or one value for all.\n"
     "out: nlev * len(surface_pressure) values, column after column; each column\n"
     "bit-identical to _tamrix_rs.interpolation.delta_pressure_1d.\n"
     "All arrays C-contiguous float64; out must not share memory with the inputs."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamrix::kernels
