#include "arrays.hpp"

#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "borrow.hpp"
#include "numpy_api.hpp"
#include "once.hpp"
#include "tamrix/failure.hpp"

namespace tamrix::binding {
namespace {

// Result buffers are reported to tracemalloc under NumPy's own domain, so
// memory profilers account for them like any NumPy allocation.
constexpr unsigned int numpy_tracemalloc_domain = 389047;

// CPython's tracemalloc header declares its C functions without C linkage, so
// C++ code cannot name them directly; they are looked up once instead.
struct TraceMalloc {
  using Track = int (*)(unsigned int, uintptr_t, size_t);
  using Untrack = int (*)(unsigned int, uintptr_t);
  Track track = reinterpret_cast<Track>(dlsym(RTLD_DEFAULT, "PyTraceMalloc_Track"));
  Untrack untrack = reinterpret_cast<Untrack>(dlsym(RTLD_DEFAULT, "PyTraceMalloc_Untrack"));
};

const TraceMalloc& tracemalloc() {
  static const TraceMalloc functions;
  return functions;
}

void track_buffer(const double* data, std::size_t bytes) {
  if (auto track = tracemalloc().track)
    track(numpy_tracemalloc_domain, reinterpret_cast<uintptr_t>(data), bytes);
}

void untrack_buffer(const double* data) {
  if (auto untrack = tracemalloc().untrack)
    untrack(numpy_tracemalloc_domain, reinterpret_cast<uintptr_t>(data));
}

struct SliceContainer {
  PyObject_HEAD double* data;
  std::size_t length;
  std::size_t capacity;
  void (*drop)(double*, std::size_t) noexcept;
};

void slice_container_dealloc(PyObject* self) {
  auto* container = reinterpret_cast<SliceContainer*>(self);
  untrack_buffer(container->data);
  container->drop(container->data, container->capacity);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* slice_container_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for PySliceContainer");
  return nullptr;
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(&slice_container_new)},
    {Py_tp_doc,
     const_cast<char*>("Utility type to store a native buffer safely on the Python heap.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "builtins.PySliceContainer", sizeof(SliceContainer), 0,
    Py_TPFLAGS_DEFAULT,          slice_container_slots,
};

Once<PyTypeObject> slice_container_type;  // created on first use, never released

PyTypeObject* container_type() {
  return slice_container_type.get([] {
    PyObject* type = PyType_FromSpec(&slice_container_spec);
    if (type == nullptr) {
      PyErr_Clear();
      throw Failure("Failed to create the PySliceContainer type");
    }
    return reinterpret_cast<PyTypeObject*>(type);
  });
}

// Takes over the buffer; on failure frees it and throws.
PyObject* new_container(DoubleBuffer& buffer) {
  PyTypeObject* type = container_type();
  const std::size_t length = buffer.size();
  double* data = buffer.release();
  auto* container = PyObject_New(SliceContainer, type);
  if (container == nullptr) {
    DoubleBuffer::free_storage(data, length);
    PyErr_Clear();
    throw Failure("Failed to create slice container");
  }
  container->data = data;
  container->length = length;
  container->capacity = length;
  container->drop = &DoubleBuffer::free_storage;
  track_buffer(data, length * sizeof(double));
  return reinterpret_cast<PyObject*>(container);
}

bool is_float64_vector(PyObject* object) {
  if (!PyArray_Check(object)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != 1) return false;
  PyArray_Descr* descr = PyArray_DESCR(array);
  PyArray_Descr* expected = numpy::float64_descr();
  return descr == expected || PyArray_EquivTypes(descr, expected);
}

// The conversion error; `parameter` names the argument when the error is
// raised after conversion, where it is not annotated any more.
void raise_not_float_array(PyObject* object, const char* parameter = nullptr) {
  py::Ref name = py::type_qualname(object);
  if (!name) {
    PyErr_Clear();
    name = py::Ref(PyUnicode_FromString("<failed to extract type name>"));
    if (!name) return;
  }
  if (parameter != nullptr) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': '%U' object cannot be converted to 'PyArray<T, D>'", parameter,
                 name.get());
  } else {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyArray<T, D>'", name.get());
  }
}

}  // namespace

