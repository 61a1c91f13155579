// Several pool threads appending node indices to one array: a frontier of a
// search, the nodes left after a filter.
//
// Each thread collects items in a small buffer of its own and claims room
// for a full buffer with one atomic add, so appends cost no contention. The
// order of the items depends on the thread schedule: use it only where the
// order cannot show in a result (a set of nodes to process, not a list).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <vector>

namespace arborvane {

template <class T>
class SharedAppender {
 public:
  // Appends into `out`, which must have room for every item appended.
  explicit SharedAppender(std::vector<T>& out) noexcept : out_(out.data()) {}
  SharedAppender(const SharedAppender&) = delete;
  SharedAppender& operator=(const SharedAppender&) = delete;

  size_t size() const noexcept { return tail_.load(std::memory_order_relaxed); }

  // One thread's buffer; flushes when full and when destroyed.
  class Local {
   public:
    explicit Local(SharedAppender& shared) noexcept : shared_(shared) {}
    Local(const Local&) = delete;
    Local& operator=(const Local&) = delete;
    ~Local() { flush(); }

    void push(T item) noexcept {
      items_[count_++] = item;
      if (count_ == kCapacity) flush();
    }

   private:
    static constexpr size_t kCapacity = 256;

    void flush() noexcept {
      if (count_ == 0) return;
      size_t at = shared_.tail_.fetch_add(count_, std::memory_order_relaxed);
      std::copy(items_, items_ + count_, shared_.out_ + at);
      count_ = 0;
    }

    SharedAppender& shared_;
    size_t count_ = 0;
    T items_[kCapacity];
  };

 private:
  T* out_;
  std::atomic<size_t> tail_{0};
};

}  // namespace arborvane
