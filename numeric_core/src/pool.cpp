#include "tamrix/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <sstream>
#include <vector>

#include "tamrix/failure.hpp"
#include "tamrix/libm.hpp"

namespace tamrix::pool {
namespace {

constexpr const char* not_initialized = "The global thread pool has not been initialized.";

// One parallel call. It lives on the calling thread's stack; the last piece to
// finish sets `done` (under the pool's done_mutex_), after which no worker
// touches the job again.
struct Job {
  Job(RangeFn fn, std::size_t n, std::size_t grain_size)
      : body(fn), grain(grain_size == 0 ? 1 : grain_size), remaining(n) {}
  RangeFn body;
  std::size_t grain;  // indices per call of body
  std::atomic<std::size_t> remaining;
  // Set on a failure or a stop: no further call of body starts.
  std::atomic<bool> abandoned{false};
  std::atomic<bool> failed{false};
  std::exception_ptr error;  // written once, by the piece that set `failed`
  bool done = false;
};

constexpr int external_thread = -1;

struct Piece {
  Job* job;
  std::size_t lo;
  std::size_t hi;
  std::size_t budget;
  int creator;  // worker index that made this piece, or external_thread
};

class Pool {
 public:
  explicit Pool(std::size_t threads);
  // Starts the workers. On failure the threads already started keep using
  // this object, so it must then be leaked, never freed.
  void start();
  std::size_t size() const noexcept { return queues_.size(); }
  void run(std::size_t n, RangeFn body, std::size_t grain, StopCheck stop);

 private:
  struct Queue {
    std::mutex mutex;
    std::deque<Piece> pieces;
  };

  static void* thread_main(void* arg);
  void worker_loop(int self);
  bool find_work(int self, Piece& out);
  void execute(int self, Piece piece);
  static void evaluate(Job& job, std::size_t lo, std::size_t hi) noexcept;
  void finish(Job& job);
  // Blocks until the job is done, asking `stop` now and then; returns the
  // reason to give up the job, if any (null: it ran to the end).
  std::exception_ptr wait_for(Job& job, StopCheck stop);
  void push(Queue& queue, const Piece& piece);
  static bool pop_back(Queue& queue, Piece& out);
  static bool pop_front(Queue& queue, Piece& out);

  // Whether the thread is one of this pool's workers. (Not a thread_local
  // mark: LeakSanitizer's exit-time scan trips over the dynamic TLS of a
  // loaded module.)
  bool is_worker(pthread_t thread) const noexcept;

