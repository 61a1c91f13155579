// Hash tables keyed by node id (signed 64-bit).
//
// All tables of the store use one fixed, seedless hash, so that iteration
// order depends only on the history of operations applied to a table: the
// same calls give the same order in every graph and every process. Tables
// only grow; nothing is removed but the entry of an insertion being undone
// (undo_insertion), so no tombstones are needed.
//
// IdMap is open addressing with linear probing over an array of 2^k or
// 1.5 * 2^(k-1) slots (SlotRange) with a maximum load of 3/4. One key value (kVacantKey) marks free slots; an
// entry whose key is that value lives out of line and iterates first.
//
// Crafted keys. The hash is fixed and invertible, so anyone can pick keys
// that share a home slot (k * C^-1 for small k all hash to multiples of 2^26)
// and turn every insertion into a scan of one ever longer run. A key whose
// probe would pass kMaxProbe occupied slots therefore goes to an overflow
// area instead: a search tree beside the table, iterated after the slots in
// the order its entries arrived. No operation probes more than kMaxProbe
// slots; the tree keeps the rest at O(log n). Random keys never get there in
// practice (the longest run with 12M random keys at load 3/4 was 219 slots,
// with 82 of them beyond 128), so ordinary tables keep their plain layout.
//
// Small tables. A table made with reserve_compact() keeps its entries in a
// short array, sorted by the slot each would occupy in the full table and
// probed the same way, until kCompactMax entries; then the full table is
// laid out with every entry in that slot. Iteration order is the same as if
// the full table had existed from the start, and a graph of a few nodes costs
// a few hundred bytes instead of the whole slot array.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "accel/parallel/interrupt.hpp"
#include "accel/support/huge_page_memory.hpp"

#include "accel/support/internal_error.hpp"

namespace arborvane {

inline constexpr uint64_t kIdHashMultiplier = 0xf1357aea2e62a9c5ull;

// Multiply by a fixed odd constant, rotate left by 26: one multiplication and
// one rotation per id, and the low bits used for slot selection come from the
// well-mixed upper half of the product.
inline uint64_t hash_id(int64_t id) noexcept {
  return std::rotl(static_cast<uint64_t>(id) * kIdHashMultiplier, 26);
}

inline constexpr int64_t kVacantKey = std::numeric_limits<int64_t>::min();

// Longest probe (occupied slots passed) that a table accepts for a new key;
// past it the key goes to the table's overflow area. Measured: random keys
// at load 3/4 pass 128 slots for 7 keys in a million, crafted keys of one
// home slot all do.
inline constexpr size_t kMaxProbe = 128;

// Slots a table's growth lays out between two polls for Ctrl-C: a few
// milliseconds of scattered writes.
inline constexpr size_t kRehashPollSlots = size_t{1} << 16;
// Positions a whole-map walk (walk_polling) covers between two polls: at
// most a few milliseconds of the callers' per-entry work.
inline constexpr size_t kWalkPollPositions = size_t{1} << 16;

// Slot count needed to hold `entries` at a load of at most 3/4 (at least 8):
// a power of two, or three quarters of one (2^k or 1.5 * 2^(k-1) slots), so
// that a large map needs no more than 1.5 times what its load allows
// instead of up to twice. Returns 0 when the count cannot be represented in
// `max_slots`.
inline size_t slots_for_entries(size_t entries, size_t max_slots) noexcept {
  if (entries > max_slots / 4 * 3) return 0;
  size_t needed = entries + (entries + 2) / 3;  // ceil(entries * 4 / 3), >= entries
  if (needed < 8) needed = 8;
  const size_t power = std::bit_ceil(needed);
  return power >= 16 && power / 4 * 3 >= needed ? power / 4 * 3 : power;
}

// The next size up from `slots` (of the form above): 2^k -> 1.5 * 2^k -> 2^(k+1).
inline size_t grown_slots(size_t slots) noexcept {
  return std::has_single_bit(slots) ? slots / 2 * 3 : slots / 3 * 4;
}

inline size_t entries_for_slots(size_t slots) noexcept { return slots / 4 * 3; }

// Home slot and probe step of a table of `slots` slots (2^k or 1.5 * 2^(k-1)):
// the low bits of the hash, scaled by 3/2 for the second form. A power of two
// uses the low bits as they are, as every table of the store always did.
struct SlotRange {
  size_t slots = 0;
  size_t low_mask = 0;
  bool three_halves = false;

