#include "borrow.hpp"

namespace tamrix::borrow {

// Borrow registration is not wired up yet: arrays are only read, and this
// module takes no exclusive borrows, so nothing can conflict within it.
void acquire_shared(PyObject*) {}

void release_shared(PyObject*) noexcept {}

}  // namespace tamrix::borrow
