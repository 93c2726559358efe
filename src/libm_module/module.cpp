// `tamrix._libm`: which exp/log and acos paths the kernels take, and each path
// on its own for tests and benchmarks. A module of its own, so that the
// documented tree of `_tamrix_rs` stays as it is; it is built from the same
// numeric core and decides the paths by the same rules (the decisions are
// deterministic, so both modules reach the same ones in a process).
//
// Bulk functions take any C-contiguous float64 buffers (NumPy arrays among
// them), so this module needs no NumPy headers.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>

#include "tamrix/libm.hpp"

namespace {

using Bulk = void (*)(const double*, double*, std::size_t);

PyObject* status(PyObject*, PyObject*) {
  const tamrix::libm::Status& s = tamrix::libm::status();
  return Py_BuildValue("(Os)", s.vector ? Py_True : Py_False, s.reason.c_str());
}

PyObject* acos_status(PyObject*, PyObject*) {
  const tamrix::libm::Status& s = tamrix::libm::acos_status();
  return Py_BuildValue("(Os)", s.vector ? Py_True : Py_False, s.reason.c_str());
}

PyObject* vector_supported(PyObject*, PyObject*) {
  return PyBool_FromLong(tamrix::libm::vector_supported());
}

bool is_float64(const Py_buffer& view) {
  return view.itemsize == 8 && view.format != nullptr &&
         (std::strcmp(view.format, "d") == 0 || std::strcmp(view.format, "<d") == 0 ||
          std::strcmp(view.format, "=d") == 0);
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
    {"exp", tamrix::libm::exp_n, tamrix::libm::exp_n_scalar, tamrix::libm::exp_n_vector},
    {"log", tamrix::libm::log_n, tamrix::libm::log_n_scalar, tamrix::libm::log_n_vector},
    {"acos", tamrix::libm::acos_n, tamrix::libm::acos_n_scalar, tamrix::libm::acos_n_vector},
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
    if (!tamrix::libm::vector_supported()) {
      PyErr_SetString(PyExc_RuntimeError, "the vector path needs a CPU with AVX2 and FMA");
      return nullptr;
    }
    return chosen->vector;
  }
  PyErr_Format(PyExc_ValueError, "path must be 'vector', 'scalar' or 'selected', not '%s'", path);
  return nullptr;
}

// A float64 buffer of `object`, with its format and strides (writable if
// asked); false with TypeError pending when it is not one.
bool float64_buffer(PyObject* object, Py_buffer& view, bool writable) {
  const int flags = PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
  if (PyObject_GetBuffer(object, &view, flags) != 0) return false;
  if (is_float64(view) && PyBuffer_IsContiguous(&view, 'C')) return true;
  PyBuffer_Release(&view);
  PyErr_SetString(PyExc_TypeError, "source and destination must be contiguous float64 buffers");
  return false;
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
  Py_buffer source;
  if (!float64_buffer(source_object, source, false)) return nullptr;
  Py_buffer destination;
  if (!float64_buffer(destination_object, destination, true)) {
    PyBuffer_Release(&source);
    return nullptr;
  }
  PyObject* result = nullptr;
  if (source.len != destination.len) {
    PyErr_SetString(PyExc_ValueError, "source and destination must have the same length");
  } else {
    const auto* in = static_cast<const double*>(source.buf);
    auto* out = static_cast<double*>(destination.buf);
    const auto n = static_cast<std::size_t>(source.len) / sizeof(double);
    PyThreadState* released = PyEval_SaveThread();
    bulk(in, out, n);
    PyEval_RestoreThread(released);
    result = Py_NewRef(Py_None);
  }
  PyBuffer_Release(&destination);
  PyBuffer_Release(&source);
  return result;
}

PyMethodDef methods[] = {
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

PyModuleDef_Slot slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tamrix._libm",
    "Which exp/log and acos paths the tamrix kernels take, and each path for testing.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__libm() { return PyModuleDef_Init(&module_def); }
