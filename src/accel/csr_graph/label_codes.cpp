// Node codes of integer labels for arborvane.Graph (label_codes and
// DenseIds in csr_build.hpp): what numpy.unique(values, return_inverse=True)
// returns for the parts joined, found by hashing instead of sorting all the
// values, or for ids from 0 up without large gaps by a table of the ids
// present; read where the caller holds them (int32 or int64, any stride),
// with Ctrl-C polling throughout (numpy's concatenation, sorts and fancy
// indexing and pandas.factorize cannot be interrupted: over 24M random ids
// they held the interpreter for seconds, and the presence table of a
// billion ids for seconds too).
#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <random>
#include <span>
#include <vector>

#include "accel/csr_graph/csr_build.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/worker_pool.hpp"
#include "accel/support/radix_sort.hpp"
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

// Calls visit(i, value) for every value of the parts in order, i counting
// through all of them.
template <class Visit>
void each_value(std::span<const CodeArray> parts, Visit&& visit) {
  size_t i = 0;
  for (const CodeArray& part : parts) {
    with_code_reader(part, [&](auto read) {
      for (size_t k = 0; k < part.size; ++k) {
        poll_interrupt_every(i, kPollSteps);
        visit(i++, read(k));
      }
    });
  }
}

template <class Code>
std::vector<int64_t> labels_and_codes(std::span<const CodeArray> parts, std::span<Code> codes) {
  std::vector<int64_t> labels;
  // The seed only places values in the table; the results never depend on it.
  FirstIndex table(std::random_device{}() * SplitMix64::kIncrement);
  each_value(parts, [&](size_t i, int64_t value) { codes[i] = static_cast<Code>(table.insert(value)); });
  labels.resize(static_cast<size_t>(table.size()));
  each_value(parts, [&](size_t i, int64_t value) { labels[static_cast<size_t>(codes[i])] = value; });
  radix_sort_by(labels, [](int64_t value) { return value; });
  std::vector<int64_t> rank(labels.size());
  for (size_t r = 0; r < labels.size(); ++r) {
    poll_interrupt_every(r, kPollSteps);
    rank[static_cast<size_t>(table.at(labels[r]))] = static_cast<int64_t>(r);
  }
  for (size_t i = 0; i < codes.size(); ++i) {
    poll_interrupt_every(i, kPollSteps);
    codes[i] = static_cast<Code>(rank[static_cast<size_t>(codes[i])]);
  }
  return labels;
}

// Ids per block of the presence table: each block's ids are counted, then
// ranked, by one thread in one go (tens of microseconds, between two looks
// at Ctrl-C), the blocks in parallel.
constexpr size_t kBlockIds = size_t{1} << 16;

// Values per range of the parallel loops over the parts: the pool's
// dispatch costs microseconds, a value a nanosecond or two.
constexpr size_t kMinValuesPerRange = size_t{1} << 16;

// Calls range(read, begin, end) for ranges that cover every part, in
// parallel, read(k) giving the part's k-th value (contiguous parts through a
// reader that the compiler vectorizes, and each reader a copy in registers:
// 80M int64 ids of 8M were ranked in 2.4 s instead of 3.9 on one thread at
// load 8, as against 2.3 s for numpy's min, max and fancy indexing).
template <class Range>
void each_range(std::span<const CodeArray> parts, const Range& range) {
  for (const CodeArray& part : parts) {
    auto run = [&](auto read) {
      parallel_for_ranges(part.size, kMinValuesPerRange, [&](size_t begin, size_t end) { range(read, begin, end); });
    };
    const auto width = static_cast<std::ptrdiff_t>(part.wide ? sizeof(int64_t) : sizeof(int32_t));
    if (part.stride != width) {
      with_code_reader(part, run);
    } else if (part.wide) {
      run(CodeReader<int64_t, true>(part, {}));
    } else {
      run(CodeReader<int32_t, true>(part, {}));
    }
  }
}

}  // namespace

