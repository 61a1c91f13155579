// Per-object borrow rule: any number of shared borrows, or one exclusive
// borrow, taken with one atomic operation and released on scope exit (see
// below for interpreters with a global lock). A refused borrow raises
// RuntimeError at once; it never waits. IntGraphCore's own calls raise
// "Already borrowed" / "Already mutably borrowed"; module functions name
// themselves, the call that holds the graph and what to do instead.
#pragma once

#include <atomic>
#include <cstdint>

#include "module/py_ref.hpp"

namespace arborvane::py {

inline constexpr uintptr_t kExclusivelyBorrowed = ~uintptr_t{0};

// The call that holds a graph exclusively, as refusals name it.
struct BorrowHolder {
  const char* name;    // "IntGraphCore.add_edges_from()"
  bool changes_graph;  // false for the calls that only read under the exclusive borrow
};

struct BorrowFlag {
  // 0: free; all ones: exclusively borrowed; otherwise the shared count.
  std::atomic<uintptr_t> count{0};
  // The latest exclusive holder, recorded for messages only.
  std::atomic<const BorrowHolder*> holder{nullptr};
};

// Raises the RuntimeError of a refused borrow. `caller` is null for
// IntGraphCore's own calls (the fixed messages), otherwise the public name of
// the refused function.
void raise_borrow_refused(const BorrowFlag& flag, const char* caller, bool exclusive);

// With a global interpreter lock, every access to a flag happens under that
// lock (no method releases it and worker threads never touch the flag), so
// accesses cannot overlap and a plain load and store do the work of each
// read-modify-write without a locked instruction. A free-threaded
// interpreter gets the compare-and-swap and the atomic decrement.
#ifdef Py_GIL_DISABLED
inline constexpr bool kSerialisedByInterpreterLock = false;
#else
inline constexpr bool kSerialisedByInterpreterLock = true;
#endif

class SharedBorrow {
 public:
  // `holder` is unused: a signature shared with ExclusiveBorrow.
  explicit SharedBorrow(BorrowFlag& borrow, const BorrowHolder* /*holder*/ = nullptr,
                        const char* caller = nullptr) noexcept {
    std::atomic<uintptr_t>& flag = borrow.count;
    uintptr_t current = flag.load(std::memory_order_relaxed);
    if constexpr (kSerialisedByInterpreterLock) {
      if (current == kExclusivelyBorrowed) {
        raise_borrow_refused(borrow, caller, false);
        return;
      }
      flag.store(current + 1, std::memory_order_relaxed);
      flag_ = &flag;
      return;
    }
    for (;;) {
      if (current == kExclusivelyBorrowed) {
        raise_borrow_refused(borrow, caller, false);
        return;
      }
      if (flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
        flag_ = &flag;
        return;
      }
    }
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() {
    if (!flag_) return;
    if constexpr (kSerialisedByInterpreterLock) {
      flag_->store(flag_->load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    } else {
      flag_->fetch_sub(1, std::memory_order_release);
    }
  }
  explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
  std::atomic<uintptr_t>* flag_ = nullptr;
};

class ExclusiveBorrow {
 public:
  ExclusiveBorrow(BorrowFlag& borrow, const BorrowHolder* holder, const char* caller = nullptr) noexcept {
    std::atomic<uintptr_t>& flag = borrow.count;
    bool taken;
    if constexpr (kSerialisedByInterpreterLock) {
      taken = flag.load(std::memory_order_relaxed) == 0;
      if (taken) flag.store(kExclusivelyBorrowed, std::memory_order_relaxed);
    } else {
      uintptr_t expected = 0;
      taken = flag.compare_exchange_strong(expected, kExclusivelyBorrowed, std::memory_order_acquire,
                                           std::memory_order_relaxed);
    }
    if (!taken) {
      raise_borrow_refused(borrow, caller, true);
      return;
    }
    borrow.holder.store(holder, std::memory_order_relaxed);
    flag_ = &flag;
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() {
    if (flag_) flag_->store(0, std::memory_order_release);
  }
  explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
  std::atomic<uintptr_t>* flag_ = nullptr;
};

}  // namespace arborvane::py
