// The neighbour set of one node: a set of node ids tuned for memory.
//
// Three shapes, chosen by size:
//   inline  one id stored in the object itself (no heap memory, so an
//           empty set owns nothing);
//   array   up to kArrayMax ids in a block of 8, 24 or 32 ids (or of exact
//           size after compaction) from the graph's SetBlockPool, searched
//           linearly, kept in insertion order. Arrays stay tight
//           well past the sizes where a hash table would be at most 3/4
//           full, which is where most of the memory of a sparse graph goes;
//           a scan reads at most four adjacent cache lines. Few, large
//           steps: every growth is an allocation, a copy and a free at a
//           cold address, which cost more than the slack they save;
//   hash    open addressing with linear probing (the store's id hash, load at
//           most 3/4) over 2^k slots plus two trailing words: whether
//           kVacantKey itself is a member (it iterates first), and the
//           overflow tree. An id whose probe would pass kMaxProbe occupied
//           slots (crafted ids sharing a home slot, see int_hash.hpp) goes to
//           that tree instead and iterates after the slots, in id order.
//   sorted  what a hash-shaped set becomes when the graph is compacted
//           after a large load (compact_into): its members at exact size,
//           ordered by their hash rotated right by log2 of the table's
//           slot count (nearly the table's own order, so cheap to sort),
//           found by interpolation and galloping search
//           (O(1) probes for ordinary ids, O(log n) at worst). The next
//           insertion turns it back into a hash table.
// Compaction also moves array-shaped sets into blocks of their exact size.
// Iteration order therefore depends only on the sequence of operations.
// The object is 16 bytes (a map slot is 24 with its key) and is trivially
// relocatable (no self-pointers).
// Array blocks belong to the pool that every growth is given, which must
// outlive the set: destroying a set frees only a hash table.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <set>
#include <utility>

#include "accel/parallel/interrupt.hpp"
#include "accel/store/int_hash.hpp"
#include "accel/store/set_block_pool.hpp"

namespace arborvane {

class NeighborSet {
 public:
  static constexpr uint32_t kInlineRoom = 1;
  static constexpr uint32_t kArrayMax = 32;
  static_assert(kArrayMax <= SetBlockPool::kMaxBlockIds);
  static constexpr uint32_t kHashTag = 0x80000000u;  // cap_ >= tag: hash shape, log2 slots below
  static constexpr uint32_t kSortedTag = 0x40000000u;  // cap_ = tag + r: sorted shape, key rotation r

  NeighborSet() noexcept : size_(0), cap_(0) { inline_[0] = 0; }
  NeighborSet(const NeighborSet&) = delete;
  NeighborSet& operator=(const NeighborSet&) = delete;
  NeighborSet(NeighborSet&& other) noexcept { take(other); }
  NeighborSet& operator=(NeighborSet&& other) noexcept {
    if (this != &other) {
      free_heap();
      take(other);
    }
    return *this;
  }
  ~NeighborSet() { free_heap(); }

  uint32_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  bool contains(int64_t id) const noexcept {
    if (is_sorted()) return sorted_contains(heap_, size_, sorted_rotation(), id);
    if (!is_hash()) {
      const int64_t* ids = array_data();
      uint32_t i = 0;
      for (; i + 4 <= size_; i += 4) {
        if ((ids[i] == id) | (ids[i + 1] == id) | (ids[i + 2] == id) | (ids[i + 3] == id)) return true;
      }
      for (; i < size_; ++i) {
        if (ids[i] == id) return true;
      }
      return false;
    }
    if (id == kVacantKey) return heap_[slot_count()] != 0;
    size_t mask = slot_count() - 1;
    size_t i = hash_id(id) & mask;
    for (size_t passed = 0; passed < kMaxProbe; ++passed) {
      int64_t k = heap_[i];
      if (k == id) return true;
      if (k == kVacantKey) return false;
      i = (i + 1) & mask;
    }
    const Overflow* overflow = overflow_of(heap_, slot_count());
    return overflow && overflow->ids.count(id) != 0;
  }

