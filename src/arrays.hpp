// Array arguments and result arrays.
//
// An accepted array is read in place: the call holds a reference and a shared
// borrow for its duration and never copies the data. A result takes over the
// computed buffer: its base is a PySliceContainer that frees the buffer when
// the last view of it goes away.
#pragma once

#include <cstddef>

#include "borrow.hpp"
#include "python.hpp"
#include "tamrix/buffer.hpp"

namespace tamrix::binding {

// A float64 array argument accepted for the duration of one call.
struct ArrayArg {
  PyObject* object;  // strong reference, released at the end of the call
  // Read by take_view, after every argument has been converted: Python code
  // run by a later conversion may resize the array, and no Python code runs
  // from then until the kernel has finished.
  const double* data;
  std::size_t size;
  double* aligned_copy;           // owned copy of a misaligned array's data, or null
  borrow::SharedBorrow accepted;  // registered when the array was accepted
  borrow::SharedBorrow current;   // registered again for the view read, if that differs
};

// Accepts a one-dimensional float64 ndarray (or subclass): takes a reference
// and registers a shared borrow. Returns false with a TypeError pending when
// the object is not such an array. Throws tamrix::Failure when NumPy is
// unavailable or the borrow cannot be registered.
bool accept_float_array(PyObject* object, ArrayArg& out);

// Ends the borrows and drops the reference.
void release_float_array(ArrayArg& array) noexcept;

// Makes sure the array's current view is borrowed, registering it when Python
// code has changed the array since it was accepted. Returns whether it had
// to: the routines of another module's table may run Python code themselves.
// Throws like accept_float_array.
bool borrow_current_view(ArrayArg& array);

// Reads the array's data pointer and length. Returns false with a TypeError
// pending unless the array is still a one-dimensional float64 array (the
// message names `parameter`) and is C- or F-contiguous ("The given array is
// not contiguous"). A contiguous array whose data is not aligned for doubles
// (a view into raw bytes, say) is read from an aligned private copy instead:
// kernels may load doubles with aligned instructions.
bool take_view(ArrayArg& array, const char* parameter);

// The generic equal-length checks; false with a ValueError pending.
bool check_len2(std::size_t len_a, std::size_t len_b, const char* name_a, const char* name_b);
bool check_len3(std::size_t len_a, std::size_t len_b, std::size_t len_c, const char* name_a,
                const char* name_b, const char* name_c);

// Wraps the buffer in a new 1-D float64 array without copying it. Throws
// tamrix::Failure when the array cannot be made (the buffer is then freed).
PyObject* make_result_array(DoubleBuffer&& buffer);

}  // namespace tamrix::binding
