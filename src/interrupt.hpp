// Ctrl-C during a long computation.
//
// A call keeps its thread attached to the interpreter while the pool
// computes, and the interpreter runs signal handlers only on that thread's
// request. The StopCheck made here is asked by the waiting thread every
// pool::stop_check_interval: it runs the handlers that are due
// (PyErr_CheckSignals, where the interpreter may also run a garbage
// collection it has scheduled) and gives the computation up when one raised.
// The computation then throws pool::Stopped once no worker reads its inputs
// any more, with the handler's exception (KeyboardInterrupt, or whatever a
// custom handler raised) still set. Whoever started it drops the partial
// result, releases what the call holds and returns NULL; `guarded` (panic.hpp)
// does that for pool::Stopped.
//
// Handlers run while the workers read the call's arrays: one that frees an
// argument's memory under them (ndarray.resize with refcheck=False) is as
// unsafe as doing so from another thread while NumPy reads it.
//
// Header-only, so that every extension module built from these sources can
// make its long calls interruptible the same way.
#pragma once

#include "python.hpp"
#include "tamrix/pool.hpp"

namespace tamrix::binding {

// Runs the signal handlers that are due; true when one raised (its
// exception is then set). Only on a thread attached to the interpreter.
inline bool signal_handler_raised(void* /*context*/) noexcept { return PyErr_CheckSignals() < 0; }

// The StopCheck of a computation started by a Python call on this thread.
inline pool::StopCheck python_signals() noexcept { return {&signal_handler_raised, nullptr}; }

// As above, for a thread that released the interpreter lock for the
// computation (PyEval_SaveThread gave `released`): each check takes the
// interpreter back for the moment it runs the handlers. A handler's
// exception stays set in the thread's state for when the call resumes.
inline bool signal_handler_raised_released(void* released) noexcept {
  PyEval_RestoreThread(static_cast<PyThreadState*>(released));
  const bool raised = PyErr_CheckSignals() < 0;
  PyEval_SaveThread();  // the same thread state as `released`
  return raised;
}

inline pool::StopCheck python_signals(PyThreadState* released) noexcept {
  return {&signal_handler_raised_released, released};
}

}  // namespace tamrix::binding