  // Makes sure that `id` (known to be absent) can be inserted without
  // allocating; array blocks come from and go back to `pool`. Throws
  // std::bad_alloc (set unchanged) or InternalError past 2^32-1 ids.
  // Returns whether the set was rebuilt as a hash table, which changes its
  // iteration order. A rebuild polls for Ctrl-C (Interrupted, set
  // unchanged) unless `interruptible` is false.
  bool reserve_one_more(int64_t id, SetBlockPool& pool, bool interruptible = true) {
    if (size_ == std::numeric_limits<uint32_t>::max()) throw InternalError("capacity overflow");
    bool rebuilt = false;
    if (is_sorted()) {
      grow_hash(std::max<size_t>(2 * kArrayMax, std::bit_ceil(size_t{size_} + 1 + (size_ + 1) / 3)), pool,
                interruptible);
      rebuilt = true;
    } else if (!is_hash()) {
      uint32_t room = cap_ ? cap_ : kInlineRoom;
      if (size_ < room) return false;
      if (room < kArrayMax) {
        grow_array(room < 8 ? 8 : room < 24 ? 24 : 32, pool);
        return false;
      }
      grow_hash(2 * kArrayMax, pool, interruptible);
      rebuilt = true;
    } else {
      size_t in_slots = size_ - (heap_[slot_count()] ? 1 : 0) - overflow_size();
      if (in_slots + 1 > entries_for_slots(slot_count())) {
        grow_hash(slot_count() * 2, pool, interruptible);
        rebuilt = true;
      }
    }
    if (id != kVacantKey && free_slot(heap_, slot_count(), id) == kNoSlot) {
      Overflow& overflow = overflow_for(heap_, slot_count());
      if (overflow.spare.empty()) overflow.spare = Overflow::make_node();
    }
    return rebuilt;
  }

  // Hints the cache about the memory that contains(id) or insert(id) reads
  // first, for callers that know their next ids ahead of time.
  void prefetch(int64_t id) const noexcept {
    if (!cap_) return;
    // Without this empty volatile asm GCC may split the array branch off
    // into a function that it deems free of side effects, and drop the call
    // together with its prefetches.
    __asm__ __volatile__("");
    if (is_hash()) {
      __builtin_prefetch(&heap_[hash_id(id) & (slot_count() - 1)]);
      return;
    }
    if (is_sorted()) {
      __builtin_prefetch(&heap_[sorted_guess(std::rotr(hash_id(id), sorted_rotation()), size_)]);
      return;
    }
    // Array blocks are whole cache lines of 8 ids: the lines that a scan
    // reads, and the one that an insertion writes when room is left.
    static_assert(kArrayMax <= 32 && SetBlockPool::kIdsPerLine == 8);
    const int64_t* ids = heap_;
    __builtin_prefetch(ids);
    if (size_ >= 8) __builtin_prefetch(ids + 8);
    if (size_ >= 16) __builtin_prefetch(ids + 16);
    if (size_ >= 24) __builtin_prefetch(ids + 24);
  }

  // Hints the cache about the memory that insert_new(id) writes, for the
  // end of an edge whose set is not searched first: only the line where an
  // array takes its next id, or all of it when it is full and is copied.
  void prefetch_insertion(int64_t id) const noexcept {
    if (!cap_) return;
    __asm__ __volatile__("");  // see prefetch()
    if (is_hash() || is_sorted() || size_ == cap_) {
      prefetch(id);
      return;
    }
    __builtin_prefetch(heap_ + size_);
  }

  // Hints the cache about the start of the members' storage, for callers
  // that will iterate over this set soon.
  void prefetch_members() const noexcept {
    if (!cap_) return;
    __builtin_prefetch(heap_);
    __builtin_prefetch(heap_ + 8);
  }

  // Ids that compact_into() places in the pool (0 for an inline set).
  size_t compact_ids() const noexcept { return cap_ ? size_ : 0; }

  // Moves the members into a block of exactly size() ids from `exact`
  // (room reserved with compact_ids()); a hash-shaped set becomes sorted.
  // The old block is not given back: its pool is dropped after compaction.
  // A hub's sort polls for Ctrl-C; a stop leaves the set as it was (its
  // new block unused).
  void compact_into(SetBlockPool& exact) {
    if (!cap_) return;
    int64_t* fresh = exact.allocate_exact(size_);
    if (is_hash()) {
      // Ordered by the hash rotated right by log2(slots): the table's slot
      // order is by the low bits of the hash already, so only entries
      // pushed along by probing (and the kVacantKey and overflow members)
      // are out of place, and an insertion sort finishes the job.
      const int rotation = std::countr_zero(slot_count());
      const bool scattered = overflow_size() != 0;
      copy_to(fresh);
      auto key = [rotation](int64_t id) { return std::rotr(hash_id(id), rotation); };
      if (scattered) {
        std::sort(fresh, fresh + size_, [&key](int64_t a, int64_t b) { return key(a) < key(b); });
      } else {
        for (uint32_t i = 1; i < size_; ++i) {
          poll_interrupt_every(i, kRehashPollSlots);
          const int64_t id = fresh[i];
          const uint64_t k = key(id);
          uint32_t j = i;
          for (; j > 0 && key(fresh[j - 1]) > k; --j) fresh[j] = fresh[j - 1];
          fresh[j] = id;
        }
      }
      free_heap();
      cap_ = kSortedTag + static_cast<uint32_t>(rotation);
    } else if (is_sorted()) {
      copy_to(fresh);
    } else {
      copy_to(fresh);
      cap_ = size_;
    }
    heap_ = fresh;
  }

