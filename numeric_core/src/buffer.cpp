#include "tamrix/buffer.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace tamrix {
namespace {

// Storage handed out for empty buffers: never freed, never written.
alignas(64) double empty_storage[1];

// Large buffers ask for transparent huge pages on their 2 MiB-aligned
// interior, as NumPy does for its own large arrays: a fresh 80 MB result
// otherwise costs ~20,000 page faults, which dominate memory-bound kernels.
// The storage itself comes from plain malloc, so glibc can recycle freed
// results from its heap instead of mapping and zeroing new pages per call.
constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;
constexpr std::size_t huge_threshold = std::size_t{4} << 20;

void advise_huge_pages(void* storage, std::size_t bytes) {
  const auto start = reinterpret_cast<std::uintptr_t>(storage);
  const std::uintptr_t first = (start + huge_page - 1) & ~(huge_page - 1);
  const std::uintptr_t last = (start + bytes) & ~(huge_page - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace

std::size_t checked_product(std::size_t a, std::size_t b) {
  std::size_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) throw std::bad_alloc();
  return product;
}

DoubleBuffer::DoubleBuffer(std::size_t n) : data_(empty_storage), size_(n) {
  if (n == 0) return;
  const std::size_t bytes = checked_product(n, sizeof(double));
  void* storage = std::malloc(bytes);
  if (storage == nullptr) throw std::bad_alloc();
  if (bytes >= huge_threshold) advise_huge_pages(storage, bytes);
  data_ = static_cast<double*>(storage);
}

void DoubleBuffer::free_storage(double* data, std::size_t size) noexcept {
  (void)size;
  if (data != nullptr && data != empty_storage) std::free(data);
}

}  // namespace tamrix
