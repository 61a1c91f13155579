// Least-significant-digit radix sort by a signed 64-bit key.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "accel/parallel/interrupt.hpp"

namespace arborvane {

// Sorts `items` ascending by key(item), an int64, stably: 8 bits per pass,
// least significant first, skipping the digits that all keys share. Polls
// for Ctrl-C every 2**16 items (each step is one scatter, tens of
// nanoseconds at most).
template <class T, class Key>
void radix_sort_by(std::vector<T>& items, const Key& key) {
  constexpr uint64_t kSign = uint64_t{1} << 63;
  constexpr size_t kPollSteps = size_t{1} << 16;
  auto digit = [&key](const T& item, int shift) {
    return static_cast<size_t>((static_cast<uint64_t>(key(item)) ^ kSign) >> shift & 0xff);
  };
  std::vector<T> other(items.size());
  for (int shift = 0; shift < 64; shift += 8) {
    size_t count[257] = {};
    for (size_t i = 0; i < items.size(); ++i) {
      poll_interrupt_every(i, kPollSteps);
      ++count[digit(items[i], shift) + 1];
    }
    if (std::any_of(count + 1, count + 257, [&](size_t c) { return c == items.size(); })) continue;
    for (int d = 0; d < 256; ++d) count[d + 1] += count[d];
    for (size_t i = 0; i < items.size(); ++i) {
      poll_interrupt_every(i, kPollSteps);
      other[count[digit(items[i], shift)]++] = items[i];
    }
    items.swap(other);
  }
}

}  // namespace arborvane
