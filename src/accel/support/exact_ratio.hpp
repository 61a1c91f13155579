// Correctly rounded ratios of exact integer counts.
//
// Python turns counts into fractions with int / int, which rounds the exact
// quotient once, to nearest with ties to even. Doing the same here gives the
// same bits as a Python reference from the same integers, where converting
// both counts to double first could round twice once they pass 2^53.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace arborvane {

__extension__ typedef unsigned __int128 u128;

inline int bit_length(u128 x) noexcept {
  const uint64_t high = static_cast<uint64_t>(x >> 64);
  return high ? 128 - std::countl_zero(high) : 64 - std::countl_zero(static_cast<uint64_t>(x));
}

// The double nearest to num / den, ties to even: what Python's int / int
// gives. den > 0 and den < 2^127.
inline double exact_ratio(u128 num, u128 den) noexcept {
  if (num == 0) return 0.0;
  constexpr u128 kExact = u128{1} << 53;
  if (num < kExact && den < kExact) return static_cast<double>(num) / static_cast<double>(den);
  // Long division to 54 significant bits (53 and a rounding bit); whatever
  // lies below them only tells whether the rest is zero (sticky).
  u128 quotient = num / den, remainder = num % den;
  int exponent = 0;
  bool sticky = false;
  while (bit_length(quotient) < 54) {
    remainder <<= 1;
    quotient <<= 1;
    if (remainder >= den) {
      remainder -= den;
      quotient |= 1;
    }
    --exponent;
  }
  while (bit_length(quotient) > 54) {
    sticky |= quotient & 1;
    quotient >>= 1;
    ++exponent;
  }
  sticky |= remainder != 0;
  // 54 bits: 53 kept, the last one the rounding bit.
  uint64_t mantissa = static_cast<uint64_t>(quotient >> 1);
  if ((quotient & 1) && (sticky || (mantissa & 1))) ++mantissa;
  return std::ldexp(static_cast<double>(mantissa), exponent + 1);
}

}  // namespace arborvane