  explicit SlotRange(size_t count = 0) noexcept
      : slots(count),
        low_mask(count == 0 ? 0 : std::has_single_bit(count) ? count - 1 : count / 3 * 2 - 1),
        three_halves(count != 0 && !std::has_single_bit(count)) {}
  size_t home(uint64_t hash) const noexcept {
    const size_t low = static_cast<size_t>(hash) & low_mask;
    return three_halves ? (low * 3) >> 1 : low;
  }
  size_t next(size_t i) const noexcept { return i + 1 == slots ? 0 : i + 1; }
};

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
  // Entries a compact table holds before the full slot array is laid out.
  static constexpr size_t kCompactMax = 128;
  // Largest full table that reserve_compact() emulates (positions are 16-bit).
  static constexpr size_t kCompactSlotsMax = size_t{1} << 16;

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
  // Entries the map can hold without reallocating the slot array.
  size_t room() const noexcept { return entries_for_slots(logical_slots_) + (has_vacant_key_ ? 0 : 1); }

  // Whether room for `entries` entries is representable at all.
  static bool can_represent(size_t entries) noexcept { return slots_for_entries(entries, kMaxSlots) != 0; }

  // Makes room for `entries` entries in total. Throws InternalError
  // "Hash table capacity overflow" when that cannot be represented and
  // std::bad_alloc when memory runs out; the map is unchanged in both cases.
  void reserve(size_t entries) {
    size_t slots = slots_for_entries(entries, kMaxSlots);
    if (slots == 0) throw InternalError("Hash table capacity overflow");
    if (slots > logical_slots_) rehash(slots);
  }

  // As reserve() on an empty map, but nothing is allocated yet: the table
  // behaves as a full one of that many slots (same positions, same order)
  // while it stores its entries compactly (see the header comment).
  void reserve_compact(size_t entries) {
    // A power of two, as the first table of a graph has always been.
    size_t slots = slots_for_entries(entries, kMaxSlots);
    if (slots == 0) throw InternalError("Hash table capacity overflow");
    slots = std::bit_ceil(slots);
    if (size_ != 0 || logical_slots_ != 0 || slots > kCompactSlotsMax) return reserve(entries);
    compact_ = true;
    logical_slots_ = slots;
    range_ = SlotRange(slots);
  }

  V* find(int64_t key) noexcept { return const_cast<V*>(std::as_const(*this).find(key)); }
  const V* find(int64_t key) const noexcept {
    if (key == kVacantKey) return has_vacant_key_ ? &vacant_entry_ : nullptr;
    if (compact_) {
      const CompactProbe p = probe_compact(key);
      return p.found ? &slots_[p.index].value : nullptr;
    }
    if (!slots_) return nullptr;
    size_t i = range_.home(hash_id(key));
    for (size_t passed = 0; passed < kMaxProbe; ++passed) {
      const Slot& s = slots_[i];
      if (s.key == key) return &s.value;
      if (s.key == kVacantKey) return nullptr;
      i = range_.next(i);
    }
    const Slot* s = overflow_ ? overflow_->find(key) : nullptr;
    return s ? &s->value : nullptr;
  }
  bool contains(int64_t key) const noexcept { return find(key) != nullptr; }
  // Set-style insertion; true when the key was new.
  bool insert(int64_t key) { return try_emplace(key).second; }

  // Finds the entry for `key`, inserting a default value when absent.
  // Returns the value and whether it was inserted. An insertion may move
  // other values (see layout_version()).
  std::pair<V*, bool> try_emplace(int64_t key) {
    // The common case inline: a full table, the key found or a free slot
    // within reach, no growth due.
    if (!compact_ && slots_ && key != kVacantKey) {
      size_t i = range_.home(hash_id(key));
      for (size_t passed = 0; passed < kMaxProbe; ++passed) {
        Slot& s = slots_[i];
        if (s.key == key) return {&s.value, false};
        if (s.key == kVacantKey) {
          if (needs_growth()) break;
          new (&s.value) V();
          s.key = key;
          ++size_;
          return {&s.value, true};
        }
        i = range_.next(i);
      }
    }
    return try_emplace_rest(key);
  }

