// An owned, uninitialised vector of doubles whose storage can be handed over.
//
// Results are allocated once with their final length and later adopted by a
// Python object without a copy, so the storage must be releasable through a
// plain function pointer (`DoubleBuffer::free_storage`).
#pragma once

#include <cstddef>
#include <utility>

namespace tamrix {

class DoubleBuffer {
 public:
  // Throws std::bad_alloc when n doubles cannot be allocated (or n * 8
  // overflows). The contents are uninitialised.
  explicit DoubleBuffer(std::size_t n);
  DoubleBuffer(DoubleBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  DoubleBuffer& operator=(DoubleBuffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
  }
  DoubleBuffer(const DoubleBuffer&) = delete;
  DoubleBuffer& operator=(const DoubleBuffer&) = delete;
  ~DoubleBuffer() { free_storage(data_, size_); }

  double* data() noexcept { return data_; }
  const double* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  double& operator[](std::size_t i) noexcept { return data_[i]; }

  // Gives up ownership; the caller must later pass (pointer, size) to
  // free_storage. An empty buffer still yields a non-null, aligned pointer so
  // that consumers never mistake it for "no buffer".
  double* release() noexcept {
    size_ = 0;
    return std::exchange(data_, nullptr);
  }
  static void free_storage(double* data, std::size_t size) noexcept;

 private:
  double* data_;
  std::size_t size_;
};

// Multiplies two counts, throwing std::bad_alloc when the product does not fit
// in size_t: such a result could never be allocated.
std::size_t checked_product(std::size_t a, std::size_t b);

}  // namespace tamrix
