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

#include "accel/interrupt.hpp"
#include "accel/operations.hpp"

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
    graph.invalidate_snapshot();
    return;
  }
  if (n == 0) throw InternalError("attempt to calculate the remainder with a divisor of zero");
  check_enough_free_pairs(graph, n, m);
  // Room up front, but never more nodes than this call can make.
  if (no_node) graph.adjacency.reserve(static_cast<size_t>(std::min<u128>(n / 2, static_cast<u128>(m) * 2)));
  // The graph changes from here on. Discarding the snapshot first means that
  // an insertion failing part way (memory) cannot leave a stale one behind.
  graph.invalidate_snapshot();

  XorShift64 rng(seed);
  const FixedRemainder mod_n(n);
  auto draw = [&rng, &mod_n]() -> IdPair {
    const uint64_t u = mod_n(rng.next());
    const uint64_t v = mod_n(rng.next());
    return {static_cast<int64_t>(u), static_cast<int64_t>(v)};
  };
  AdjacencyMap& adjacency = graph.adjacency;
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
    if (pair.first != pair.second && graph.insert_edge(pair.first, pair.second)) ++made;
  }
}

}  // namespace arborvane