std::vector<int64_t> label_codes(std::span<const CodeArray> parts, std::span<int32_t> codes) {
  return labels_and_codes(parts, codes);
}

std::vector<int64_t> label_codes(std::span<const CodeArray> parts, std::span<int64_t> codes) {
  return labels_and_codes(parts, codes);
}

std::optional<DenseIds> DenseIds::find(std::span<const CodeArray> parts, int64_t* least) {
  size_t total = 0;
  for (const CodeArray& part : parts) total += part.size;
  if (total == 0) return std::nullopt;
  constexpr int64_t kLeast = std::numeric_limits<int64_t>::min(), kMost = std::numeric_limits<int64_t>::max();
  int64_t low = kMost, high = kLeast;
  std::mutex mutex;
  each_range(parts, [&](const auto read, size_t begin, size_t end) {
    int64_t range_low = kMost, range_high = kLeast;
    for (size_t at = begin; at < end; at += kPollSteps) {
      poll_interrupt();
      for (size_t k = at, stop = std::min(end, at + kPollSteps); k < stop; ++k) {
        const int64_t id = read(k);
        range_low = std::min(range_low, id);
        range_high = std::max(range_high, id);
      }
    }
    std::lock_guard lock(mutex);
    low = std::min(low, range_low);
    high = std::max(high, range_high);
  });
  *least = low;
  // A table of more than about two entries per value would cost more than
  // hashing them.
  if (low < 0 || static_cast<uint64_t>(high) >= 2 * static_cast<uint64_t>(total) + 1024) return std::nullopt;
  DenseIds ids;
  const size_t size = static_cast<size_t>(high) + 1;
  ids.present_ = UninitializedBuffer<uint8_t>(size);
  uint8_t* present = ids.present_.data();
  parallel_for_ranges(size, kBlockIds, [&](size_t begin, size_t end) {
    std::fill(present + begin, present + end, uint8_t{0});
    poll_interrupt();
  });
  // Threads may mark one id together: relaxed atomic stores (plain byte
  // stores on common hardware).
  each_range(parts, [present](const auto read, size_t begin, size_t end) {
    for (size_t k = begin; k < end; ++k) {
      poll_interrupt_every(k - begin, kPollSteps);
      std::atomic_ref<uint8_t>(present[static_cast<size_t>(read(k))]).store(1, std::memory_order_relaxed);
    }
  });
  const size_t blocks = (size + kBlockIds - 1) / kBlockIds;
  ids.block_start_.assign(blocks + 1, 0);
  parallel_for(blocks, 1, [&](size_t b) {
    const size_t begin = b * kBlockIds, end = std::min(size, begin + kBlockIds);
    size_t count = 0;
    for (size_t i = begin; i < end; ++i) count += present[i];
    ids.block_start_[b + 1] = count;
    poll_interrupt();
  });
  for (size_t b = 0; b < blocks; ++b) ids.block_start_[b + 1] += ids.block_start_[b];
  ids.count_ = ids.block_start_[blocks];
  return ids;
}

template <class Label>
void DenseIds::write_ranks(Label* labels, int64_t* rank) const {
  const size_t size = present_.size();
  const uint8_t* present = present_.data();
  parallel_for(block_start_.size() - 1, 1, [&](size_t b) {
    const size_t begin = b * kBlockIds, end = std::min(size, begin + kBlockIds);
    auto next = static_cast<int64_t>(block_start_[b]);
    for (size_t i = begin; i < end; ++i) {
      if (present[i]) labels[next++] = static_cast<Label>(i);
      if (rank) rank[i] = next - 1;
    }
    poll_interrupt();
  });
}

void DenseIds::write(std::span<int32_t> labels, int64_t* rank) const { write_ranks(labels.data(), rank); }
void DenseIds::write(std::span<int64_t> labels, int64_t* rank) const { write_ranks(labels.data(), rank); }

}  // namespace arborvane
