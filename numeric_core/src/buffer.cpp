#include "tamrix/buffer.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace tamrix {
namespace {

// Storage handed out for empty buffers: never freed, never written.
alignas(64) double empty_storage[1];

// Large buffers are aligned to 2 MiB and offered transparent huge pages, as
// NumPy does for its own large arrays: a fresh 80 MB result otherwise costs
// ~20,000 page faults, which dominate memory-bound kernels.
constexpr std::size_t huge_page = std::size_t{2} << 20;
constexpr std::size_t huge_threshold = std::size_t{4} << 20;

std::size_t round_up(std::size_t bytes, std::size_t to) { return (bytes + to - 1) / to * to; }

}  // namespace

std::size_t checked_product(std::size_t a, std::size_t b) {
  std::size_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) throw std::bad_alloc();
  return product;
}

DoubleBuffer::DoubleBuffer(std::size_t n) : data_(empty_storage), size_(n) {
  if (n == 0) return;
  if (n > (SIZE_MAX - huge_page) / sizeof(double)) throw std::bad_alloc();
  const std::size_t bytes = n * sizeof(double);
  void* storage = nullptr;
  if (bytes >= huge_threshold) {
    storage = std::aligned_alloc(huge_page, round_up(bytes, huge_page));
    if (storage != nullptr) madvise(storage, round_up(bytes, huge_page), MADV_HUGEPAGE);
  } else {
    storage = std::malloc(bytes);
  }
  if (storage == nullptr) throw std::bad_alloc();
  data_ = static_cast<double*>(storage);
}

void DoubleBuffer::free_storage(double* data, std::size_t size) noexcept {
  (void)size;
  if (data != nullptr && data != empty_storage) std::free(data);
}

}  // namespace tamrix
