// Seeded random graph generation: m new edges among the ids 0..n-1.
//
// Pairs come from Marsaglia's 64-bit xorshift (shifts 13, 7, 17); each pair
// takes two consecutive outputs reduced by a plain unsigned remainder, so the
// same state, n, m and seed always give the same edges in the same order.
// Self-loops are dropped and pairs that are already edges do not count.
//
// The draw sequence does not depend on the graph, so the generator runs a
// few pairs ahead of the insertions and prefetches their map slots: with
// millions of nodes every look-up is otherwise a cache miss.
#include <algorithm>
#include <bit>
#include <string>

#include "accel/parallel/interrupt.hpp"
#include "accel/store/operations.hpp"

namespace arborvane {
namespace {

class XorShift64 {
 public:
  explicit XorShift64(uint64_t seed) noexcept : state_(seed == 0 ? 1 : seed) {}
  uint64_t next() noexcept {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }

 private:
  uint64_t state_;
};

__extension__ typedef unsigned __int128 u128;  // pair counts reach 2^127

// Exact x % d for one fixed d, by multiplying with a precomputed reciprocal
// (Granlund-Montgomery): a 64-bit division costs tens of cycles, and every
// pair needs two remainders.
class FixedRemainder {
 public:
  explicit FixedRemainder(uint64_t d) noexcept : d_(d) {  // d >= 1
    shift_ = 63 - std::countl_zero(d);
    if ((d & (d - 1)) == 0) return;  // power of two: a mask
    const u128 scaled = static_cast<u128>(1) << (64 + shift_);
    uint64_t magic = static_cast<uint64_t>(scaled / d);
    const uint64_t rem = static_cast<uint64_t>(scaled % d);
    if (d - rem < (uint64_t{1} << shift_)) {
      magic_ = magic + 1;
    } else {
      // The reciprocal needs 65 bits: keep its low 64 and add the top bit
      // back with an averaging step in quotient().
      magic += magic;
      const uint64_t twice_rem = rem + rem;
      if (twice_rem >= d || twice_rem < rem) magic += 1;
      magic_ = magic + 1;
      add_ = true;
    }
  }

  uint64_t operator()(uint64_t x) const noexcept {
    if (magic_ == 0) return x & (d_ - 1);
    return x - quotient(x) * d_;
  }

 private:
  uint64_t quotient(uint64_t x) const noexcept {
    const uint64_t high = static_cast<uint64_t>((static_cast<u128>(magic_) * x) >> 64);
    if (!add_) return high >> shift_;
    return (((x - high) >> 1) + high) >> shift_;
  }

