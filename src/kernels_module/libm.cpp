// Which exp/log and acos paths the kernels take, and each path on its own for
// tests and benchmarks. The paths are the process's: whichever of this module
// and `_tamrix_rs` is imported first decides them, the other adopts them
// (libm_paths.hpp).
#include "tamrix/libm.hpp"

#include <cstddef>
#include <cstring>

#include "arguments.hpp"
#include "functions.hpp"

namespace tamrix::kernels {
namespace {

using Bulk = void (*)(const double*, double*, std::size_t);

PyObject* status(PyObject*, PyObject*) {
  const libm::Status& s = libm::status();
  return Py_BuildValue("(Os)", s.vector ? Py_True : Py_False, s.reason.c_str());
}

PyObject* acos_status(PyObject*, PyObject*) {
  const libm::Status& s = libm::acos_status();
  return Py_BuildValue("(Os)", s.vector ? Py_True : Py_False, s.reason.c_str());
}

PyObject* vector_supported(PyObject*, PyObject*) {
  return PyBool_FromLong(libm::vector_supported());
}

// The three paths of each function: the kernels' choice, the C library and
// the vector path.
struct Paths {
  const char* name;
  Bulk selected;
  Bulk scalar;
  Bulk vector;
};

constexpr Paths functions[] = {
    {"exp", libm::exp_n, libm::exp_n_scalar, libm::exp_n_vector},
    {"log", libm::log_n, libm::log_n_scalar, libm::log_n_vector},
    {"acos", libm::acos_n, libm::acos_n_scalar, libm::acos_n_vector},
};

// Chooses the function for (function, path); null with ValueError/RuntimeError pending.
Bulk choose(const char* function, const char* path) {
  const Paths* chosen = nullptr;
  for (const Paths& paths : functions) {
    if (std::strcmp(function, paths.name) == 0) chosen = &paths;
  }
  if (chosen == nullptr) {
    PyErr_Format(PyExc_ValueError, "function must be 'exp', 'log' or 'acos', not '%s'", function);
    return nullptr;
  }
  if (std::strcmp(path, "selected") == 0) return chosen->selected;
  if (std::strcmp(path, "scalar") == 0) return chosen->scalar;
  if (std::strcmp(path, "vector") == 0) {
    if (!libm::vector_supported()) {
      PyErr_SetString(PyExc_RuntimeError, "the vector path needs a CPU with AVX2 and FMA");
      return nullptr;
    }
    return chosen->vector;
  }
  PyErr_Format(PyExc_ValueError, "path must be 'vector', 'scalar' or 'selected', not '%s'", path);
  return nullptr;
}

// apply(function, path, source, destination): destination[k] =
// function(source[k]) through the given path, without the interpreter lock.
PyObject* apply(PyObject*, PyObject* args) {
  const char* function;
  const char* path;
  PyObject* source_object;
  PyObject* destination_object;
  if (!PyArg_ParseTuple(args, "ssOO", &function, &path, &source_object, &destination_object)) {
    return nullptr;
  }
  const Bulk bulk = choose(function, path);
  if (bulk == nullptr) return nullptr;
  Array source;
  Array destination;
  if (!source.acquire(source_object, "source") ||
      !destination.acquire(destination_object, "destination", {.writable = true})) {
    return nullptr;
  }
  if (source.size() != destination.size()) {
    PyErr_SetString(PyExc_ValueError, "source and destination must have the same length");
    return nullptr;
  }
  const std::span<const double> in = source.doubles();
  double* out = destination.writable_doubles().data();
  if (!without_interpreter_lock([&](PyThreadState*) { bulk(in.data(), out, in.size()); }))
    return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef libm_methods[] = {
    {"status", status, METH_NOARGS,
     "status()\n--\n\n(vector, reason): whether the kernels take the vector exp/log path, and "
     "why."},
    {"acos_status", acos_status, METH_NOARGS,
     "acos_status()\n--\n\n(vector, reason): whether max_daylight_grid takes the vector acos "
     "path, and why."},
    {"vector_supported", vector_supported, METH_NOARGS,
     "vector_supported()\n--\n\nWhether this CPU has AVX2 and FMA."},
    {"apply", apply, METH_VARARGS,
     "apply(function, path, source, destination)\n--\n\n"
     "destination[k] = function(source[k]) for 'exp', 'log' or 'acos', through the path\n"
     "'vector', 'scalar' (the C library) or 'selected' (the kernels' path)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamrix::kernels
