// Internal failures surface in Python as `PanicException`, a BaseException
// subclass, never as a crash: every entry point runs under `guarded`.
#pragma once

#include <string>

#include "python.hpp"

namespace tamrix::binding {

// Converts the exception being handled (call only inside a catch block) into
// a pending Python exception: std::bad_alloc becomes MemoryError,
// pool::Stopped leaves the exception of the signal handler that stopped the
// computation (interrupt.hpp), anything else becomes PanicException with the
// failure's text, after a diagnostic on stderr.
void raise_current_exception() noexcept;

// Runs body; any C++ exception leaving it becomes a Python exception and the
// result is nullptr.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

// If the pending Python exception is a PanicException raised by Python code
// we called (a user's __float__, say), reports it and throws it back as an
// internal failure with the same message. Otherwise does nothing.
void resume_if_panic();

// Throws an internal failure whose text is `message`, followed by the text of
// the pending Python exception (if any), which is cleared.
[[noreturn]] void fail_with_pending_error(std::string message);

}  // namespace tamrix::binding