  // Removes `key`, which the latest insertion added, leaving the map as it
  // was before that insertion: for a caller whose step of several
  // insertions fails part way. Nothing may have been inserted since. With
  // linear probing no later key can have probed past the freed slot, which
  // was vacant when they were placed, so every other entry stays put.
  void undo_insertion(int64_t key) noexcept {
    --size_;
    if (key == kVacantKey) {
      has_vacant_key_ = false;
      vacant_entry_ = V();
      return;
    }
    if (compact_) {
      const CompactProbe p = probe_compact(key);
      slots_[p.index].value.~V();
      for (size_t j = p.index; j + 1 < compact_count_; ++j) {
        new (&slots_[j].value) V(std::move(slots_[j + 1].value));
        slots_[j + 1].value.~V();
        slots_[j].key = slots_[j + 1].key;
        positions_[j] = positions_[j + 1];
      }
      --compact_count_;
      ++layout_version_;
      return;
    }
    size_t i = range_.home(hash_id(key));
    for (size_t passed = 0; passed < kMaxProbe; ++passed) {
      if (slots_[i].key == key) {
        slots_[i].value.~V();
        slots_[i].key = kVacantKey;
        return;
      }
      i = range_.next(i);
    }
    overflow_->index.erase(key);
    overflow_->entries.pop_back();
    if (overflow_->entries.empty()) overflow_.reset();
  }

  // Changes whenever an insertion moves values that were there before, so
  // that a caller holding a pointer from an earlier call knows to look again.
  uint64_t layout_version() const noexcept { return layout_version_; }

  // ---- The walk ----------------------------------------------------------
  // Every loop over the entries goes through walk(), which alone knows where
  // entries live. Positions number them in iteration order: 0 for the entry
  // keyed kVacantKey, 1 + i for slot i of the table (or of the compact
  // entries), 1 + slot_count() + k for the k-th overflow entry. Some
  // positions hold no entry. Positions also index per-entry side tables
  // (visited bitmaps, disjoint sets) that need no hashing of their own, and
  // cut the walk into ranges for the worker pool. Valid until the next
  // insertion.
  static constexpr size_t kNoPosition = std::numeric_limits<size_t>::max();
  size_t position_count() const noexcept { return 1 + slot_count() + overflow_count(); }

  // Visits the entries at positions [begin, end) in iteration order:
  // f(position, key, value).
  template <class F>
  void walk(size_t begin, size_t end, F&& f) const {
    walk_ahead<0>(begin, end, [](size_t, int64_t, const V&) {}, f);
  }
  template <class F>
  void walk(size_t begin, size_t end, F&& f) {
    walk_ahead<0>(begin, end, [](size_t, int64_t, V&) {}, f);
  }

  // walk() over every position, polling for Ctrl-C between chunks of
  // kWalkPollPositions positions: for whole-map loops of a native call.
  template <class F>
  void walk_polling(F&& f) const {
    walk_polling_impl(*this, f);
  }
  template <class F>
  void walk_polling(F&& f) {
    walk_polling_impl(*this, f);
  }

  // As walk(), with look-ahead for loops that wait on each value's memory:
  // ahead(position, key, value) is called kAhead entries (of the table,
  // counted in entries, not slots) before f reaches the same entry, to
  // request its memory. When ahead returns bool, f is called only for the
  // entries it returned true for.
  template <size_t kAhead, class Ahead, class F>
  void walk_ahead(size_t begin, size_t end, Ahead&& ahead, F&& f) const {
    walk_impl<kAhead>(*this, begin, end, ahead, f);
  }
  template <size_t kAhead, class Ahead, class F>
  void walk_ahead(size_t begin, size_t end, Ahead&& ahead, F&& f) {
    walk_impl<kAhead>(*this, begin, end, ahead, f);
  }

  // Visits every entry in iteration order: f(key, value).
  template <class F>
  void for_each(F&& f) const {
    walk(0, position_count(), [&](size_t, int64_t key, const V& value) { f(key, value); });
  }

  // Visits every value, mutable, in iteration order.
  template <class F>
  void for_each_value(F&& f) {
    walk(0, position_count(), [&](size_t, int64_t, V& value) { f(value); });
  }

