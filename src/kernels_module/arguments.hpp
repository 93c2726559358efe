// Arguments of `tamrix._kernels`: arrays read and written in place through
// the buffer protocol (so the module needs no NumPy headers), and the
// mapping of native failures to Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <span>

namespace tamrix::kernels {

enum class Element : unsigned char { float32, float64 };

// What an array parameter accepts.
struct Accepts {
  bool float32 = false;  // float64 is always accepted
  bool writable = false;
};

// A C-contiguous float64 (or float32) buffer of one argument, held until the
// call ends.
class Array {
 public:
  Array() = default;
  Array(Array&& other) noexcept;
  Array& operator=(Array&&) = delete;
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;
  ~Array();

  // Takes the buffer of `object` as parameter `name`; false with TypeError
  // pending when it is not a C-contiguous float64 (or, if accepted, float32)
  // buffer, or not writable when it must be.
  bool acquire(PyObject* object, const char* name, Accepts accepts = {});

  const char* name() const noexcept { return name_; }
  Element element() const noexcept { return element_; }
  int ndim() const noexcept { return view_.ndim; }
  std::size_t extent(int axis) const noexcept;  // 1 for 0-d buffers' absent axes
  std::size_t size() const noexcept;            // number of elements
  void* data() const noexcept { return view_.buf; }
  std::span<const double> doubles() const noexcept;  // float64 buffers only
  std::span<double> writable_doubles() const noexcept;

  // Whether the two buffers share any byte.
  bool overlaps(const Array& other) const noexcept;

  // False with ValueError pending unless the buffer has exactly `extents`.
  bool has_shape(std::initializer_list<std::size_t> extents) const;

 private:
  Py_buffer view_{};
  const char* name_ = "";
  Element element_ = Element::float64;
  bool held_ = false;
};

// A non-negative integer argument as a size; false with TypeError or
// OverflowError pending.
bool as_count(PyObject* object, std::size_t& count);

// Turns the C++ exception being handled into a pending Python exception:
// MemoryError for std::bad_alloc, the signal handler's exception for a
// computation given up on Ctrl-C (pool::Stopped), RuntimeError with the text
// otherwise. Call only inside a catch block.
void raise_current_exception() noexcept;

// Runs `body(released)` with the interpreter lock released (other Python
// threads run while the pool computes); `released` is this thread's state,
// which a check for signals during the computation takes back for a moment.
// True when the body returned, false with the Python exception pending when
// it threw.
template <class Body>
bool without_interpreter_lock(Body&& body) noexcept {
  PyThreadState* released = PyEval_SaveThread();
  bool done = true;
  try {
    body(released);
  } catch (...) {
    PyEval_RestoreThread(released);
    released = nullptr;
    raise_current_exception();
    done = false;
  }
  if (released != nullptr) PyEval_RestoreThread(released);
  return done;
}

}  // namespace tamrix::kernels