  uint64_t d_;
  uint64_t magic_ = 0;
  int shift_ = 0;
  bool add_ = false;
};

// Edges between two distinct ids whose unsigned reading is below n.
uint64_t edges_among_first_ids(const GraphState& graph, uint64_t n) {
  uint64_t count = 0;
  graph.adjacency.for_each([&](int64_t u, const NeighborSet& set) {
    if (static_cast<uint64_t>(u) >= n) return;
    set.for_each([&](int64_t w) {
      if (static_cast<uint64_t>(w) < n && u < w) ++count;
    });
  });
  return count;
}

// Refuses an m that no sequence of draws can satisfy: the loop below would
// otherwise never end.
void check_enough_free_pairs(const GraphState& graph, uint64_t n, uint64_t m) {
  u128 pairs = static_cast<u128>(n) * (n - 1) / 2;  // n >= 1 here
  // edge_count bounds the edges among the ids from above; only when that
  // bound is not enough are the edges actually counted.
  if (static_cast<u128>(m) + graph.edge_count <= pairs) return;
  u128 free_pairs = pairs - edges_among_first_ids(graph, n);
  if (m <= free_pairs) return;
  throw InvalidRequest("build_random: cannot make " + std::to_string(m) + " new edges: only " +
                       std::to_string(static_cast<uint64_t>(free_pairs)) +
                       " pairs of distinct ids below n are not joined yet");
}

// Which pairs the generator can draw at all. A pair is (x mod n, T(x) mod n)
// for consecutive outputs x and T(x). With n = 2^k * q (q odd), the low k bits
// of the ends are the low k bits of x and of T(x), and T is linear over GF(2):
// every drawn pair has its low bits in the image V of x -> (x mod 2^k,
// T(x) mod 2^k), a subspace of dimension k + 7 for 8 <= k <= 57. (T's low k
// bits depend on the low k + 7 bits of x only.) So for n a multiple of 256 a
// pair is drawable only when its low bits, in either orientation, lie in V:
// for n = 1024 that is 122,816 of the 523,776 pairs.
//
// Counting the pairs that pass this test is exact for n a power of two (x runs
// over every nonzero word, and each point of V has at least two preimages)
// and otherwise an upper bound on what can be drawn. For n = 2^k * q with
// q > 1 the remaining residues are reached as well in every case tried (768,
// 1280, 2304: the count is exactly what is drawn); the count could only
// exceed the drawable pairs for n near 2^32 and above, where it runs to
// more than 2^47 edges that no memory holds. Refusing m above this count is
// thus never a false refusal.
class DrawablePairs {
 public:
  explicit DrawablePairs(uint64_t n) noexcept : bits_(std::countr_zero(n)) {  // n >= 1
    const uint64_t low = low_mask();
    // Echelon basis of V, one vector per pivot bit: x's low bits below, T(x)'s above.
    for (int j = 0; j < 64; ++j) {
      const uint64_t x = uint64_t{1} << j;
      add(basis_, pack(x & low, next_output(x) & low));
    }
    const int dims = rank(basis_);
    u128 swapped[kMaxRank] = {}, sum[kMaxRank] = {}, diagonal[kMaxRank] = {};
    for (const u128& v : basis_) {
      if (!v) continue;
      const u128 s = swap(v);
      add(swapped, s);
      add(sum, v);
      add(sum, s);
      add(diagonal, v);
    }
    const int swapped_dims = rank(swapped);
    const int both_dims = dims + swapped_dims - rank(sum);  // dim(V & swap(V))
    for (int i = 0; i < bits_; ++i) add(diagonal, pack(uint64_t{1} << i, uint64_t{1} << i));
    const int diagonal_dims = dims + bits_ - rank(diagonal);  // a with (a, a) in V
    // Residue pairs (a, b) mod 2^k drawable in some orientation: |V u swap(V)|.
    const u128 residue_pairs = (u128{1} << (dims + 1)) - (u128{1} << both_dims);
    const u128 per_residue = n >> bits_;  // ids below n in each residue class
    // Ordered pairs of distinct ids, halved: no overflow, as the total stays below n^2.
    count_ = (per_residue * per_residue * residue_pairs - per_residue * (u128{1} << diagonal_dims)) / 2;
  }

  // Unordered pairs of distinct ids below n that some draw can give.
  u128 count() const noexcept { return count_; }

  bool drawable(uint64_t u, uint64_t v) const noexcept {
    const uint64_t low = low_mask();
    return in_span(pack(u & low, v & low)) || in_span(pack(v & low, u & low));
  }

 private:
  static constexpr int kMaxRank = 128;

  static uint64_t next_output(uint64_t x) noexcept {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  }
  uint64_t low_mask() const noexcept { return (uint64_t{1} << bits_) - 1; }  // bits_ <= 63
  u128 pack(uint64_t a, uint64_t b) const noexcept { return static_cast<u128>(a) | (static_cast<u128>(b) << bits_); }
  u128 swap(u128 v) const noexcept {
    const uint64_t low = low_mask();
    return pack(static_cast<uint64_t>(v >> bits_) & low, static_cast<uint64_t>(v) & low);
  }
  static int top_bit(u128 v) noexcept {
    const uint64_t high = static_cast<uint64_t>(v >> 64);
    return high ? 127 - std::countl_zero(high) : 63 - std::countl_zero(static_cast<uint64_t>(v));
  }
  // Adds v to an echelon basis indexed by pivot bit.
  static void add(u128 (&basis)[kMaxRank], u128 v) noexcept {
    while (v) {
      const int p = top_bit(v);
      if (!basis[p]) {
        basis[p] = v;
        return;
      }
      v ^= basis[p];
    }
  }
  static int rank(const u128 (&basis)[kMaxRank]) noexcept {
    int r = 0;
    for (const u128& v : basis) r += v != 0;
    return r;
  }
  bool in_span(u128 v) const noexcept {
    while (v) {
      const int p = top_bit(v);
      if (!basis_[p]) return false;
      v ^= basis_[p];
    }
    return true;
  }

