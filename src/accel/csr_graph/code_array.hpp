// Integer arrays as the caller holds them (int32 or int64 values, any
// stride), read one value at a time: the node codes or ids that the CSR
// build sorts, and the labels that label_codes and DenseIds rank.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace arborvane {

// One array: `size` int32 (or int64, when wide) values `stride` bytes
// apart, from `data` on (a negative stride walks backwards; the values need
// not be aligned).
struct CodeArray {
  const void* data = nullptr;
  size_t size = 0;
  std::ptrdiff_t stride = 0;
  bool wide = false;
};

// The k-th value of one CodeArray of T, through the rank table when there
// is one; an id outside the table reads as -1, which every caller refuses
// as out of range. kContiguous: the array's stride is sizeof(T), known to
// the compiler (which then vectorizes simple loops over the values).
template <class T, bool kContiguous = false>
class CodeReader {
 public:
  CodeReader(const CodeArray& a, std::span<const int64_t> rank)
      : base_(static_cast<const char*>(a.data)), stride_(a.stride), rank_(rank.data()), ids_(rank.size()) {}

  int64_t operator()(size_t k) const noexcept {
    T value;
    const std::ptrdiff_t stride = kContiguous ? static_cast<std::ptrdiff_t>(sizeof(T)) : stride_;
    std::memcpy(&value, base_ + static_cast<std::ptrdiff_t>(k) * stride, sizeof value);
    const auto code = static_cast<int64_t>(value);
    if (!rank_) return code;
    return static_cast<uint64_t>(code) < ids_ ? rank_[code] : -1;
  }

 private:
  const char* base_;
  std::ptrdiff_t stride_;
  const int64_t* rank_;
  uint64_t ids_;
};

// Calls f(read) with the CodeReader of a's element type.
template <class F>
void with_code_reader(const CodeArray& a, std::span<const int64_t> rank, F&& f) {
  if (a.wide) return f(CodeReader<int64_t>(a, rank));
  f(CodeReader<int32_t>(a, rank));
}

// The same without a rank table: read(k) is the k-th value itself.
template <class F>
void with_code_reader(const CodeArray& a, F&& f) {
  with_code_reader(a, {}, f);
}

}  // namespace arborvane
