// Cross-module borrow tracking of array arguments.
//
// Every accepted array is registered as a shared borrow in a table that all
// participating extension modules of the process share, so that none of them
// writes into memory this module is reading.
#pragma once

#include "python.hpp"

namespace tamrix::borrow {

// Registers a shared borrow of the array. Throws tamrix::Failure when the
// memory is exclusively borrowed elsewhere or the table is unusable.
void acquire_shared(PyObject* array);

// Ends a shared borrow registered by acquire_shared.
void release_shared(PyObject* array) noexcept;

}  // namespace tamrix::borrow