  int bits_;  // k: n = 2^k * q, q odd
  u128 basis_[kMaxRank] = {};
  u128 count_ = 0;
};

std::string decimal(u128 value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value);
  return digits;
}

// Refuses an m that the generator cannot reach: for n a multiple of 256 the
// drawable pairs are fewer than all pairs, and the loop below would draw
// forever once they are used up. Runs after check_enough_free_pairs, whose
// message stays the one for m above all free pairs.
void check_enough_drawable_pairs(const GraphState& graph, uint64_t n, uint64_t m) {
  if (n < 256 || n % 256 != 0) return;  // every pair is drawable
  const DrawablePairs drawable(n);
  if (static_cast<u128>(m) + graph.edge_count <= drawable.count()) return;
  u128 joined = 0;
  graph.adjacency.for_each([&](int64_t u, const NeighborSet& set) {
    if (static_cast<uint64_t>(u) >= n) return;
    set.for_each([&](int64_t w) {
      if (static_cast<uint64_t>(w) < n && u < w && drawable.drawable(static_cast<uint64_t>(u), static_cast<uint64_t>(w)))
        ++joined;
    });
  });
  const u128 free_pairs = drawable.count() - joined;
  if (m <= free_pairs) return;
  throw InvalidRequest("build_random: cannot make " + std::to_string(m) + " new edges: of the " +
                       decimal(drawable.count()) + " pairs of distinct ids below " + std::to_string(n) +
                       " that the generator can draw, only " + decimal(free_pairs) + " are not joined yet");
}

// The draws run ahead of the insertions in two stages: a pair drawn
// kLookahead pairs ahead has its map slots prefetched; kLookahead / 2 pairs
// ahead, its ends' neighbour sets are found (slots now cached) and the
// memory that the insertion will probe is prefetched.
constexpr size_t kLookahead = 64;

void prefetch_sets(const AdjacencyMap& adjacency, const IdPair& pair) noexcept {
  if (const NeighborSet* set = adjacency.find(pair.first)) set->prefetch(pair.second);
  if (const NeighborSet* set = adjacency.find(pair.second)) set->prefetch(pair.first);
}

}  // namespace

void build_random(GraphState& graph, int64_t n_signed, uint64_t m, uint64_t seed) {
  const uint64_t n = static_cast<uint64_t>(n_signed);
  const bool no_node = graph.adjacency.empty();
  if (no_node && !AdjacencyMap::can_represent(n / 2)) throw InternalError("Hash table capacity overflow");
  if (m == 0) {
    graph.begin_mutation();  // changes nothing, but still ends the snapshot
    return;
  }
  if (n == 0) throw InternalError("attempt to calculate the remainder with a divisor of zero");
  check_enough_free_pairs(graph, n, m);
  check_enough_drawable_pairs(graph, n, m);
  // Every check has passed: the graph changes from here on.
  GraphState::Mutation change = graph.begin_mutation();
  // Room up front, but never more nodes than this call can make.
  if (no_node) change.reserve_nodes(static_cast<size_t>(std::min<u128>(n / 2, static_cast<u128>(m) * 2)));

  XorShift64 rng(seed);
  const FixedRemainder mod_n(n);
  auto draw = [&rng, &mod_n]() -> IdPair {
    const uint64_t u = mod_n(rng.next());
    const uint64_t v = mod_n(rng.next());
    return {static_cast<int64_t>(u), static_cast<int64_t>(v)};
  };
  const AdjacencyMap& adjacency = graph.adjacency;
  IdPair ahead[kLookahead];
  for (IdPair& pair : ahead) pair = draw();
  uint64_t made = 0;
  uint64_t drawn = 0;
  for (size_t next = 0; made < m; next = (next + 1) % kLookahead) {
    poll_interrupt_every(drawn++);
    const IdPair pair = ahead[next];
    ahead[next] = draw();
    adjacency.prefetch(ahead[next].first);
    adjacency.prefetch(ahead[next].second);
    prefetch_sets(adjacency, ahead[(next + kLookahead / 2) % kLookahead]);
    if (pair.first != pair.second && change.insert_edge(pair.first, pair.second)) ++made;
  }
  change.finish_bulk_insertion(made);
}

}  // namespace arborvane