  // Whether an entry lives at `position` (below position_count()).
  bool holds(size_t position) const noexcept {
    if (position == 0) return has_vacant_key_;
    return position > slot_count() || slots_[position - 1].key != kVacantKey;
  }
  // The position of `key`, or kNoPosition when the key is absent.
  size_t position_of(int64_t key) const noexcept {
    if (key == kVacantKey) return has_vacant_key_ ? 0 : kNoPosition;
    if (compact_) {
      const CompactProbe p = probe_compact(key);
      return p.found ? 1 + p.index : kNoPosition;
    }
    if (!slots_) return kNoPosition;
    size_t i = range_.home(hash_id(key));
    for (size_t passed = 0; passed < kMaxProbe; ++passed) {
      const Slot& s = slots_[i];
      if (s.key == key) return 1 + i;
      if (s.key == kVacantKey) return kNoPosition;
      i = range_.next(i);
    }
    if (!overflow_) return kNoPosition;
    const size_t k = overflow_->index_of(key);
    return k == kNoPosition ? k : 1 + slot_count() + k;
  }
  // The value at a position that holds an entry.
  const V& value_at(size_t position) const noexcept {
    if (position == 0) return vacant_entry_;
    const size_t count = slot_count();
    if (position <= count) return slots_[position - 1].value;
    return overflow_->entries[position - count - 1].value;
  }
  // Hints the cache about the slot where a look-up of `key` starts.
  void prefetch(int64_t key) const noexcept {
    if (slots_ && !compact_) __builtin_prefetch(&slots_[range_.home(hash_id(key))]);
  }

 private:
  // Length of the slot array, or of the entries of a compact table.
  size_t slot_count() const noexcept { return compact_ ? compact_count_ : logical_slots_; }
  size_t overflow_count() const noexcept { return overflow_ ? overflow_->entries.size() : 0; }

  // The walk for a const or a mutable map: the entry keyed kVacantKey, the
  // slots (with look-ahead), then the overflow entries, each clipped to
  // [begin, end).
  template <size_t kAhead, class Self, class Ahead, class F>
  static void walk_impl(Self& self, size_t begin, size_t end, Ahead& ahead, F& f) {
    using Entry = std::conditional_t<std::is_const_v<Self>, const Slot, Slot>;
    using Value = std::conditional_t<std::is_const_v<Self>, const V, V>;
    // Whether f is to visit an entry, as ahead() answers it.
    auto ask = [&ahead](size_t position, int64_t key, Value& value) -> bool {
      if constexpr (std::is_void_v<decltype(ahead(position, key, value))>) {
        ahead(position, key, value);
        return true;
      } else {
        return ahead(position, key, value);
      }
    };
    const size_t count = self.slot_count();
    end = std::min(end, self.position_count());
    if (begin >= end) return;
    if (begin == 0 && self.has_vacant_key_) {
      Value& value = self.vacant_entry_;
      if (ask(0, kVacantKey, value)) f(size_t{0}, kVacantKey, value);
    }
    const size_t first = begin == 0 ? 0 : begin - 1, last = std::min(end - 1, count);
    Entry* slots = self.slots_;
    if constexpr (kAhead == 0) {
      for (size_t i = first; i < last; ++i) {
        if (slots[i].key != kVacantKey) f(1 + i, slots[i].key, slots[i].value);
      }
    } else {
      static_assert(std::has_single_bit(kAhead));
      bool visit[kAhead];
      size_t next = first, asked = 0, done = 0;
      for (size_t i = first; i < last; ++i) {
        for (; next < last && asked - done < kAhead; ++next) {
          if (slots[next].key == kVacantKey) continue;
          visit[asked++ & (kAhead - 1)] = ask(1 + next, slots[next].key, slots[next].value);
        }
        if (slots[i].key == kVacantKey) continue;
        if (visit[done++ & (kAhead - 1)]) f(1 + i, slots[i].key, slots[i].value);
      }
    }
    if (end > 1 + count) {
      auto& entries = self.overflow_->entries;
      for (size_t k = std::max(begin, 1 + count) - 1 - count; k < end - 1 - count; ++k) {
        Entry& s = entries[k];
        if (ask(1 + count + k, s.key, s.value)) f(1 + count + k, s.key, s.value);
      }
    }
  }