  // Inserts an id known to be absent; room must have been reserved.
  void insert_new(int64_t id) noexcept {
    if (!is_hash()) {
      array_data()[size_++] = id;
      return;
    }
    ++size_;
    if (id == kVacantKey) {
      heap_[slot_count()] = 1;
      return;
    }
    const size_t i = free_slot(heap_, slot_count(), id);
    if (i != kNoSlot) {
      heap_[i] = id;
      return;
    }
    Overflow* overflow = overflow_of(heap_, slot_count());
    overflow->spare.value() = id;
    overflow->ids.insert(std::move(overflow->spare));
  }

  // Inserts an id; returns true when it was new.
  bool insert(int64_t id, SetBlockPool& pool) {
    if (contains(id)) return false;
    reserve_one_more(id, pool);
    insert_new(id);
    return true;
  }

  // Visits the members in iteration order.
  template <class F>
  void for_each(F&& f) const {
    if (!is_hash()) {
      const int64_t* ids = array_data();
      for (uint32_t i = 0; i < size_; ++i) f(ids[i]);
      return;
    }
    size_t slots = slot_count();
    if (heap_[slots]) f(kVacantKey);
    for (size_t i = 0; i < slots; ++i) {
      if (heap_[i] != kVacantKey) f(heap_[i]);
    }
    if (const Overflow* overflow = overflow_of(heap_, slots)) {
      for (int64_t id : overflow->ids) f(id);
    }
  }

  // Copies the members in iteration order to `out` (room for size() ids).
  void copy_to(int64_t* out) const noexcept {
    if (!is_hash()) {
      copy_ids(out, array_data(), size_);
      return;
    }
    for_each([&out](int64_t id) { *out++ = id; });
  }

 private:
  // Most sets are a few ids long: a plain loop beats a call to memcpy.
  static void copy_ids(int64_t* to, const int64_t* from, size_t count) noexcept {
    if (count > 16) {
      std::memcpy(to, from, count * sizeof(int64_t));
      return;
    }
    for (size_t i = 0; i < count; ++i) to[i] = from[i];
  }

  bool is_hash() const noexcept { return cap_ >= kHashTag; }
  bool is_sorted() const noexcept { return (cap_ & ~uint32_t{63}) == kSortedTag; }
  int sorted_rotation() const noexcept { return static_cast<int>(cap_ & 63); }

  // Where `hash` would sit among `count` uniformly spread hashes.
  static size_t sorted_guess(uint64_t hash, size_t count) noexcept {
    __extension__ typedef unsigned __int128 u128;
    return static_cast<size_t>((static_cast<u128>(hash) * count) >> 64);
  }

  // Search of a sorted-shape block, ordered by the rotated hash: start at
  // the interpolated place, gallop to bracket the key, then halve. Keys are
  // unique (the hash is a bijection), so an equal key is the id itself.
  static bool sorted_contains(const int64_t* ids, size_t count, int rotation, int64_t id) noexcept {
    auto hash_id = [rotation](int64_t x) { return std::rotr(arborvane::hash_id(x), rotation); };
    const uint64_t h = hash_id(id);
    size_t lo = 0, hi = count;  // the id, if present, lies in [lo, hi)
    size_t guess = sorted_guess(h, count);
    const uint64_t at = hash_id(ids[guess]);
    if (at == h) return true;
    if (at < h) {
      lo = guess + 1;
      for (size_t step = 1; lo + step <= count; step *= 2) {
        const uint64_t x = hash_id(ids[lo + step - 1]);
        if (x == h) return true;
        if (x > h) {
          hi = lo + step - 1;
          break;
        }
        lo += step;
      }
    } else {
      hi = guess;
      for (size_t step = 1; step <= hi; step *= 2) {
        const uint64_t x = hash_id(ids[hi - step]);
        if (x == h) return true;
        if (x < h) {
          lo = hi - step + 1;
          break;
        }
        hi -= step;
      }
    }
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      const uint64_t x = hash_id(ids[mid]);
      if (x == h) return true;
      if (x < h) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return false;
  }
  size_t slot_count() const noexcept { return size_t{1} << (cap_ - kHashTag); }
  const int64_t* array_data() const noexcept { return cap_ ? heap_ : inline_; }
  int64_t* array_data() noexcept { return cap_ ? heap_ : inline_; }

