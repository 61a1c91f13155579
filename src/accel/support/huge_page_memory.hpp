// Memory for large arrays. Blocks from a few MiB up are aligned to 2 MiB and
// offered to transparent huge pages: a scan over them then costs one TLB
// entry per 2 MiB instead of one per 4 KiB, a random access into them rarely
// waits for a page walk, and first touching them costs one fault per 2 MiB.
// Smaller blocks come from the ordinary allocator at the caller's alignment.
//
// A huge page's fault may stall: where the kernel's THP "defrag" setting is
// "madvise" (a common default), a fault in advised memory may first reclaim
// and compact memory until a free 2 MiB page exists, milliseconds per page
// on a busy machine. Code that writes all over a fresh block (a scatter)
// takes one such fault per huge page between two interrupt polls: a
// directed from_edges at 300k nodes / 3M edges answered Ctrl-C after up to
// 400 ms that way (48 ms with huge pages off). A block allocated with a
// `between` step is therefore faulted in when made, one huge page at a
// time, with `between` (an interrupt poll) after each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

#include "accel/support/platform.hpp"

namespace arborvane {

inline constexpr size_t kHugePageBytes = size_t{2} << 20;
inline constexpr size_t kHugePageFrom = 2 * kHugePageBytes;

// The alignment a block of `bytes` gets: the same for its allocation and
// its release. Blocks of `huge_from` bytes and more take huge pages.
inline std::align_val_t block_alignment(size_t bytes, size_t small_alignment,
                                        size_t huge_from = kHugePageFrom) noexcept {
  return std::align_val_t{bytes >= huge_from ? kHugePageBytes : small_alignment};
}

inline void free_block(void* p, size_t bytes, size_t small_alignment, size_t huge_from = kHugePageFrom) noexcept {
  ::operator delete(p, block_alignment(bytes, small_alignment, huge_from));
}

// Offers the whole huge pages inside [p, p + bytes), memory from the
// ordinary allocator (a std::vector's) not yet written, to transparent huge
// pages; ranges under kHugePageFrom bytes stay as they are. Besides the
// scans and faults above, releasing the memory is then a free per 2 MiB
// instead of per 4 KiB. Louvain on a 16,000,000-node grid (2 threads, a
// SIGINT from another process, median of 6) answered Ctrl-C in 0.108 s,
// most of it freeing its arrays a small page at a time, and in 0.020 s
// with its vectors on huge pages.
inline void advise_huge_pages_inside(void* p, size_t bytes) noexcept {
  if (bytes < kHugePageFrom) return;
  const uintptr_t from = reinterpret_cast<uintptr_t>(p);
  const uintptr_t begin = (from + kHugePageBytes - 1) & ~uintptr_t{kHugePageBytes - 1};
  const uintptr_t end = (from + bytes) & ~uintptr_t{kHugePageBytes - 1};
  if (begin < end) platform::advise_huge_pages(reinterpret_cast<void*>(begin), end - begin);
}

// What allocate_block's `between` is by default: the block is offered to
// huge pages but faulted in only as it is first written. That suits callers
// that write it in order, polling as they go (a huge page's fault then comes
// between two polls), and those that cannot poll at all.
struct FaultWhenWritten {
  void operator()() const noexcept {}
};

// A block of `bytes`. One of `huge_from` bytes or more is offered to huge
// pages and, unless `between` is FaultWhenWritten, faulted in now where the
// system took the advice: a huge page at a time, between() called after
// each page but the last. What between() throws frees the block and passes
// on.
template <class Between = FaultWhenWritten>
void* allocate_block(size_t bytes, size_t small_alignment, size_t huge_from = kHugePageFrom,
                     [[maybe_unused]] const Between& between = {}) {
  void* p = ::operator new(bytes, block_alignment(bytes, small_alignment, huge_from));
  if (bytes < huge_from || !platform::advise_huge_pages(p, bytes)) return p;
  if constexpr (!std::is_same_v<Between, FaultWhenWritten>) {
    try {
      // One written byte faults in its whole huge page (or, where none is
      // free even after compaction, one 4 KiB page; the rest of that range
      // then takes small pages, which never compact).
      auto* bytes_of = static_cast<volatile char*>(p);
      for (size_t at = 0; at < bytes; at += kHugePageBytes) {
        if (at) between();
        bytes_of[at] = 0;
      }
    } catch (...) {
      free_block(p, bytes, small_alignment, huge_from);
      throw;
    }
  }
  return p;
}

}  // namespace arborvane
