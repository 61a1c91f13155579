// One bit per adjacency-map position or node index: the visited sets and
// frontiers of the searches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace arborvane {

class PositionBitmap {
 public:
  explicit PositionBitmap(size_t positions) : words_((positions + 63) / 64, 0) {}

  void set(size_t p) noexcept { words_[p >> 6] |= uint64_t{1} << (p & 63); }
  bool test(size_t p) const noexcept { return (words_[p >> 6] >> (p & 63)) & 1; }
  // Marks p; returns whether it was marked before.
  bool test_and_set(size_t p) noexcept {
    uint64_t bit = uint64_t{1} << (p & 63);
    uint64_t& word = words_[p >> 6];
    bool was = (word & bit) != 0;
    word |= bit;
    return was;
  }

  // Whole 64-bit words (bit i of word w is index 64w + i), for loops that
  // split the bitmap between threads by word.
  size_t word_count() const noexcept { return words_.size(); }
  uint64_t word(size_t w) const noexcept { return words_[w]; }
  void set_word(size_t w, uint64_t bits) noexcept { words_[w] = bits; }
  void swap(PositionBitmap& other) noexcept { words_.swap(other.words_); }

 private:
  std::vector<uint64_t> words_;
};

}  // namespace arborvane
