#include "arguments.hpp"

#include <algorithm>
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "tamrix/pool.hpp"

namespace tamrix::kernels {
namespace {

// The struct-module format of a native float64 or float32 buffer ("d" or
// "f", optionally marked native or, on this little-endian target,
// little-endian).
bool is_format(const char* format, char code) {
  if (format == nullptr) return false;
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  return format[0] == code && format[1] == '\0';
}

// A shape as Python prints it: "(3,)", "(2, 4)".
std::string shape_text(std::span<const std::size_t> extents) {
  std::string text = "(";
  for (std::size_t axis = 0; axis < extents.size(); ++axis) {
    if (axis > 0) text += ", ";
    text += std::to_string(extents[axis]);
  }
  return text + (extents.size() == 1 ? ",)" : ")");
}

}  // namespace

Array::Array(Array&& other) noexcept
    : view_(other.view_),
      name_(other.name_),
      element_(other.element_),
      held_(std::exchange(other.held_, false)) {}

Array::~Array() {
  if (held_) PyBuffer_Release(&view_);
}

bool Array::acquire(PyObject* object, const char* name, Accepts accepts) {
  name_ = name;
  const int flags = PyBUF_STRIDES | PyBUF_FORMAT | (accepts.writable ? PyBUF_WRITABLE : 0);
  if (PyObject_GetBuffer(object, &view_, flags) != 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous%s %s array, not '%.200s'", name,
                 accepts.writable ? " writable" : "",
                 accepts.float32 ? "float32 or float64" : "float64", Py_TYPE(object)->tp_name);
    return false;
  }
  held_ = true;
  const bool float64 = view_.itemsize == 8 && is_format(view_.format, 'd');
  const bool float32 = accepts.float32 && view_.itemsize == 4 && is_format(view_.format, 'f');
  if ((float64 || float32) && PyBuffer_IsContiguous(&view_, 'C')) {
    element_ = float64 ? Element::float64 : Element::float32;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous%s %s array", name,
               accepts.writable ? " writable" : "",
               accepts.float32 ? "float32 or float64" : "float64");
  PyBuffer_Release(&view_);
  held_ = false;
  return false;
}

std::size_t Array::extent(int axis) const noexcept {
  return axis < view_.ndim ? static_cast<std::size_t>(view_.shape[axis]) : 1;
}

std::size_t Array::size() const noexcept {
  return static_cast<std::size_t>(view_.len / view_.itemsize);
}

std::span<const double> Array::doubles() const noexcept {
  return {static_cast<const double*>(view_.buf), size()};
}

std::span<double> Array::writable_doubles() const noexcept {
  return {static_cast<double*>(view_.buf), size()};
}

bool Array::overlaps(const Array& other) const noexcept {
  if (view_.len == 0 || other.view_.len == 0) return false;
  const auto* a = static_cast<const char*>(view_.buf);
  const auto* b = static_cast<const char*>(other.view_.buf);
  return a < b + other.view_.len && b < a + view_.len;
}

bool Array::has_shape(std::initializer_list<std::size_t> extents) const {
  std::vector<std::size_t> actual(static_cast<std::size_t>(view_.ndim));
  for (int axis = 0; axis < view_.ndim; ++axis) actual[axis] = extent(axis);
  if (std::equal(actual.begin(), actual.end(), extents.begin(), extents.end())) return true;
  PyErr_Format(PyExc_ValueError, "%s must have shape %s, not %s", name_,
               shape_text({extents.begin(), extents.size()}).c_str(), shape_text(actual).c_str());
  return false;
}

bool as_count(PyObject* object, std::size_t& count) {
  if (!PyLong_Check(object)) {
    PyErr_Format(PyExc_TypeError, "an integer is required, not '%.200s'", Py_TYPE(object)->tp_name);
    return false;
  }
  count = PyLong_AsSize_t(object);
  return !(count == static_cast<std::size_t>(-1) && PyErr_Occurred());
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const pool::Stopped& stopped) {
    // A signal handler's exception is the call's result.
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, stopped.what());
  } catch (const std::exception& failure) {
    PyErr_SetString(PyExc_RuntimeError, failure.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown native failure");
  }
}

}  // namespace tamrix::kernels