  std::vector<std::unique_ptr<Queue>> queues_;
  // Filled by start(), before any job exists; read only by workers running one.
  std::vector<pthread_t> workers_;
  Queue injected_;
  // Bumped whenever work is published; sleeping workers wait on it.
  std::atomic<std::uint32_t> work_epoch_{0};
  std::atomic<int> sleepers_{0};
  // Callers wait on done_ for their job's `done`, with a time-out when they
  // have a StopCheck to ask. It belongs to the pool, not the job: the job may
  // be gone by the time a notification is delivered.
  std::mutex done_mutex_;
  std::condition_variable done_;
};

struct WorkerStart {
  Pool* pool;
  int index;
};

Pool::Pool(std::size_t threads) {
  queues_.reserve(threads);
  workers_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) queues_.push_back(std::make_unique<Queue>());
}

void Pool::start() {
  const std::size_t threads = queues_.size();

  // Workers never handle signals: they are delivered to Python's threads.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, std::size_t{2} << 20);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  int error = 0;
  for (std::size_t i = 0; i < threads && error == 0; ++i) {
    auto* start = new WorkerStart{this, static_cast<int>(i)};
    pthread_t thread;
    error = pthread_create(&thread, &attr, &Pool::thread_main, start);
    if (error != 0) {
      delete start;
    } else {
      workers_.push_back(thread);  // reserved: no allocation
    }
  }
  pthread_attr_destroy(&attr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (error != 0) {
    throw Failure(std::string(not_initialized) + " Could not start worker thread: error " +
                  std::to_string(error));
  }
}

void* Pool::thread_main(void* arg) {
  std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(arg));
  const std::string name = "tamrix-" + std::to_string(start->index);
  pthread_setname_np(pthread_self(), name.c_str());
  start->pool->worker_loop(start->index);
  return nullptr;
}

void Pool::push(Queue& queue, const Piece& piece) {
  {
    std::lock_guard lock(queue.mutex);
    queue.pieces.push_back(piece);
  }
  work_epoch_.fetch_add(1);
  if (sleepers_.load() > 0) work_epoch_.notify_all();
}

bool Pool::pop_back(Queue& queue, Piece& out) {
  std::lock_guard lock(queue.mutex);
  if (queue.pieces.empty()) return false;
  out = queue.pieces.back();
  queue.pieces.pop_back();
  return true;
}

bool Pool::pop_front(Queue& queue, Piece& out) {
  std::lock_guard lock(queue.mutex);
  if (queue.pieces.empty()) return false;
  out = queue.pieces.front();
  queue.pieces.pop_front();
  return true;
}

bool Pool::find_work(int self, Piece& out) {
  // Own work newest-first (it is hot in cache), others' oldest-first (the
  // largest pieces), then what outside threads handed in.
  if (pop_back(*queues_[self], out)) return true;
  const std::size_t n = queues_.size();
  for (std::size_t k = 1; k < n; ++k) {
    if (pop_front(*queues_[(self + k) % n], out)) return true;
  }
  return pop_front(injected_, out);
}

void Pool::worker_loop(int self) {
  for (;;) {
    Piece piece;
    if (find_work(self, piece)) {
      execute(self, piece);
      continue;
    }
    const std::uint32_t seen = work_epoch_.load();
    if (find_work(self, piece)) {
      execute(self, piece);
      continue;
    }
    sleepers_.fetch_add(1);
    work_epoch_.wait(seen);
    sleepers_.fetch_sub(1);
  }
}

void Pool::execute(int self, Piece piece) {
  Job* job = piece.job;
  if (piece.creator != self) piece.budget = std::max(size(), piece.budget / 2);
  std::size_t lo = piece.lo;
  std::size_t hi = piece.hi;
  while ((hi - lo) / 2 >= 1 && piece.budget > 0 &&
         !job->abandoned.load(std::memory_order_relaxed)) {
    const std::size_t mid = lo + (hi - lo) / 2;
    // Out of memory for a queue entry, the rest is evaluated here unsplit: an
    // exception must not escape a worker, and every index must be counted.
    try {
      push(*queues_[self], Piece{job, mid, hi, piece.budget / 2, self});
    } catch (const std::bad_alloc&) {
      break;
    }
    piece.budget /= 2;
    hi = mid;
  }
  evaluate(*job, lo, hi);
  const std::size_t count = hi - lo;
  if (job->remaining.fetch_sub(count) == count) finish(*job);
}

// Body over [lo, hi) a grain at a time, so that a job given up (a failure
// elsewhere, or its caller's StopCheck) is left within a grain. Every index
// counts as done either way.
void Pool::evaluate(Job& job, std::size_t lo, std::size_t hi) noexcept {
  for (std::size_t first = lo; first < hi;) {
    if (job.abandoned.load(std::memory_order_relaxed)) return;
    const std::size_t end = hi - first > job.grain ? first + job.grain : hi;
    try {
      job.body(first, end);
    } catch (...) {
      if (!job.failed.exchange(true)) job.error = std::current_exception();
      job.abandoned.store(true, std::memory_order_relaxed);
      return;
    }
    first = end;
  }
}

void Pool::finish(Job& job) {
  {
    std::lock_guard lock(done_mutex_);
    job.done = true;  // last touch of the job
  }
  done_.notify_all();
}

bool Pool::is_worker(pthread_t thread) const noexcept {
  return std::any_of(workers_.begin(), workers_.end(),
                     [thread](pthread_t worker) { return pthread_equal(worker, thread) != 0; });
}

std::exception_ptr Pool::wait_for(Job& job, StopCheck stop) {
  std::exception_ptr reason;
  std::unique_lock lock(done_mutex_);
  while (!job.done) {
    if (!stop || reason) {
      done_.wait(lock);
      continue;
    }
    if (done_.wait_for(lock, stop_check_interval, [&job] { return job.done; })) break;
    // The check may take long (it may run a signal handler): the workers
    // must be able to report meanwhile.
    lock.unlock();
    try {
      if (stop.stop_requested()) reason = std::make_exception_ptr(Stopped());
    } catch (...) {
      reason = std::current_exception();
    }
    if (reason) job.abandoned.store(true, std::memory_order_relaxed);
    lock.lock();
  }
  return reason;
}

void Pool::run(std::size_t n, RangeFn body, std::size_t grain, StopCheck stop) {
  if (n == 0) return;
  if (is_worker(pthread_self())) {
    // This worker is already inside a job that occupies the pool; the range
    // is evaluated here, which gives the same results.
    body(0, n);
    return;
  }
  Job job(body, n, grain);
  push(injected_, Piece{&job, 0, n, size(), external_thread});
  // From here until the job is done, workers use it: nothing may unwind.
  const std::exception_ptr stopped = wait_for(job, stop);
  if (stopped) std::rethrow_exception(stopped);
  if (job.error) std::rethrow_exception(job.error);
}

// Process-wide state. A forked child starts over: the parent's workers do
// not exist there, and a mutex may have been copied in a locked state.
struct Global {
  std::mutex mutex;
  bool attempted = false;
  // Published once the pool has started, so that every later call finds it
  // without taking the mutex (calls from many threads would queue on it).
  std::atomic<Pool*> pool{nullptr};
  std::string error;
};

alignas(Global) unsigned char global_storage[sizeof(Global)];
Global* global_state = nullptr;
std::once_flag atfork_once;

void reset_after_fork() { global_state = new (global_storage) Global(); }

Global& global() {
  std::call_once(atfork_once, [] {
    reset_after_fork();
    pthread_atfork(nullptr, nullptr, &reset_after_fork);
  });
  return *global_state;
}

Pool& instance() {
  Global& g = global();
  if (Pool* ready = g.pool.load(std::memory_order_acquire)) return *ready;
  std::lock_guard lock(g.mutex);
  if (!g.attempted) {
    g.attempted = true;
    // The kernels' exp/log and acos paths are decided (and the vector paths
    // checked against the C library) once, before any worker runs a kernel.
    libm::status();
    libm::acos_status();
    try {
      auto pool = std::make_unique<Pool>(configured_size());
      Pool* candidate = pool.get();
      pool.release()->start();  // leaked on failure: started workers still use it
      g.pool.store(candidate, std::memory_order_release);
    } catch (const Failure& failure) {
      g.error = failure.what();
    } catch (const std::exception& e) {
      g.error = std::string(not_initialized) + " " + e.what();
    }
  }
  Pool* pool = g.pool.load(std::memory_order_relaxed);
  if (pool == nullptr) throw Failure(g.error);
  return *pool;
}

std::optional<std::size_t> read_unsigned(const std::string& text) {
  return parse_thread_count(text.c_str());
}

// The directories from a cgroup's own up to the root of its hierarchy.
std::vector<std::string> cgroup_path_upwards(const std::string& path) {
  std::vector<std::string> dirs;
  std::string dir = path;
  for (;;) {
    dirs.push_back(dir);
    if (dir.empty() || dir == "/") break;
    const auto slash = dir.rfind('/');
    dir = slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
  }
  return dirs;
}

// Whole CPUs a quota per period allows (at least one).
std::size_t quota_cpus(std::size_t quota, std::size_t period) {
  return std::max<std::size_t>(1, quota / period);
}

// A parent's quota binds every cgroup below it, so the tightest quota on the
// path from this process's cgroup up to the root wins.
void tighten(std::optional<std::size_t>& best, std::size_t cpus) {
  best = best ? std::min(*best, cpus) : cpus;
}

// cgroup v2: cpu.max holds "<quota> <period>" or "max <period>".
std::optional<std::size_t> cgroup2_limit(const std::string& path) {
  std::optional<std::size_t> best;
  for (const std::string& dir : cgroup_path_upwards(path)) {
    std::ifstream file("/sys/fs/cgroup" + dir + "/cpu.max");
    std::string quota, period;
    if (file >> quota >> period && quota != "max") {
      auto q = read_unsigned(quota);
      auto p = read_unsigned(period);
      if (q && p && *p > 0) tighten(best, quota_cpus(*q, *p));
    }
  }
  return best;
}

// cgroup v1: the cpu controller's CFS quota, -1 where there is none. In a
// container the process's path may not exist below the mount, whose root is
// then the container's own cgroup; the walk reaches it in any case.
std::optional<std::size_t> cgroup1_limit(const std::string& path) {
  for (const char* mount : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
    std::optional<std::size_t> best;
    bool mounted = false;
    for (const std::string& dir : cgroup_path_upwards(path)) {
      const std::string base = std::string(mount) + (dir == "/" ? "" : dir);
      std::ifstream quota_file(base + "/cpu.cfs_quota_us");
      std::ifstream period_file(base + "/cpu.cfs_period_us");
      long long quota = 0, period = 0;
      if (!(quota_file >> quota && period_file >> period)) continue;
      mounted = true;
      if (quota > 0 && period > 0) tighten(best, quota_cpus(quota, period));
    }
    if (mounted) return best;
  }
  return std::nullopt;
}

std::optional<std::size_t> cgroup_limit() {
  std::ifstream file("/proc/self/cgroup");
  std::string line;
  while (std::getline(file, line)) {
    const auto first = line.find(':');
    const auto second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (line.compare(0, first, "0") == 0 && controllers.empty()) return cgroup2_limit(path);
    std::stringstream list(controllers);
    for (std::string name; std::getline(list, name, ',');) {
      if (name == "cpu") return cgroup1_limit(path);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::size_t> parse_thread_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  if (*text == '+') ++text;
  if (*text == '\0') return std::nullopt;
  std::size_t value = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return std::nullopt;
    if (__builtin_mul_overflow(value, std::size_t{10}, &value) ||
        __builtin_add_overflow(value, static_cast<std::size_t>(*text - '0'), &value)) {
      return std::nullopt;
    }
  }
  return value;
}

std::size_t available_cpus() {
  std::size_t cpus = 1;
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    cpus = std::max(1, CPU_COUNT(&set));
  }
  if (auto limit = cgroup_limit()) cpus = std::min(cpus, *limit);
  return cpus;
}

std::size_t configured_size() {
  if (auto threads = parse_thread_count(std::getenv("RAYON_NUM_THREADS"))) {
    return *threads > 0 ? *threads : available_cpus();
  }
  if (auto threads = parse_thread_count(std::getenv("RAYON_RS_NUM_CPUS"));
      threads && *threads > 0) {
    return *threads;
  }
  return available_cpus();
}

std::size_t size() { return instance().size(); }

void ensure_started() { instance(); }

void run(std::size_t n, RangeFn body, std::size_t grain, StopCheck stop) {
  instance().run(n, body, grain, stop);
}

}  // namespace tamrix::pool
