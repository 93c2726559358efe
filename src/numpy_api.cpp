#define TAMRIX_NUMPY_API_DEFINITIONS
#include "numpy_api.hpp"

#include <new>
#include <string>

#include "once.hpp"
#include "panic.hpp"
#include "tamrix/failure.hpp"

namespace tamrix::numpy {
namespace {

// What the lookup found; PyArray_API itself is NumPy's global, written while
// the lookup holds the once-only lock and read only after it is published.
struct Api {
  PyObject* core_multiarray;
  PyArray_Descr* double_descr;
  int major;
};

binding::Once<const Api> api;

// Takes the pending Python error (if any) and turns it into a lookup failure.
[[noreturn]] void fail_lookup(const char* step) {
  binding::fail_with_pending_error(std::string("Failed to access NumPy array API capsule: ") +
                                   step);
}

int read_major_version() {
  py::Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) fail_lookup("cannot import numpy");
  py::Ref version(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) fail_lookup("numpy has no __version__");
  py::Ref lib(PyImport_ImportModule("numpy.lib"));
  if (!lib) fail_lookup("cannot import numpy.lib");
  py::Ref parsed(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
  if (!parsed) fail_lookup("cannot parse the numpy version");
  py::Ref major(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major) fail_lookup("numpy version has no major number");
  const long value = PyLong_AsLong(major.get());
  if (value == -1 && PyErr_Occurred()) fail_lookup("numpy major version is not an integer");
  if (value < 0 || value > 255) fail_lookup("numpy major version out of range");
  return static_cast<int>(value);
}

const Api* load() {
  const int major = read_major_version();
  const char* core = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  py::Ref module(PyImport_ImportModule(core));
  if (!module) fail_lookup("cannot import the core multiarray module");
  py::Ref capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) fail_lookup("no _ARRAY_API attribute");
  if (!PyCapsule_CheckExact(capsule.get())) fail_lookup("_ARRAY_API is not a capsule");
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (table == nullptr) fail_lookup("_ARRAY_API capsule is empty");

  PyArray_API = static_cast<void**>(table);
  PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_DOUBLE);
  if (descr == nullptr) {
    PyArray_API = nullptr;
    fail_lookup("no float64 descriptor");
  }
  auto* found = new (std::nothrow) Api{module.get(), descr, major};  // kept for the process
  if (found == nullptr) {
    Py_DECREF(descr);
    PyArray_API = nullptr;
    throw std::bad_alloc();
  }
  module.release();
  return found;
}

}  // namespace

void require_api() { api.get(&load); }

PyObject* multiarray_module() {
  const Api* found = api.peek();
  return found != nullptr ? found->core_multiarray : nullptr;
}

PyArray_Descr* float64_descr() { return api.peek()->double_descr; }

int major_version() {
  const Api* found = api.peek();
  return found != nullptr ? found->major : 0;
}

}  // namespace tamrix::numpy
