// Hash tables keyed by node id (signed 64-bit).
//
// All tables of the store use one fixed, seedless hash, so that iteration
// order depends only on the history of operations applied to a table: the
// same calls give the same order in every graph and every process. Tables
// only grow; nothing is ever removed, so no tombstones are needed.
//
// IdMap is open addressing with linear probing over a power-of-two slot array
// with a maximum load of 3/4. One key value (kVacantKey) marks free slots; an
// entry whose key is that value lives out of line and iterates first.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include <sys/mman.h>

#include "accel/internal_error.hpp"

namespace arborvane {

inline constexpr uint64_t kIdHashMultiplier = 0xf1357aea2e62a9c5ull;

// Multiply by a fixed odd constant, rotate left by 26: one multiplication and
// one rotation per id, and the low bits used for slot selection come from the
// well-mixed upper half of the product.
inline uint64_t hash_id(int64_t id) noexcept {
  return std::rotl(static_cast<uint64_t>(id) * kIdHashMultiplier, 26);
}

inline constexpr int64_t kVacantKey = std::numeric_limits<int64_t>::min();

// Slot count needed to hold `entries` at a load of at most 3/4 (at least 8).
// Returns 0 when the count cannot be represented in `max_slots`.
inline size_t slots_for_entries(size_t entries, size_t max_slots) noexcept {
  if (entries > max_slots / 4 * 3) return 0;
  size_t needed = entries + (entries + 2) / 3;  // ceil(entries * 4 / 3), >= entries
  if (needed < 8) needed = 8;
  return std::bit_ceil(needed);
}

inline size_t entries_for_slots(size_t slots) noexcept { return slots / 4 * 3; }

struct NoValue {};

template <class V>
class IdMap {
 public:
  struct Slot {
    int64_t key;
    [[no_unique_address]] V value;
  };

  // Largest slot count whose array fits in a signed byte size.
  static constexpr size_t kMaxSlots =
      std::bit_floor(static_cast<size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(Slot));

  IdMap() = default;
  IdMap(const IdMap&) = delete;
  IdMap& operator=(const IdMap&) = delete;
  IdMap(IdMap&& other) noexcept { steal(other); }
  IdMap& operator=(IdMap&& other) noexcept {
    if (this != &other) {
      release();
      steal(other);
    }
    return *this;
  }
  ~IdMap() { release(); }

  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  // Entries the map can hold without reallocating.
  size_t room() const noexcept { return entries_for_slots(slot_count()) + (has_vacant_key_ ? 0 : 1); }
  size_t slot_count() const noexcept { return slots_ ? mask_ + 1 : 0; }

  // Whether room for `entries` entries is representable at all.
  static bool can_represent(size_t entries) noexcept { return slots_for_entries(entries, kMaxSlots) != 0; }

  // Makes room for `entries` entries in total. Throws InternalError
  // "Hash table capacity overflow" when that cannot be represented and
  // std::bad_alloc when memory runs out; the map is unchanged in both cases.
  void reserve(size_t entries) {
    size_t slots = slots_for_entries(entries, kMaxSlots);
    if (slots == 0) throw InternalError("Hash table capacity overflow");
    if (slots > slot_count()) rehash(slots);
  }

  V* find(int64_t key) noexcept { return const_cast<V*>(std::as_const(*this).find(key)); }
  const V* find(int64_t key) const noexcept {
    if (key == kVacantKey) return has_vacant_key_ ? &vacant_entry_ : nullptr;
    if (!slots_) return nullptr;
    size_t i = hash_id(key) & mask_;
    for (;;) {
      const Slot& s = slots_[i];
      if (s.key == key) return &s.value;
      if (s.key == kVacantKey) return nullptr;
      i = (i + 1) & mask_;
    }
  }
  bool contains(int64_t key) const noexcept { return find(key) != nullptr; }
  // Set-style insertion; true when the key was new.
  bool insert(int64_t key) { return try_emplace(key).second; }

  // Finds the entry for `key`, inserting a default value when absent.
  // Returns the value and whether it was inserted. Growing may move every
  // value, so pointers from earlier calls are invalid after an insertion.
  std::pair<V*, bool> try_emplace(int64_t key) {
    if (key == kVacantKey) {
      if (has_vacant_key_) return {&vacant_entry_, false};
      has_vacant_key_ = true;
      ++size_;
      return {&vacant_entry_, true};
    }
    if (slots_) {
      size_t i = hash_id(key) & mask_;
      for (;;) {
        Slot& s = slots_[i];
        if (s.key == key) return {&s.value, false};
        if (s.key == kVacantKey) break;
        i = (i + 1) & mask_;
      }
    }
    size_t in_slots = size_ - (has_vacant_key_ ? 1 : 0);
    if (in_slots + 1 > entries_for_slots(slot_count())) {
      size_t slots = slots_for_entries(in_slots + 1, kMaxSlots);
      if (slots == 0) throw InternalError("Hash table capacity overflow");
      rehash(std::max(slots, slot_count() * 2));
    }
    Slot* s = probe_vacant(key);
    new (&s->value) V();
    s->key = key;
    ++size_;
    return {&s->value, true};
  }

