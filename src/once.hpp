// Process-wide objects made once, on first need, and kept for the process.
//
// Making one may run Python code (an import, a type creation that triggers a
// collection), and meanwhile other threads run: the interpreter lock is
// released now and then, and a free-threaded interpreter has none. A thread
// that arrives while another is making the object waits for it instead of
// making a second one, so that every caller sees the same PanicException type,
// the same borrow table and the same NumPy table. It waits detached from the
// interpreter: the maker may need the lock, or a stop of the world for the
// garbage collector, before it can finish.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "python.hpp"
#include "tamrix/failure.hpp"

namespace tamrix::binding {

template <class T>
class Once {
 public:
  // The object, made by `make` if no caller has made it yet. `make` runs
  // with the calling thread attached to the interpreter; when it throws or
  // returns null nothing is kept, and the next caller tries again.
  template <class Make>
  T* get(Make&& make) {
    if (T* made = made_.load(std::memory_order_acquire)) return made;
    if (maker_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
      // Python code run by `make` called back into this module: waiting for
      // ourselves would never end.
      throw Failure("a process-wide object was needed while it was being made");
    }
    lock_detached();
    std::lock_guard lock(mutex_, std::adopt_lock);
    if (T* made = made_.load(std::memory_order_relaxed)) return made;
    maker_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    struct Done {
      std::atomic<std::thread::id>& maker;
      ~Done() { maker.store(std::thread::id(), std::memory_order_relaxed); }
    } done{maker_};
    T* made = make();
    made_.store(made, std::memory_order_release);
    return made;
  }

  // The object if it has been made, else null.
  T* peek() const noexcept { return made_.load(std::memory_order_acquire); }

 private:
  void lock_detached() {
    if (mutex_.try_lock()) return;
    PyThreadState* state = PyEval_SaveThread();
    try {
      mutex_.lock();
    } catch (...) {
      PyEval_RestoreThread(state);
      throw;
    }
    PyEval_RestoreThread(state);
  }

  std::atomic<T*> made_{nullptr};
  std::mutex mutex_;
  std::atomic<std::thread::id> maker_{};
};

}  // namespace tamrix::binding