  template <class Self, class F>
  static void walk_polling_impl(Self& self, F& f) {
    in_polled_steps(self.position_count(), kWalkPollPositions, [&](size_t from, size_t to) { self.walk(from, to, f); });
  }

  [[gnu::noinline]] std::pair<V*, bool> try_emplace_rest(int64_t key) {
    if (key == kVacantKey) {
      if (has_vacant_key_) return {&vacant_entry_, false};
      has_vacant_key_ = true;
      ++size_;
      return {&vacant_entry_, true};
    }
    if (compact_) {
      const CompactProbe p = probe_compact(key);
      if (p.found) return {&slots_[p.index].value, false};
      if (!needs_growth() && p.passed < kMaxProbe && compact_count_ < kCompactMax) {
        return {&insert_compact(key, p), true};
      }
    } else if (slots_) {
      size_t i = range_.home(hash_id(key));
      size_t passed = 0;
      for (; passed < kMaxProbe; ++passed) {
        Slot& s = slots_[i];
        if (s.key == key) return {&s.value, false};
        if (s.key == kVacantKey) break;
        i = range_.next(i);
      }
      if (passed == kMaxProbe && overflow_) {
        if (Slot* s = overflow_->find(key)) return {&s->value, false};
      }
      if (!needs_growth()) return {&place_new(key, i, passed), true};
    }
    // Absent, and the table must grow (or be laid out in full) first.
    if (needs_growth()) {
      const size_t in_table = size_ - (has_vacant_key_ ? 1 : 0);
      size_t slots = slots_for_entries(in_table + 1, kMaxSlots);
      if (slots == 0) throw InternalError("Hash table capacity overflow");
      rehash(std::max(slots, grown_slots(logical_slots_)));
    } else {
      rehash(logical_slots_);  // a compact table laid out in full, same positions
    }
    size_t i = range_.home(hash_id(key));
    size_t passed = 0;
    while (passed < kMaxProbe && slots_[i].key != kVacantKey) {
      i = range_.next(i);
      ++passed;
    }
    return {&place_new(key, i, passed), true};
  }

  // Entries whose probe would pass kMaxProbe slots: in arrival order (a
  // deque, so that adding one moves none), with a search tree by key.
  struct Overflow {
    std::deque<Slot> entries;
    std::map<int64_t, size_t> index;

    Slot* find(int64_t key) noexcept {
      auto it = index.find(key);
      return it == index.end() ? nullptr : &entries[it->second];
    }
    const Slot* find(int64_t key) const noexcept { return const_cast<Overflow*>(this)->find(key); }
    size_t index_of(int64_t key) const noexcept {
      auto it = index.find(key);
      return it == index.end() ? kNoPosition : it->second;
    }
    // A new entry with a default value; unchanged when allocation fails.
    Slot& add(int64_t key) {
      entries.emplace_back();
      try {
        index.emplace(key, entries.size() - 1);
      } catch (...) {
        entries.pop_back();
        throw;
      }
      entries.back().key = key;
      return entries.back();
    }
  };

  // Where linear probing over the full table would take `key`, found in the
  // compact entries (sorted by slot): the entry if present, otherwise the
  // free slot the key would take and the index that keeps the order.
  struct CompactProbe {
    bool found;
    size_t index;   // the entry, or where a new entry goes
    size_t slot;    // its slot in the full table
    size_t passed;  // occupied slots passed on the way
  };
  CompactProbe probe_compact(int64_t key) const noexcept {
    const size_t count = compact_count_;
    size_t slot = range_.home(hash_id(key));
    size_t j = static_cast<size_t>(std::lower_bound(positions_, positions_ + count, slot) - positions_);
    size_t passed = 0;
    while (j < count && positions_[j] == slot) {
      if (slots_[j].key == key) return {true, j, slot, passed};
      ++passed;
      ++j;
      if (++slot == logical_slots_) slot = j = 0;  // the run wraps around the end
    }
    return {false, j, slot, passed};
  }

