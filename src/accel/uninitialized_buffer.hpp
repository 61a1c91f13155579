// A fixed-length array whose elements start uninitialised, for work and
// result vectors in which every slot is written before it is read: unlike
// std::vector<T>(n) it spends no pass zero-filling memory that is
// overwritten anyway (for a large array that pass is also where every page
// is first touched, so it costs the page faults on top).
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <type_traits>

namespace arborvane {

template <class T>
class UninitializedBuffer {
  static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);

 public:
  UninitializedBuffer() = default;
  explicit UninitializedBuffer(size_t size)
      : data_(size ? std::make_unique_for_overwrite<T[]>(size) : nullptr), size_(size) {}

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
  std::unique_ptr<T[]> data_;
  size_t size_ = 0;
};

}  // namespace arborvane
