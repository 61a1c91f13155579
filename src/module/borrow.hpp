// Per-object borrow rule: any number of shared borrows, or one exclusive
// borrow, taken with one atomic operation and released on scope exit (see
// below for interpreters with a global lock). A refused borrow raises
// RuntimeError at once; it never waits.
#pragma once

#include <atomic>
#include <cstdint>

#include "module/py_ref.hpp"

namespace arborvane::py {

inline constexpr uintptr_t kExclusivelyBorrowed = ~uintptr_t{0};

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
  explicit SharedBorrow(std::atomic<uintptr_t>& flag) noexcept {
    uintptr_t current = flag.load(std::memory_order_relaxed);
    if constexpr (kSerialisedByInterpreterLock) {
      if (current == kExclusivelyBorrowed) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return;
      }
      flag.store(current + 1, std::memory_order_relaxed);
      flag_ = &flag;
      return;
    }
    for (;;) {
      if (current == kExclusivelyBorrowed) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
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
  explicit ExclusiveBorrow(std::atomic<uintptr_t>& flag) noexcept {
    if constexpr (kSerialisedByInterpreterLock) {
      if (flag.load(std::memory_order_relaxed) == 0) {
        flag.store(kExclusivelyBorrowed, std::memory_order_relaxed);
        flag_ = &flag;
      } else {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      }
      return;
    }
    uintptr_t expected = 0;
    if (flag.compare_exchange_strong(expected, kExclusivelyBorrowed, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
      flag_ = &flag;
    } else {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
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
