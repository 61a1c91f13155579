// Edge-list text: one "u v\n" line per edge, ids in decimal.
//
// Digits are produced two at a time from a 200-byte table, written
// backwards into a small scratch area and copied out: about a tenth of the
// cost of printf-style formatting, which matters at tens of millions of ids.
#include <cstring>

#include "accel/formats/array_io.hpp"
#include "accel/parallel/interrupt.hpp"

namespace arborvane {
namespace {

// The longest id, INT64_MIN, is 20 characters with its sign.
constexpr size_t kMaxIdChars = 20;

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes `id` in decimal at `out`; returns the position after it.
char* write_id(int64_t id, char* out) {
  char scratch[kMaxIdChars];
  char* end = scratch + kMaxIdChars;
  char* p = end;
  // The magnitude as unsigned, so INT64_MIN needs no special case.
  uint64_t magnitude = id < 0 ? 0 - static_cast<uint64_t>(id) : static_cast<uint64_t>(id);
  while (magnitude >= 100) {
    size_t pair = static_cast<size_t>(magnitude % 100) * 2;
    magnitude /= 100;
    p -= 2;
    std::memcpy(p, kDigitPairs + pair, 2);
  }
  if (magnitude >= 10) {
    p -= 2;
    std::memcpy(p, kDigitPairs + magnitude * 2, 2);
  } else {
    *--p = static_cast<char>('0' + magnitude);
  }
  if (id < 0) *--p = '-';
  size_t length = static_cast<size_t>(end - p);
  std::memcpy(out, p, length);
  return out + length;
}

}  // namespace

size_t edge_lines_capacity(size_t pairs) { return pairs * (2 * kMaxIdChars + 2); }

size_t format_edge_lines(std::span<const int64_t> flat, char* out) {
  char* p = out;
  size_t pairs = flat.size() / 2;
  for (size_t k = 0; k < pairs; ++k) {
    poll_interrupt_every(k);
    p = write_id(flat[2 * k], p);
    *p++ = ' ';
    p = write_id(flat[2 * k + 1], p);
    *p++ = '\n';
  }
  return static_cast<size_t>(p - out);
}

}  // namespace arborvane
