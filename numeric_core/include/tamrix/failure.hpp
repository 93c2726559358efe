// Internal failures of the numeric core.
//
// The core never talks to Python. When an invariant is broken (an index out of
// range, a pool that cannot start) it throws `Failure`, which remembers where
// and on which thread it happened, so the binding layer can print a precise
// diagnostic before turning it into a Python exception.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace tamrix {

class Failure : public std::runtime_error {
 public:
  explicit Failure(const std::string& message,
                   std::source_location where = std::source_location::current());

  const std::source_location& where() const noexcept { return where_; }
  const std::string& thread_name() const noexcept { return thread_; }

 private:
  std::source_location where_;
  std::string thread_;
};

// The name of the calling thread as the OS knows it ("<unnamed>" if unknown).
std::string current_thread_name();

// The failure reported when code indexes past the end of a sequence.
[[noreturn]] void fail_index_out_of_bounds(
    std::size_t len, std::size_t index,
    std::source_location where = std::source_location::current());

}  // namespace tamrix