  // The ids whose probe would pass kMaxProbe slots, with one tree node kept
  // in reserve so that insert_new() never allocates.
  struct Overflow {
    std::set<int64_t> ids;
    std::set<int64_t>::node_type spare;

    static std::set<int64_t>::node_type make_node() {
      std::set<int64_t> one{0};
      return one.extract(one.begin());
    }
  };

  // A hash table of `slots` slots is followed by the kVacantKey flag and the
  // address of its Overflow (null while it has none).
  static Overflow* overflow_of(const int64_t* table, size_t slots) noexcept {
    Overflow* overflow;
    std::memcpy(&overflow, &table[slots + 1], sizeof overflow);
    return overflow;
  }
  static Overflow& overflow_for(int64_t* table, size_t slots) {
    if (Overflow* overflow = overflow_of(table, slots)) return *overflow;
    Overflow* overflow = new Overflow();
    std::memcpy(&table[slots + 1], &overflow, sizeof overflow);
    return *overflow;
  }
  uint32_t overflow_size() const noexcept {
    const Overflow* overflow = overflow_of(heap_, slot_count());
    return overflow ? static_cast<uint32_t>(overflow->ids.size()) : 0;
  }

  // The slot that linear probing gives a new id, or kNoSlot when the probe
  // would pass kMaxProbe occupied slots.
  static constexpr size_t kNoSlot = std::numeric_limits<size_t>::max();
  static size_t free_slot(const int64_t* table, size_t slots, int64_t id) noexcept {
    const size_t mask = slots - 1;
    size_t i = hash_id(id) & mask;
    for (size_t passed = 0; passed < kMaxProbe; ++passed) {
      if (table[i] == kVacantKey) return i;
      i = (i + 1) & mask;
    }
    return kNoSlot;
  }

  void grow_array(uint32_t new_cap, SetBlockPool& pool) {
    int64_t* fresh = pool.allocate(new_cap);
    copy_ids(fresh, array_data(), size_);
    if (cap_) pool.release(heap_, cap_);
    heap_ = fresh;
    cap_ = new_cap;
  }

  // Rebuilds as a hash table of `slots` slots, members placed in iteration
  // order. Everything is allocated before the set changes, and a hub's
  // rebuild (8M members: about 70 ms) polls for Ctrl-C every
  // kRehashPollSlots slots or members when `interruptible`.
  void grow_hash(size_t slots, SetBlockPool& pool, bool interruptible) {
    struct Table {
      int64_t* words;
      size_t slots;
      ~Table() { free_table(words, slots); }
    } fresh{static_cast<int64_t*>(::operator new((slots + 2) * sizeof(int64_t))), slots};
    fresh.words[slots] = 0;
    std::memset(static_cast<void*>(&fresh.words[slots + 1]), 0, sizeof(int64_t));
    auto poll = [interruptible] {
      if (interruptible) poll_interrupt();
    };
    for (size_t from = 0; from < slots; from += kRehashPollSlots) {
      poll();
      std::fill(fresh.words + from, fresh.words + std::min(slots, from + kRehashPollSlots), kVacantKey);
    }
    size_t placed = 0;
    for_each([&](int64_t id) {
      if ((++placed & (kRehashPollSlots - 1)) == 0) poll();
      if (id == kVacantKey) {
        fresh.words[slots] = 1;
        return;
      }
      const size_t i = free_slot(fresh.words, slots, id);
      if (i != kNoSlot) {
        fresh.words[i] = id;
      } else {
        overflow_for(fresh.words, slots).ids.insert(id);
      }
    });
    if (is_hash()) {
      free_heap();
    } else if (is_sorted()) {
      pool.release(heap_, size_);
    } else if (cap_) {
      pool.release(heap_, cap_);
    }
    heap_ = std::exchange(fresh.words, nullptr);
    cap_ = kHashTag + static_cast<uint32_t>(std::countr_zero(slots));
  }

  static void free_table(int64_t* table, size_t slots) noexcept {
    if (!table) return;
    delete overflow_of(table, slots);
    ::operator delete(table);
  }

  void free_heap() noexcept {
    if (is_hash()) free_table(heap_, slot_count());
  }

  void take(NeighborSet& other) noexcept {
    std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), sizeof(NeighborSet));
    other.size_ = 0;
    other.cap_ = 0;
  }

  union {
    int64_t inline_[kInlineRoom];
    int64_t* heap_;
  };
  uint32_t size_;
  uint32_t cap_;  // 0: inline; 3..kArrayMax: array capacity; kSortedTag; >= kHashTag: hash
};

static_assert(sizeof(NeighborSet) == 16);

}  // namespace arborvane
