// A fixed-length array whose elements start uninitialised, for work and
// result vectors in which every slot is written before it is read: unlike
// std::vector<T>(n) it spends no pass zero-filling memory that is
// overwritten anyway (for a large array that pass is also where every page
// is first touched, so it costs the page faults on top). A large array's
// huge pages are faulted in when it is made, with interrupt polls between
// them (see huge_page_memory.hpp): the writes that follow may land anywhere.
#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <type_traits>

#include "accel/parallel/interrupt.hpp"
#include "accel/support/huge_page_memory.hpp"

namespace arborvane {

// `Align` (a power of two) may ask for more than T's own alignment, for
// arrays written in whole cache lines.
template <class T, size_t Align = alignof(T)>
class UninitializedBuffer {
  static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);
  static_assert(Align >= alignof(T) && (Align & (Align - 1)) == 0);

  struct Free {
    size_t bytes = 0;
    void operator()(T* p) const noexcept { free_block(p, bytes, Align); }
  };

 public:
  UninitializedBuffer() = default;
  explicit UninitializedBuffer(size_t size) : data_(allocate(size, poll_interrupt), Free{size * sizeof(T)}), size_(size) {}
  // A buffer whose pages fault only as they are first written, for a caller
  // that faults them in itself (on several threads, say).
  UninitializedBuffer(size_t size, FaultWhenWritten)
      : data_(allocate(size, FaultWhenWritten{}), Free{size * sizeof(T)}), size_(size) {}

  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_.get(); }
  const T* data() const noexcept { return data_.get(); }
  T& operator[](size_t i) noexcept { return data_[i]; }
  const T& operator[](size_t i) const noexcept { return data_[i]; }
  std::span<const T> span() const noexcept { return {data_.get(), size_}; }

  friend void swap(UninitializedBuffer& a, UninitializedBuffer& b) noexcept {
    std::swap(a.data_, b.data_);
    std::swap(a.size_, b.size_);
  }

 private:
  template <class Between>
  static T* allocate(size_t size, const Between& between) {
    if (size == 0) return nullptr;
    if (size > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate_block(size * sizeof(T), Align, kHugePageFrom, between));
  }

  std::unique_ptr<T[], Free> data_;
  size_t size_ = 0;
};

}  // namespace arborvane
