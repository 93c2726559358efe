#define TAMRIX_NUMPY_API_DEFINITIONS
#include "numpy_api.hpp"

#include <string>

#include "panic.hpp"
#include "tamrix/failure.hpp"

namespace tamrix::numpy {
namespace {

PyObject* core_multiarray = nullptr;
PyArray_Descr* double_descr = nullptr;
int numpy_major = 0;

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

void load() {
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
  double_descr = PyArray_DescrFromType(NPY_DOUBLE);
  if (double_descr == nullptr) {
    PyArray_API = nullptr;
    fail_lookup("no float64 descriptor");
  }
  numpy_major = major;
  core_multiarray = module.release();
}

}  // namespace

void require_api() {
  if (PyArray_API == nullptr) load();
}

PyObject* multiarray_module() { return core_multiarray; }

PyArray_Descr* float64_descr() { return double_descr; }

int major_version() { return numpy_major; }

}  // namespace tamrix::numpy
