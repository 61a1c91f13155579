// Memory for large arrays. Blocks from a few MiB up are aligned to 2 MiB and
// offered to transparent huge pages: a scan over them then costs one TLB
// entry per 2 MiB instead of one per 4 KiB, a random access into them rarely
// waits for a page walk, and first touching them costs one fault per 2 MiB.
// Smaller blocks come from the ordinary allocator at the caller's alignment.
#pragma once

#include <cstddef>
#include <new>

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

inline void* allocate_block(size_t bytes, size_t small_alignment, size_t huge_from = kHugePageFrom) {
  void* p = ::operator new(bytes, block_alignment(bytes, small_alignment, huge_from));
  if (bytes >= huge_from) platform::advise_huge_pages(p, bytes);
  return p;
}

inline void free_block(void* p, size_t bytes, size_t small_alignment, size_t huge_from = kHugePageFrom) noexcept {
  ::operator delete(p, block_alignment(bytes, small_alignment, huge_from));
}

}  // namespace arborvane
