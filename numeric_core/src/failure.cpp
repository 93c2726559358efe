#include "tamrix/failure.hpp"

#include <pthread.h>

namespace tamrix {

Failure::Failure(const std::string& message, std::source_location where)
    : std::runtime_error(message), where_(where), thread_(current_thread_name()) {}

std::string current_thread_name() {
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
    return "<unnamed>";
  }
  return name;
}

void fail_index_out_of_bounds(std::size_t len, std::size_t index, std::source_location where) {
  throw Failure("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                    std::to_string(index),
                where);
}

}  // namespace tamrix
