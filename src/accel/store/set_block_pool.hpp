// Memory for the array-shaped neighbour sets of one graph.
//
// Those arrays come in a few fixed sizes, all multiples of 8 ids, and a
// growing graph replaces them all the time. The general allocator pays for
// every replacement with a bin search, a merge with neighbouring free chunks
// and a block header, all at cold addresses. Here blocks are cut in order
// from slabs that the graph owns, a block given back goes to a free list of
// its size, and the next block of that size is taken from there. Slabs are
// freed with the pool only. Addresses decide where members are stored, never
// in which order they are visited.
//
// Every block of a growing set is a whole number of 64-byte cache lines and
// starts on one, so a set of up to 8 ids is a single line. Slabs double from
// 16 KiB up to 2 MiB, so that a small graph stays small; the 2 MiB slabs are
// aligned and offered to transparent huge pages, as set accesses land
// anywhere in them.
//
// After a large load the graph moves every set into a fresh pool whose one
// slab holds each set at its exact size (reserve_exact, allocate_exact), and
// drops the old pool with all its slack and free blocks at once.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "accel/support/huge_page_memory.hpp"

// Under AddressSanitizer, blocks not handed out (free or never cut) are
// poisoned, so that reads past a set's block are caught as they would be
// with one heap allocation per set.
#if defined(__SANITIZE_ADDRESS__)
#define ARBORVANE_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ARBORVANE_POOL_ASAN 1
#endif
#endif
#ifdef ARBORVANE_POOL_ASAN
#include <sanitizer/asan_interface.h>
#define ARBORVANE_POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define ARBORVANE_POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define ARBORVANE_POOL_POISON(p, n) ((void)(p), (void)(n))
#define ARBORVANE_POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace arborvane {

class SetBlockPool {
 public:
  static constexpr size_t kIdsPerLine = 8;
  static constexpr size_t kMaxBlockIds = 32;

  SetBlockPool() noexcept = default;
  SetBlockPool(const SetBlockPool&) = delete;
  SetBlockPool& operator=(const SetBlockPool&) = delete;
  ~SetBlockPool() { free_slabs(); }

  void swap(SetBlockPool& other) noexcept {
    std::swap(free_, other.free_);
    std::swap(slabs_, other.slabs_);
    std::swap(next_, other.next_);
    std::swap(end_, other.end_);
    std::swap(slab_bytes_, other.slab_bytes_);
  }

  // A block of `ids` ids (a multiple of kIdsPerLine, at most kMaxBlockIds).
  // Throws std::bad_alloc with the pool unchanged.
  int64_t* allocate(size_t ids) {
    const size_t bytes = ids * sizeof(int64_t);
    int64_t*& head = free_[ids];
    if (int64_t* block = head) {
      ARBORVANE_POOL_UNPOISON(block, bytes);
      std::memcpy(&head, block, sizeof head);
      return block;
    }
    // Exact-size blocks may have left the cursor inside a line.
    char* aligned = next_ + (-reinterpret_cast<uintptr_t>(next_) & (kLineBytes - 1));
    if (!next_ || end_ < aligned || static_cast<size_t>(end_ - aligned) < bytes) {
      add_slab();
      aligned = next_;
    }
    int64_t* block = reinterpret_cast<int64_t*>(aligned);
    next_ = aligned + bytes;
    ARBORVANE_POOL_UNPOISON(block, bytes);
    return block;
  }

  // Gives back a block that allocate(ids) or allocate_exact(ids) returned;
  // one of at most kMaxBlockIds ids is reused for the next block of the same
  // size, a larger one stays unused until the pool goes.
  void release(int64_t* block, size_t ids) noexcept {
    if (ids > kMaxBlockIds) return;
    int64_t*& head = free_[ids];
    std::memcpy(block, &head, sizeof head);
    head = block;
    ARBORVANE_POOL_POISON(block, ids * sizeof(int64_t));
  }

  // Takes over `other`'s slabs, with the blocks handed out from them, and
  // leaves it empty; allocations continue where this pool's own left off.
  // For a move into `other` that stopped part way.
  void adopt(SetBlockPool& other) noexcept {
    char* oldest = other.slabs_;
    if (!oldest) return;
    for (;;) {
      SlabHeader header;
      std::memcpy(&header, oldest, sizeof header);
      if (!header.previous) break;
      oldest = header.previous;
    }
    SlabHeader header;
    std::memcpy(&header, oldest, sizeof header);
    header.previous = slabs_;
    std::memcpy(oldest, &header, sizeof header);
    slabs_ = std::exchange(other.slabs_, nullptr);
    other.next_ = other.end_ = nullptr;
  }

  // Makes one slab with room for exactly `ids` ids of exact-size blocks.
  // Call on a new pool. Throws std::bad_alloc with the pool unchanged.
  void reserve_exact(size_t ids) {
    if (ids == 0) return;
    const size_t bytes = kLineBytes + ids * sizeof(int64_t);
    add_slab(bytes);
  }

  // A block of exactly `ids` ids from the room that reserve_exact made.
  int64_t* allocate_exact(size_t ids) noexcept {
    int64_t* block = reinterpret_cast<int64_t*>(next_);
    next_ += ids * sizeof(int64_t);
    ARBORVANE_POOL_UNPOISON(block, ids * sizeof(int64_t));
    return block;
  }

 private:
  static constexpr size_t kLineBytes = kIdsPerLine * sizeof(int64_t);
  static constexpr size_t kFirstSlabBytes = size_t{16} << 10;

  // Each slab starts with one line holding the link to the previous slab.
  struct SlabHeader {
    char* previous;
    size_t bytes;
  };
  static_assert(sizeof(SlabHeader) <= kLineBytes);

  // Slabs grow to one huge page, which they then fill.
  void add_slab(size_t exact_bytes = 0) {
    const size_t bytes = exact_bytes ? exact_bytes : slab_bytes_;
    char* slab = static_cast<char*>(allocate_block(bytes, kLineBytes, kHugePageBytes));
    const SlabHeader header{slabs_, bytes};
    std::memcpy(slab, &header, sizeof header);
    slabs_ = slab;
    next_ = slab + kLineBytes;
    end_ = slab + bytes;
    if (!exact_bytes) slab_bytes_ = std::min(bytes * 2, kHugePageBytes);
    ARBORVANE_POOL_POISON(next_, bytes - kLineBytes);
  }

  void free_slabs() noexcept {
    while (char* slab = slabs_) {
      SlabHeader header;
      std::memcpy(&header, slab, sizeof header);
      slabs_ = header.previous;
      ARBORVANE_POOL_UNPOISON(slab, header.bytes);
      free_block(slab, header.bytes, kLineBytes, kHugePageBytes);
    }
  }

  int64_t* free_[kMaxBlockIds + 1] = {};  // by block size in ids
  char* slabs_ = nullptr;  // newest slab; each links to the one before
  char* next_ = nullptr;   // first unused byte of the newest slab
  char* end_ = nullptr;
  size_t slab_bytes_ = kFirstSlabBytes;
};

}  // namespace arborvane