  V& insert_compact(int64_t key, const CompactProbe& p) {
    if (compact_count_ == compact_capacity_) grow_compact();
    for (size_t j = compact_count_; j > p.index; --j) {
      new (&slots_[j].value) V(std::move(slots_[j - 1].value));
      slots_[j - 1].value.~V();
      slots_[j].key = slots_[j - 1].key;
      positions_[j] = positions_[j - 1];
    }
    if (p.index != compact_count_) ++layout_version_;
    new (&slots_[p.index].value) V();
    slots_[p.index].key = key;
    positions_[p.index] = static_cast<uint16_t>(p.slot);
    ++compact_count_;
    ++size_;
    return slots_[p.index].value;
  }

  void grow_compact() {
    const size_t capacity = compact_capacity_ ? compact_capacity_ * 2 : 4;
    Slot* fresh = static_cast<Slot*>(::operator new(capacity * (sizeof(Slot) + sizeof(uint16_t))));
    uint16_t* fresh_positions = reinterpret_cast<uint16_t*>(fresh + capacity);
    for (size_t j = 0; j < compact_count_; ++j) {
      new (&fresh[j].value) V(std::move(slots_[j].value));
      slots_[j].value.~V();
      fresh[j].key = slots_[j].key;
      fresh_positions[j] = positions_[j];
    }
    ::operator delete(slots_);
    slots_ = fresh;
    positions_ = fresh_positions;
    compact_capacity_ = capacity;
    ++layout_version_;
  }

  bool needs_growth() const noexcept {
    const size_t in_table = size_ - (has_vacant_key_ ? 1 : 0);
    return in_table + 1 > entries_for_slots(logical_slots_);
  }

  // Stores a new key at slot i of the full table, or in the overflow area
  // when its probe passed kMaxProbe slots.
  V& place_new(int64_t key, size_t i, size_t passed) {
    if (passed == kMaxProbe) {
      if (!overflow_) overflow_ = std::make_unique<Overflow>();
      Slot& s = overflow_->add(key);
      ++size_;
      return s.value;
    }
    Slot& s = slots_[i];
    new (&s.value) V();
    s.key = key;
    ++size_;
    return s.value;
  }

