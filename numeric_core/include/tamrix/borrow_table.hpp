// The table of array borrows shared by the extension modules of a process.
//
// Borrows are grouped by owner: the object that ultimately holds the memory
// of an array and all its views. Within an owner each borrow is known by a
// key describing the bytes its view can reach. A positive count is the number
// of shared (read-only) borrows under a key, a negative count marks the one
// exclusive (writing) borrow. A borrow is refused when it would overlap a
// borrow of the other kind, so nobody writes memory that somebody else reads.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <unordered_map>

namespace tamrix::borrow {

// Return codes of the protocol the participating modules share.
inline constexpr int borrowed = 0;
inline constexpr int already_borrowed = -1;
inline constexpr int not_writeable = -2;
// Our own addition: the borrow could not be recorded (memory exhausted, or
// the object handed in is not an array). Other modules report it as an
// unexpected return code.
inline constexpr int cannot_register = -3;

// The bytes a strided view may touch.
struct Key {
  std::uintptr_t start = 0;      // first byte
  std::uintptr_t end = 0;        // one past the last byte
  std::uintptr_t data = 0;       // the view's data pointer
  std::uint64_t stride_gcd = 0;  // every element starts a multiple of this away from data
  std::uint64_t item_size = 0;

  friend auto operator<=>(const Key&, const Key&) = default;
};

// The key of a view with the given data pointer, shape, strides (in bytes,
// possibly negative or zero) and item size. A view with a zero-length
// dimension reaches no byte: its range is empty at the data pointer.
Key key_of(std::uintptr_t data, std::span<const std::intptr_t> shape,
           std::span<const std::intptr_t> strides, std::uint64_t item_size) noexcept;

// Whether some element of one view may share a byte with some element of the
// other. Never false when they do share one.
bool conflicts(const Key& a, const Key& b) noexcept;

// Safe to use from several threads at once: the participating modules call it
// from whichever Python thread runs them, with no interpreter lock in a
// free-threaded interpreter.
class Table {
 public:
  // Each returns `borrowed` or `already_borrowed`; they throw std::bad_alloc
  // when the borrow cannot be recorded.
  int acquire_shared(std::uintptr_t owner, const Key& key);
  int acquire_exclusive(std::uintptr_t owner, const Key& key);

  // Ending a borrow that is not registered (a caller's mistake) changes nothing.
  void release_shared(std::uintptr_t owner, const Key& key) noexcept;
  void release_exclusive(std::uintptr_t owner, const Key& key) noexcept;

  // The signed count under the key (0 when there is none).
  std::int64_t count(std::uintptr_t owner, const Key& key) const noexcept;

 private:
  using Keys = std::map<Key, std::int64_t>;

  Keys* keys_of(std::uintptr_t owner) noexcept;
  bool any_conflict(const Keys& keys, const Key& key, bool exclusive_only) const noexcept;
  void insert(std::uintptr_t owner, const Key& key, std::int64_t count);
  void erase(std::uintptr_t owner, Keys& keys, Keys::iterator entry) noexcept;

  mutable std::mutex mutex_;  // guards owners_; held only briefly, never around a call out
  std::unordered_map<std::uintptr_t, Keys> owners_;
};

}  // namespace tamrix::borrow
