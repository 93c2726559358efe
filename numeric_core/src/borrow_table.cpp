#include "tamrix/borrow_table.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <utility>

namespace tamrix::borrow {
namespace {

constexpr std::uintptr_t highest_address = std::numeric_limits<std::uintptr_t>::max();
constexpr std::int64_t most_shared = std::numeric_limits<std::int64_t>::max();

// Offsets saturate instead of wrapping. NumPy does not check the strides of a
// view over foreign memory; a range that is too wide only makes the table
// more cautious, while a wrapped one could miss bytes.
std::int64_t saturating_add(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<std::int64_t>::max()
               : std::numeric_limits<std::int64_t>::min();
}

std::int64_t saturating_mul(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t product = 0;
  if (!__builtin_mul_overflow(a, b, &product)) return product;
  return (a < 0) != (b < 0) ? std::numeric_limits<std::int64_t>::min()
                            : std::numeric_limits<std::int64_t>::max();
}

std::uint64_t magnitude(std::int64_t value) noexcept {
  return value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                   : static_cast<std::uint64_t>(value);
}

std::uintptr_t advance(std::uintptr_t address, std::uint64_t bytes) noexcept {
  return bytes > highest_address - address ? highest_address : address + bytes;
}

std::uintptr_t retreat(std::uintptr_t address, std::uint64_t bytes) noexcept {
  return bytes > address ? 0 : address - bytes;
}

}  // namespace

Key key_of(std::uintptr_t data, std::span<const std::intptr_t> shape,
           std::span<const std::intptr_t> strides, std::uint64_t item_size) noexcept {
  Key key;
  key.data = data;
  key.item_size = item_size;
  for (std::intptr_t stride : strides) key.stride_gcd = std::gcd(key.stride_gcd, magnitude(stride));
  if (strides.empty()) key.stride_gcd = 1;

  const bool reaches_nothing =
      std::any_of(shape.begin(), shape.end(), [](std::intptr_t length) { return length <= 0; });
  if (reaches_nothing) {
    key.start = key.end = data;
    return key;
  }
  // The last element along a dimension lies (length - 1) strides away; the
  // negative steps extend the range below the data pointer, the positive
  // ones above it.
  std::int64_t below = 0;
  std::int64_t above = 0;
  for (std::size_t i = 0; i < shape.size() && i < strides.size(); ++i) {
    const std::int64_t extent = saturating_mul(shape[i] - 1, strides[i]);
    if (extent < 0) {
      below = saturating_add(below, extent);
    } else {
      above = saturating_add(above, extent);
    }
  }
  key.start = retreat(data, magnitude(below));
  key.end = advance(advance(data, magnitude(above)), item_size);
  return key;
}

bool conflicts(const Key& a, const Key& b) noexcept {
  // A view that reaches no byte (a zero-length dimension) touches nothing.
  if (a.start >= a.end || b.start >= b.end) return false;
  if (a.start >= b.end || b.start >= a.end) return false;
  const std::uint64_t step = std::gcd(a.stride_gcd, b.stride_gcd);
  // Both views repeat a single item in place, so their ranges are their items.
  if (step == 0) return true;
  // Elements of a start at a.data plus multiples of step, elements of b at
  // b.data plus multiples of step. An element of a at x and one of b at y
  // share a byte exactly when -size_a < x - y < size_b, so a shared byte
  // needs a number in that window congruent to a.data - b.data modulo step.
  // Zero-sized items count as one byte: coinciding starts always conflict.
  const std::uint64_t shift =
      a.data >= b.data ? (a.data - b.data) % step : (step - (b.data - a.data) % step) % step;
  const std::uint64_t size_a = std::max<std::uint64_t>(a.item_size, 1);
  const std::uint64_t size_b = std::max<std::uint64_t>(b.item_size, 1);
  return shift < size_b || step - shift < size_a;
}

int Table::acquire_shared(std::uintptr_t owner, const Key& key) {
  std::lock_guard lock(mutex_);
  if (Keys* keys = keys_of(owner)) {
    if (auto entry = keys->find(key); entry != keys->end()) {
      std::int64_t& count = entry->second;
      if (count < 0 || count == most_shared) return already_borrowed;
      ++count;
      return borrowed;
    }
    if (any_conflict(*keys, key, /*exclusive_only=*/true)) return already_borrowed;
  }
  insert(owner, key, 1);
  return borrowed;
}

int Table::acquire_exclusive(std::uintptr_t owner, const Key& key) {
  std::lock_guard lock(mutex_);
  if (Keys* keys = keys_of(owner)) {
    if (keys->contains(key) || any_conflict(*keys, key, /*exclusive_only=*/false)) {
      return already_borrowed;
    }
  }
  insert(owner, key, -1);
  return borrowed;
}

void Table::release_shared(std::uintptr_t owner, const Key& key) noexcept {
  std::lock_guard lock(mutex_);
  Keys* keys = keys_of(owner);
  if (keys == nullptr) return;
  auto entry = keys->find(key);
  if (entry == keys->end() || entry->second <= 0) return;
  if (--entry->second == 0) erase(owner, *keys, entry);
}

void Table::release_exclusive(std::uintptr_t owner, const Key& key) noexcept {
  std::lock_guard lock(mutex_);
  Keys* keys = keys_of(owner);
  if (keys == nullptr) return;
  auto entry = keys->find(key);
  if (entry == keys->end() || entry->second >= 0) return;
  erase(owner, *keys, entry);
}

std::int64_t Table::count(std::uintptr_t owner, const Key& key) const noexcept {
  std::lock_guard lock(mutex_);
  auto found = owners_.find(owner);
  if (found == owners_.end()) return 0;
  auto entry = found->second.find(key);
  return entry == found->second.end() ? 0 : entry->second;
}

Table::Keys* Table::keys_of(std::uintptr_t owner) noexcept {
  auto found = owners_.find(owner);
  return found == owners_.end() ? nullptr : &found->second;
}

bool Table::any_conflict(const Keys& keys, const Key& key, bool exclusive_only) const noexcept {
  return std::any_of(keys.begin(), keys.end(), [&](const auto& entry) {
    return (!exclusive_only || entry.second < 0) && conflicts(entry.first, key);
  });
}

void Table::insert(std::uintptr_t owner, const Key& key, std::int64_t count) {
  if (Keys* keys = keys_of(owner)) {
    keys->emplace(key, count);
    return;
  }
  // Built whole before it is added, so a failed allocation leaves no empty
  // owner behind.
  Keys keys{{key, count}};
  owners_.emplace(owner, std::move(keys));
}

void Table::erase(std::uintptr_t owner, Keys& keys, Keys::iterator entry) noexcept {
  keys.erase(entry);
  if (keys.empty()) owners_.erase(owner);
}

}  // namespace tamrix::borrow
