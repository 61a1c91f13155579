// SplitMix64, the engine's seeded random source: a 64-bit counter advanced
// by the golden-ratio increment, each state passed through a bijective
// finaliser. Small, fast, and the same sequence on every platform.
#pragma once

#include <cstdint>

#include "accel/support/exact_ratio.hpp"

namespace arborvane {

class SplitMix64 {
 public:
  static constexpr uint64_t kIncrement = 0x9e3779b97f4a7c15;

  explicit SplitMix64(uint64_t seed) noexcept : state_(seed) {}

  // The finaliser alone: a well-mixed 64-bit hash of x.
  static uint64_t mix(uint64_t x) noexcept {
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9;
    x = (x ^ (x >> 27)) * 0x94d049bb133111eb;
    return x ^ (x >> 31);
  }

  uint64_t next() noexcept { return mix(state_ += kIncrement); }

  // Uniform in [0, bound), bound > 0 (Lemire's multiply-and-reject).
  uint64_t below(uint64_t bound) noexcept {
    u128 product = static_cast<u128>(next()) * bound;
    if (static_cast<uint64_t>(product) < bound) {
      const uint64_t threshold = (0 - bound) % bound;
      while (static_cast<uint64_t>(product) < threshold) product = static_cast<u128>(next()) * bound;
    }
    return static_cast<uint64_t>(product >> 64);
  }

 private:
  uint64_t state_;
};

}  // namespace arborvane