  // Visits every entry in iteration order: f(key, value).
  template <class F>
  void for_each(F&& f) const {
    if (has_vacant_key_) f(kVacantKey, vacant_entry_);
    if (!slots_) return;
    for (size_t i = 0; i <= mask_; ++i) {
      if (slots_[i].key != kVacantKey) f(slots_[i].key, slots_[i].value);
    }
  }

  // Positions name entries by where they live, for per-entry side tables
  // (visited bitmaps) that need no hashing of their own: a slot index in
  // [0, slot_count()), or slot_count() for the out-of-line entry. Valid until
  // the next insertion. kNoPosition when the key is absent.
  static constexpr size_t kNoPosition = std::numeric_limits<size_t>::max();
  size_t position_count() const noexcept { return slot_count() + 1; }
  size_t position_of(int64_t key) const noexcept {
    if (key == kVacantKey) return has_vacant_key_ ? slot_count() : kNoPosition;
    if (!slots_) return kNoPosition;
    size_t i = hash_id(key) & mask_;
    for (;;) {
      const Slot& s = slots_[i];
      if (s.key == key) return i;
      if (s.key == kVacantKey) return kNoPosition;
      i = (i + 1) & mask_;
    }
  }
  const V& value_at(size_t position) const noexcept {
    return position == slot_count() ? vacant_entry_ : slots_[position].value;
  }
  // Hints the cache about the slot where a look-up of `key` starts.
  void prefetch(int64_t key) const noexcept {
    if (slots_) __builtin_prefetch(&slots_[hash_id(key) & mask_]);
  }

  // Direct slot access for parallel scans: the out-of-line entry (if any)
  // then slots [0, slot_count()).
  bool has_vacant_key_entry() const noexcept { return has_vacant_key_; }
  const V& vacant_key_entry() const noexcept { return vacant_entry_; }
  const Slot* slots() const noexcept { return slots_; }

 private:
  Slot* probe_vacant(int64_t key) noexcept {
    size_t i = hash_id(key) & mask_;
    while (slots_[i].key != kVacantKey) i = (i + 1) & mask_;
    return &slots_[i];
  }

  // Moves every entry into a new array of `slots` slots, in slot order.
  // Allocates first, so a failed allocation leaves the map as it was.
  void rehash(size_t slots) {
    Slot* fresh = allocate_slots(slots);
    for (size_t i = 0; i < slots; ++i) fresh[i].key = kVacantKey;
    Slot* old = slots_;
    size_t old_count = slot_count();
    slots_ = fresh;
    mask_ = slots - 1;
    for (size_t i = 0; i < old_count; ++i) {
      if (old[i].key == kVacantKey) continue;
      Slot* s = probe_vacant(old[i].key);
      new (&s->value) V(std::move(old[i].value));
      s->key = old[i].key;
      old[i].value.~V();
    }
    free_slots(old, old_count);
  }

  // Slot arrays of a few MiB and more are aligned to 2 MiB and offered to
  // transparent huge pages: look-ups land anywhere in the array, and with
  // 4 KiB pages nearly every one of them would also miss the TLB.
  static constexpr size_t kHugePageBytes = size_t{2} << 20;
  static constexpr size_t kHugePageFrom = 2 * kHugePageBytes;

  static Slot* allocate_slots(size_t slots) {
    const size_t bytes = slots * sizeof(Slot);
    if (bytes < kHugePageFrom) return static_cast<Slot*>(::operator new(bytes));
    void* p = ::operator new(bytes, std::align_val_t{kHugePageBytes});
#ifdef MADV_HUGEPAGE
    ::madvise(p, bytes, MADV_HUGEPAGE);  // a hint: failure only costs speed
#endif
    return static_cast<Slot*>(p);
  }

  static void free_slots(Slot* p, size_t slots) noexcept {
    if (!p) return;
    if (slots * sizeof(Slot) < kHugePageFrom) {
      ::operator delete(p);
    } else {
      ::operator delete(p, std::align_val_t{kHugePageBytes});
    }
  }

  void release() noexcept {
    if (slots_) {
      if constexpr (!std::is_trivially_destructible_v<V>) {
        for (size_t i = 0; i <= mask_; ++i) {
          if (slots_[i].key != kVacantKey) slots_[i].value.~V();
        }
      }
      free_slots(slots_, slot_count());
    }
    slots_ = nullptr;
    mask_ = 0;
    size_ = 0;
    if (has_vacant_key_) vacant_entry_ = V();
    has_vacant_key_ = false;
  }

  void steal(IdMap& other) noexcept {
    slots_ = std::exchange(other.slots_, nullptr);
    mask_ = std::exchange(other.mask_, 0);
    size_ = std::exchange(other.size_, 0);
    has_vacant_key_ = std::exchange(other.has_vacant_key_, false);
    vacant_entry_ = std::move(other.vacant_entry_);
    other.vacant_entry_ = V();
  }

  Slot* slots_ = nullptr;
  size_t mask_ = 0;
  size_t size_ = 0;
  bool has_vacant_key_ = false;
  V vacant_entry_{};
};

using IdSet = IdMap<NoValue>;

}  // namespace arborvane