  // Lays out every entry (but the one keyed kVacantKey) in a full table of
  // `slots` slots, inserted in iteration order. Values move as their keys
  // are placed; should making an overflow entry fail for want of memory,
  // they are moved back and the map is as it was.
  //
  // Colliding keys stay cheap across growth: a home slot found saturated
  // (kMaxProbe occupied slots from it) stays so while the table fills, so
  // the next key of that home goes to the overflow area without a probe; and
  // when every overflow entry stays in overflow, with no key from the slots
  // joining it, the overflow area is kept as it is instead of being rebuilt.
  //
  // A large table takes a while to lay out (16M entries: about a second),
  // so the layout polls for Ctrl-C every kRehashPollSlots slots; a stop
  // unwinds as a failed allocation does, leaving the map as it was.
  void rehash(size_t slots) {
    Slot* fresh = allocate_slots(slots);
    try {
      in_polled_steps(slots, kRehashPollSlots, [fresh](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) fresh[i].key = kVacantKey;
      });
    } catch (...) {
      free_slots(fresh, slots);
      throw;
    }
    const SlotRange range(slots);
    std::unique_ptr<Overflow> fresh_overflow;
    size_t saturated_home = slots;  // none yet
    // The slot for key, or `slots` when its probe passes kMaxProbe slots.
    auto where = [&](int64_t key) -> size_t {
      const size_t home = range.home(hash_id(key));
      if (home == saturated_home) return slots;
      size_t i = home;
      for (size_t passed = 0; passed < kMaxProbe; ++passed) {
        if (fresh[i].key == kVacantKey || fresh[i].key == key) return i;
        i = range.next(i);
      }
      saturated_home = home;
      return slots;
    };
    auto place = [&](Slot& from) {
      const size_t i = where(from.key);
      if (i == slots) {
        if (!fresh_overflow) fresh_overflow = std::make_unique<Overflow>();
        fresh_overflow->add(from.key);  // its value moves below
        return;
      }
      fresh[i].key = from.key;
      new (&fresh[i].value) V(std::move(from.value));
    };
    const size_t count = slot_count();
    bool keep_overflow = false;
    try {
      for (size_t i = 0; i < count; ++i) {
        poll_interrupt_every(i, kRehashPollSlots);
        if (slots_[i].key != kVacantKey) place(slots_[i]);
      }
      if (overflow_) {
        keep_overflow = !fresh_overflow && std::all_of(overflow_->entries.begin(), overflow_->entries.end(),
                                                       [&](const Slot& s) { return where(s.key) == slots; });
        if (!keep_overflow) {
          for (Slot& s : overflow_->entries) place(s);
        }
      }
    } catch (...) {
      for (size_t i = 0; i < slots; ++i) {
        if (fresh[i].key == kVacantKey) continue;
        *find(fresh[i].key) = std::move(fresh[i].value);
        fresh[i].value.~V();
      }
      free_slots(fresh, slots);
      throw;
    }
    if (fresh_overflow) {
      for (Slot& s : fresh_overflow->entries) s.value = std::move(*find(s.key));
    }
    if constexpr (!std::is_trivially_destructible_v<V>) {
      for (size_t i = 0; i < count; ++i) {
        if (slots_[i].key != kVacantKey) slots_[i].value.~V();
      }
    }
    if (keep_overflow) fresh_overflow = std::move(overflow_);
    free_storage();  // the old overflow entries, moved from, go with it
    overflow_ = std::move(fresh_overflow);
    slots_ = fresh;
    range_ = range;
    logical_slots_ = slots;
    ++layout_version_;
  }

  // Large slot arrays take transparent huge pages: look-ups land anywhere
  // in the array, and with 4 KiB pages nearly every one of them would also
  // miss the TLB.
  static Slot* allocate_slots(size_t slots) {
    return static_cast<Slot*>(allocate_block(slots * sizeof(Slot), alignof(Slot)));
  }

  static void free_slots(Slot* p, size_t slots) noexcept {
    if (p) free_block(p, slots * sizeof(Slot), alignof(Slot));
  }

  // Frees the slot array or compact entries (values already destroyed or
  // moved out) and leaves the map in full-table mode with no table.
  void free_storage() noexcept {
    if (compact_) {
      ::operator delete(slots_);
    } else {
      free_slots(slots_, logical_slots_);
    }
    slots_ = nullptr;
    positions_ = nullptr;
    compact_ = false;
    compact_count_ = compact_capacity_ = 0;
    overflow_.reset();
  }

  void release() noexcept {
    if (slots_) {
      if constexpr (!std::is_trivially_destructible_v<V>) {
        const size_t count = slot_count();
        for (size_t i = 0; i < count; ++i) {
          if (slots_[i].key != kVacantKey) slots_[i].value.~V();
        }
      }
    }
    free_storage();
    logical_slots_ = 0;
    range_ = SlotRange();
    size_ = 0;
    if (has_vacant_key_) vacant_entry_ = V();
    has_vacant_key_ = false;
  }

  void steal(IdMap& other) noexcept {
    slots_ = std::exchange(other.slots_, nullptr);
    positions_ = std::exchange(other.positions_, nullptr);
    logical_slots_ = std::exchange(other.logical_slots_, 0);
    range_ = std::exchange(other.range_, SlotRange());
    size_ = std::exchange(other.size_, 0);
    compact_count_ = std::exchange(other.compact_count_, 0);
    compact_capacity_ = std::exchange(other.compact_capacity_, 0);
    compact_ = std::exchange(other.compact_, false);
    has_vacant_key_ = std::exchange(other.has_vacant_key_, false);
    vacant_entry_ = std::move(other.vacant_entry_);
    other.vacant_entry_ = V();
    overflow_ = std::move(other.overflow_);
    ++layout_version_;
  }

  Slot* slots_ = nullptr;          // full table, or the compact entries
  uint16_t* positions_ = nullptr;  // compact: each entry's slot in the full table
  size_t logical_slots_ = 0;       // slots of the (possibly emulated) full table
  SlotRange range_;
  size_t size_ = 0;
  uint32_t compact_count_ = 0;
  uint32_t compact_capacity_ = 0;
  bool compact_ = false;
  bool has_vacant_key_ = false;
  V vacant_entry_{};
  std::unique_ptr<Overflow> overflow_;
  uint64_t layout_version_ = 0;
};

using IdSet = IdMap<NoValue>;

}  // namespace arborvane
