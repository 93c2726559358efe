// Cross-module borrow tracking of array arguments.
//
// Every accepted array is registered as a shared borrow in a table that all
// participating extension modules of the process share, so that none of them
// writes into memory this module is reading.
#pragma once

#include <cstdint>

#include "python.hpp"

namespace tamrix::borrow {

// The view a shared borrow was registered for. The table knows a borrow by
// the bytes its view reaches, so ending it must name that view again, even
// when Python code has since resized or reshaped the array. A
// one-dimensional float64 view is kept as its data, length and stride; any
// other (a foreign routine may reshape the array it registers) as an owned
// array presenting it. Trivial, to live in a union of converted arguments:
// `{}` is none.
struct SharedBorrow {
  const void* data;
  std::intptr_t length;
  std::intptr_t stride;
  PyObject* other_view;  // strong reference, or null for a 1-D float64 view
  bool held;
};

// Registers a shared borrow of a one-dimensional float64 array. The
// registering routine may run Python code that changes the array; the borrow
// is of the view the array presents when the routine returns, which is the
// one it registered. Throws tamrix::Failure when the memory is exclusively
// borrowed elsewhere or the table is unusable.
SharedBorrow acquire_shared(PyObject* array);

// Ends exactly `borrow` (if held), marks it ended and drops what it owns.
void release_shared(PyObject* array, SharedBorrow& borrow) noexcept;

// Whether the array still presents the view `borrow` was registered for.
bool covers(PyObject* array, const SharedBorrow& borrow) noexcept;

}  // namespace tamrix::borrow
