// Cross-module borrow tracking of array arguments.
//
// Every accepted array is registered as a shared borrow in a table that all
// participating extension modules of the process share, so that none of them
// writes into memory this module is reading.
#pragma once

#include <cstdint>

#include "python.hpp"

namespace tamrix::borrow {

// The one-dimensional float64 view a shared borrow was registered for. The
// table knows a borrow by the bytes its view reaches, so ending it must name
// that view again, even when Python code has since resized or reshaped the
// array. Trivial, to live in a union of converted arguments: `{}` is none.
struct SharedBorrow {
  const void* data;
  std::intptr_t length;
  std::intptr_t stride;
  bool held;
};

// Registers a shared borrow of a one-dimensional float64 array as it is now.
// Throws tamrix::Failure when the memory is exclusively borrowed elsewhere or
// the table is unusable.
SharedBorrow acquire_shared(PyObject* array);

// Ends exactly `borrow` (if held) and marks it ended.
void release_shared(PyObject* array, SharedBorrow& borrow) noexcept;

// Whether the array still presents the view `borrow` was registered for.
bool covers(PyObject* array, const SharedBorrow& borrow) noexcept;

}  // namespace tamrix::borrow
