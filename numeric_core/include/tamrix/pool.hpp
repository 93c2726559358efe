// The process-wide worker pool.
//
// One pool per process, created on first use and never shut down. Work is a
// contiguous index range that is split by halving under a budget: the budget
// starts at the pool size, halves at every split and is refreshed when a piece
// migrates to another thread, so a call makes only a small multiple of the
// worker count of pieces while idle workers can still subdivide what they
// steal. Workers sleep when idle; nothing spins between calls.
//
// A process that forks after the pool exists gets a fresh pool in the child on
// its first parallel call (the parent's threads do not exist there).
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace tamrix::pool {

// A non-owning reference to a callable `void(std::size_t lo, std::size_t hi)`.
class RangeFn {
 public:
  template <class F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, RangeFn>) RangeFn(F& f)
  noexcept  // NOLINT(google-explicit-constructor)
      : object_(static_cast<void*>(&f)),
        call_([](void* o, std::size_t lo, std::size_t hi) { (*static_cast<F*>(o))(lo, hi); }) {}
  void operator()(std::size_t lo, std::size_t hi) const { call_(object_, lo, hi); }

 private:
  void* object_;
  void (*call_)(void*, std::size_t, std::size_t);
};

// Asked now and then by the thread that waits for a job whether to give it
// up: a callback with its context, run on that thread only (a binding layer
// runs its interpreter's signal handlers there). It answers true to stop, or
// throws to stop with that exception. The default one never stops.
class StopCheck {
 public:
  StopCheck() noexcept = default;
  StopCheck(bool (*ask)(void* context), void* context) noexcept : ask_(ask), context_(context) {}
  explicit operator bool() const noexcept { return ask_ != nullptr; }
  bool stop_requested() const { return ask_(context_); }

 private:
  bool (*ask_)(void*) = nullptr;
  void* context_ = nullptr;
};

// How often a waiting thread asks its StopCheck: often enough that Ctrl-C
// feels immediate, rarely enough to cost nothing.
inline constexpr std::chrono::milliseconds stop_check_interval{20};

// Thrown by a run whose StopCheck answered true, once no worker reads its
// data any more: the pieces that were running finished, the others never
// started, and the partial result must be dropped. Why it stopped is the
// StopCheck's business (a binding layer leaves its Python exception set).
class Stopped : public std::exception {
 public:
  const char* what() const noexcept override { return "the computation was stopped"; }
};

// Number of workers the pool has (creating the pool if needed). Throws
// tamrix::Failure if the pool cannot be created.
std::size_t size();

// Makes sure the pool exists (it is created on the first array call even when
// that call computes on the calling thread). Throws tamrix::Failure on error.
void ensure_started();

// Runs body over [0, n) on the pool and blocks until every index is done,
// asking `stop` every stop_check_interval while it waits. Workers call body
// on at most `grain` indices at a time and start no further call once the job
// is abandoned, so keep a grain to a fraction of a millisecond of work. The
// first exception thrown by body is rethrown here after the pieces already
// running have finished; when `stop` answers true (or throws), the job is
// abandoned the same way and Stopped (or its exception) is thrown.
//
// Any number of threads may call it at once: each job is queued on its own
// and each caller waits for its own job only. Called on a worker of the pool
// (a body that itself runs a job), it evaluates body on that worker instead,
// without asking `stop`: a worker blocked on the pool could wait for itself.
void run(std::size_t n, RangeFn body, std::size_t grain, StopCheck stop = {});

// One pool-size variable: its value, or nothing when it is absent or not a
// decimal unsigned integer (an optional leading '+' is allowed).
std::optional<std::size_t> parse_thread_count(const char* text);

// The pool size the environment asks for: RAYON_NUM_THREADS if positive
// (0 meaning "the default"), else RAYON_RS_NUM_CPUS if positive, else the CPUs
// available to the process.
std::size_t configured_size();

// CPUs this process may use: its affinity set, limited by a cgroup CPU quota.
std::size_t available_cpus();

}  // namespace tamrix::pool