bool accept_float_array(PyObject* object, ArrayArg& out) {
  numpy::require_api();
  if (!is_float64_vector(object)) {
    raise_not_float_array(object);
    return false;
  }
  Py_INCREF(object);
  try {
    out.accepted = borrow::acquire_shared(object);
  } catch (...) {
    Py_DECREF(object);
    throw;
  }
  out.object = object;
  out.data = nullptr;
  out.size = 0;
  out.aligned_copy = nullptr;
  out.current = {};
  return true;
}

void release_float_array(ArrayArg& array) noexcept {
  std::free(array.aligned_copy);
  borrow::release_shared(array.object, array.current);
  borrow::release_shared(array.object, array.accepted);
  Py_DECREF(array.object);
}

bool borrow_current_view(ArrayArg& array) {
  // A view that is no float64 vector any more is refused by take_view.
  if (!is_float64_vector(array.object)) return false;
  if (borrow::covers(array.object, array.current.held ? array.current : array.accepted)) {
    return false;
  }
  borrow::release_shared(array.object, array.current);
  array.current = borrow::acquire_shared(array.object);
  return true;
}

bool take_view(ArrayArg& array, const char* parameter) {
  if (!is_float64_vector(array.object)) {
    raise_not_float_array(array.object, parameter);
    return false;
  }
  auto* object = reinterpret_cast<PyArrayObject*>(array.object);
  if ((PyArray_FLAGS(object) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) == 0) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
    return false;
  }
  array.data = static_cast<const double*>(PyArray_DATA(object));
  array.size = static_cast<std::size_t>(PyArray_DIM(object, 0));
  if (reinterpret_cast<std::uintptr_t>(array.data) % alignof(double) != 0 && array.size > 0) {
    const std::size_t bytes = checked_product(array.size, sizeof(double));
    array.aligned_copy = static_cast<double*>(std::malloc(bytes));
    if (array.aligned_copy == nullptr) throw std::bad_alloc();
    std::memcpy(array.aligned_copy, array.data, bytes);
    array.data = array.aligned_copy;
  }
  return true;
}

bool check_len2(std::size_t len_a, std::size_t len_b, const char* name_a, const char* name_b) {
  if (len_a == len_b) return true;
  const std::string message = std::string(name_a) + " and " + name_b +
                              " must have the same length (" + std::to_string(len_a) +
                              " != " + std::to_string(len_b) + ")";
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

bool check_len3(std::size_t len_a, std::size_t len_b, std::size_t len_c, const char* name_a,
                const char* name_b, const char* name_c) {
  if (len_a == len_b && len_b == len_c) return true;
  const std::string message = std::string(name_a) + ", " + name_b + ", and " + name_c +
                              " must have the same length (" + std::to_string(len_a) + ", " +
                              std::to_string(len_b) + ", " + std::to_string(len_c) + ")";
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

PyObject* make_result_array(DoubleBuffer&& buffer) {
  numpy::require_api();
  py::Ref container(new_container(buffer));
  auto* data = reinterpret_cast<SliceContainer*>(container.get())->data;
  npy_intp shape[1] = {
      static_cast<npy_intp>(reinterpret_cast<SliceContainer*>(container.get())->length)};
  npy_intp strides[1] = {sizeof(double)};
  PyArray_Descr* descr = numpy::float64_descr();
  Py_INCREF(descr);  // PyArray_NewFromDescr steals it
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, descr, 1, shape, strides, data,
                                         NPY_ARRAY_WRITEABLE, nullptr);
  if (array == nullptr) {
    PyErr_Clear();
    throw Failure("Failed to create the result array");
  }
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), container.release()) < 0) {
    Py_DECREF(array);
    PyErr_Clear();
    throw Failure("Failed to set the base object of the result array");
  }
  return array;
}

}  // namespace tamrix::binding
