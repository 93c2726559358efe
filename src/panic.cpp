#include "panic.hpp"

#include <cstdio>
#include <exception>
#include <new>

#include "once.hpp"
#include "tamrix/failure.hpp"
#include "tamrix/pool.hpp"

namespace tamrix::binding {
namespace {

constexpr const char* panic_doc =
    "\n"
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

constexpr const char* generic_message = "native code panicked without a message";

Once<PyObject> panic_type;  // created on the first failure, never released

PyObject* panic_exception_type() {
  return panic_type.get([] {
    PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                               PyExc_BaseException, nullptr);
    if (type == nullptr) Py_FatalError("Failed to initialize new exception type.");
    return type;
  });
}

void write_diagnostic(const std::string& thread, const std::string& location,
                      const std::string& message) {
  std::fprintf(stderr, "\nthread '%s' panicked at %s:\n%s\n", thread.c_str(), location.c_str(),
               message.c_str());
  std::fflush(stderr);
}

std::string location_of(const Failure& failure) {
  const auto& where = failure.where();
  return std::string(where.file_name()) + ":" + std::to_string(where.line()) + ":" +
         std::to_string(where.column());
}

void set_panic(const std::string& message) {
  PyObject* type = panic_exception_type();
  py::Ref text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;  // the decoding error is the pending exception
  PyErr_SetObject(type, text.get());
}

void convert(std::exception_ptr pending) {
  try {
    std::rethrow_exception(pending);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const pool::Stopped& stopped) {
    // A signal handler's exception is the call's result.
    if (!PyErr_Occurred()) set_panic(stopped.what());
  } catch (const Failure& failure) {
    write_diagnostic(failure.thread_name(), location_of(failure), failure.what());
    set_panic(failure.what());
  } catch (const std::exception& error) {
    write_diagnostic(current_thread_name(), "<unknown>", error.what());
    set_panic(error.what());
  } catch (...) {
    write_diagnostic(current_thread_name(), "<unknown>", generic_message);
    set_panic(generic_message);
  }
}

}  // namespace

void raise_current_exception() noexcept {
  try {
    convert(std::current_exception());
  } catch (...) {
    Py_FatalError("uncaught panic at ffi boundary");
  }
}

void fail_with_pending_error(std::string message) {
  if (PyObject* raised = PyErr_GetRaisedException()) {
    py::Ref text(PyObject_Str(raised));
    Py_DECREF(raised);
    if (text) {
      if (const char* utf8 = PyUnicode_AsUTF8(text.get())) message += std::string(": ") + utf8;
    }
    PyErr_Clear();
  }
  throw Failure(message);
}

void resume_if_panic() {
  PyObject* type = panic_type.peek();
  if (type == nullptr || !PyErr_ExceptionMatches(type)) return;
  PyObject* raised = PyErr_GetRaisedException();
  std::fprintf(stderr,
               "--- tamrix is resuming a panic after fetching a PanicException from Python. "
               "---\nPython stack trace below:\n");
  PyErr_DisplayException(raised);
  py::Ref text(PyObject_Str(raised));
  Py_DECREF(raised);
  std::string message = generic_message;
  if (text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) message.assign(utf8, size);
  }
  PyErr_Clear();
  throw Failure(message);
}

}  // namespace tamrix::binding
