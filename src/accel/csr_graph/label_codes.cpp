// Node codes of int64 labels for arborvane.Graph (label_codes in
// csr_build.hpp): what numpy.unique(values, return_inverse=True) returns for
// the parts joined, found by hashing instead of sorting all the values
// (ids from 0 up without large gaps are ranked by a table of the ids present
// before they come here, and read in place by the build), with Ctrl-C polling throughout (numpy's
// concatenation and sorts and pandas.factorize cannot be interrupted: over
// 24M random ids they held the interpreter for seconds).
#include <algorithm>
#include <random>
#include <span>
#include <vector>

#include "accel/csr_graph/csr_build.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/support/splitmix64.hpp"

namespace arborvane {

namespace {

// Steps between two polls in the loops below: each step is a hash probe or
// a scatter of one value (tens of nanoseconds), so a poll every 2**16 steps
// comes every few milliseconds.
constexpr size_t kPollSteps = size_t{1} << 16;

// Open addressing with linear probing over 2**k slots, at most half full:
// each slot holds a value and its index in order of first appearance (-1:
// vacant, so every int64 value can be a key).
class FirstIndex {
 public:
  explicit FirstIndex(uint64_t seed) : seed_(seed) { resize(1024); }

  // The index of `value`, a new one (size()) if it is new.
  int64_t insert(int64_t value) {
    if (static_cast<size_t>(size_ + 1) * 2 > keys_.size()) grow();
    size_t slot = find(value);
    if (index_[slot] < 0) {
      keys_[slot] = value;
      index_[slot] = size_++;
    }
    return index_[slot];
  }

  // The index of a value that was inserted.
  int64_t at(int64_t value) const { return index_[find(value)]; }

  int64_t size() const noexcept { return size_; }

 private:
  size_t find(int64_t value) const {
    const size_t mask = keys_.size() - 1;
    size_t slot = SplitMix64::mix(static_cast<uint64_t>(value) ^ seed_) & mask;
    while (index_[slot] >= 0 && keys_[slot] != value) slot = (slot + 1) & mask;
    return slot;
  }

  void resize(size_t slots) {
    keys_.assign(slots, 0);
    index_.assign(slots, -1);
  }

  void grow() {
    std::vector<int64_t> keys = std::move(keys_), index = std::move(index_);
    resize(keys.size() * 2);
    for (size_t s = 0; s < keys.size(); ++s) {
      poll_interrupt_every(s, kPollSteps);
      if (index[s] >= 0) {
        const size_t slot = find(keys[s]);
        keys_[slot] = keys[s];
        index_[slot] = index[s];
      }
    }
  }

  uint64_t seed_;
  std::vector<int64_t> keys_, index_;
  int64_t size_ = 0;
};

// Sorts int64 values ascending: least significant digit first, 8 bits per
// pass, skipping the digits that all values share.
void radix_sort(std::vector<int64_t>& values) {
  constexpr uint64_t kSign = uint64_t{1} << 63;
  std::vector<int64_t> other(values.size());
  for (int shift = 0; shift < 64; shift += 8) {
    size_t count[257] = {};
    for (size_t i = 0; i < values.size(); ++i) {
      poll_interrupt_every(i, kPollSteps);
      ++count[((static_cast<uint64_t>(values[i]) ^ kSign) >> shift & 0xff) + 1];
    }
    if (std::any_of(count + 1, count + 257, [&](size_t c) { return c == values.size(); })) continue;
    for (int d = 0; d < 256; ++d) count[d + 1] += count[d];
    for (size_t i = 0; i < values.size(); ++i) {
      poll_interrupt_every(i, kPollSteps);
      other[count[(static_cast<uint64_t>(values[i]) ^ kSign) >> shift & 0xff]++] = values[i];
    }
    values.swap(other);
  }
}

// Calls visit(i, value) for every value of the parts in order, i counting
// through all of them.
template <class Visit>
void each_value(std::span<const std::span<const int64_t>> parts, Visit&& visit) {
  size_t i = 0;
  for (const auto part : parts) {
    for (const int64_t value : part) {
      poll_interrupt_every(i, kPollSteps);
      visit(i++, value);
    }
  }
}

}  // namespace

std::vector<int64_t> label_codes(std::span<const std::span<const int64_t>> parts, std::span<int64_t> codes) {
  std::vector<int64_t> labels;
  // The seed only places values in the table; the results never depend on it.
  FirstIndex table(std::random_device{}() * SplitMix64::kIncrement);
  each_value(parts, [&](size_t i, int64_t value) { codes[i] = table.insert(value); });
  labels.resize(static_cast<size_t>(table.size()));
  each_value(parts, [&](size_t i, int64_t value) { labels[static_cast<size_t>(codes[i])] = value; });
  radix_sort(labels);
  std::vector<int64_t> rank(labels.size());
  for (size_t r = 0; r < labels.size(); ++r) {
    poll_interrupt_every(r, kPollSteps);
    rank[static_cast<size_t>(table.at(labels[r]))] = static_cast<int64_t>(r);
  }
  for (size_t i = 0; i < codes.size(); ++i) {
    poll_interrupt_every(i, kPollSteps);
    codes[i] = rank[static_cast<size_t>(codes[i])];
  }
  return labels;
}

}  // namespace arborvane
