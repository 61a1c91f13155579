// Community detection: Louvain, Leiden and label propagation.
//
// Requires the CSR snapshot (index runs).
//
// All three move nodes between communities to raise a score, level by
// level. A node's weighted degree k(v) counts a self-loop twice, the way
// NetworkX counts degrees, and 2m is the sum of the degrees. Moving v into
// community c gains, up to the positive factor 1 / (2m^2),
//   2m k(v, c) - resolution k(v) tot(c)
// where k(v, c) is the weight of v's edges into c and tot(c) the degrees of
// c's members (v itself left out). Louvain and Leiden maximise modularity
// that way; label propagation is the same moving with resolution 0 (the
// most common neighbouring label wins) on the input graph alone.
//
// The trick, for the same result on any number of threads: a level's nodes
// are dealt into kRounds sub-rounds by a seeded hash. Within a sub-round
// every node picks its best community against the state at the start of
// the sub-round, in parallel, and then all the moves are applied. Weights
// are integers (edge counts), so the community totals, updated with atomic
// adds, come out the same whatever order the adds ran in; staying wins a
// tie, other ties go by a seeded hash of node and community. The state after each
// sub-round is therefore a function of the seed and the graph alone. The
// sub-rounds make the moving nearly sequential: two neighbours decide at
// the same time only when they share a sub-round (1 in kRounds), and then
// only the larger of two lone nodes joins the other.
//
// Only nodes with a neighbour that moved since their last visit are visited
// again (the others would stay). Aggregation builds the next level's
// weighted graph one community per task, with each community's members in
// ascending index order, so its layout too is fixed.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <optional>
#include <utility>

#include "accel/kernels/analytics.hpp"
#include "accel/parallel/concurrent_union_find.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/worker_pool.hpp"
#include "accel/support/splitmix64.hpp"

namespace arborvane {

namespace {

// Sub-rounds per pass. Two neighbours decide together with probability
// 1 / kRounds; a sub-round is two hand-overs to the pool. On the small
// benchmark graphs (10,000 nodes / 50,000 edges, uniform and power-law)
// 1024 sub-rounds gave the modularity of 64 within the spread between seeds.
constexpr size_t kRounds = 64;
// Passes over a level at most (each visits only the nodes next to a move);
// on the medium benchmark graphs no level needed more than 40.
constexpr size_t kMaxPasses = 64;
// A level is settled when a pass moves at most 1 in kSettledFraction of its
// nodes: the last moves are mostly pairs of neighbours that decided
// together and keep trading places. On the medium G(n, m) graph (200,000 /
// 2,000,000) 1000 gave 0.0013 more modularity than 100 for 16% more time.
constexpr size_t kSettledFraction = 1000;
// Label propagation stops after this many passes even if labels still
// change (a few nodes can keep alternating between equally common labels).
constexpr size_t kMaxLabelPasses = 100;
// Smallest ranges a worker claims: a node's edges are hashed when deciding,
// only its neighbours marked when a move is applied. Set by analogy with
// core_number's ranges, not measured.
constexpr size_t kMinDecidePerRange = 256;
constexpr size_t kMinApplyPerRange = 1024;
constexpr size_t kMinNodesPerRange = 4096;

// ---- graphs ----------------------------------------------------------------

// Level 0: the snapshot's runs, each edge of weight 1 and a self-loop of
// weight 2 (a loop adds 2 to its node's degree).
template <class Index>
struct SnapshotGraph {
  const uint64_t* offsets;
  const Index* runs;
  size_t n;

  size_t node_count() const noexcept { return n; }
  uint64_t entries(size_t v) const noexcept { return offsets[v + 1] - offsets[v]; }
  template <class F>
  void for_each(size_t v, F&& f) const {
    for (uint64_t k = offsets[v]; k < offsets[v + 1]; ++k) f(runs[k], runs[k] == v ? uint64_t{2} : uint64_t{1});
  }
};

// An aggregated level: node x is a community of the level below; the weight
// between x and y is the weight of the edges between the two communities,
// and x's own entry (its loop) the weights inside x, each edge counted from
// both ends (so degrees are preserved).
template <class Index>
struct WeightedGraph {
  std::vector<uint64_t> offsets;
  std::vector<Index> targets;
  std::vector<uint64_t> weights;

  size_t node_count() const noexcept { return offsets.size() - 1; }
  uint64_t entries(size_t v) const noexcept { return offsets[v + 1] - offsets[v]; }
  template <class F>
  void for_each(size_t v, F&& f) const {
    for (uint64_t k = offsets[v]; k < offsets[v + 1]; ++k) f(targets[k], weights[k]);
  }
};

// Weights summed by community: an open-addressing table that grows to the
// largest neighbourhood it meets and is cleared through its used slots.
template <class Index>
class WeightTable {
 public:
  static constexpr Index kEmpty = static_cast<Index>(-1);

  // Makes room for `entries` distinct keys; the table must be empty.
  void prepare(uint64_t entries) {
    const size_t wanted = std::bit_ceil(std::max<size_t>(16, static_cast<size_t>(entries) * 2));
    if (wanted <= keys_.size()) return;
    keys_.assign(wanted, kEmpty);
    weights_.assign(wanted, 0);
    used_.reserve(wanted / 2);
  }

  void add(Index key, uint64_t weight) {
    const size_t mask = keys_.size() - 1;
    size_t slot = static_cast<size_t>(SplitMix64::mix(key)) & mask;
    while (keys_[slot] != key) {
      if (keys_[slot] == kEmpty) {
        keys_[slot] = key;
        used_.push_back(slot);
        break;
      }
      slot = (slot + 1) & mask;
    }
    weights_[slot] += weight;
  }

  uint64_t get(Index key) const noexcept {
    const size_t mask = keys_.size() - 1;
    for (size_t slot = static_cast<size_t>(SplitMix64::mix(key)) & mask; keys_[slot] != kEmpty;
         slot = (slot + 1) & mask) {
      if (keys_[slot] == key) return weights_[slot];
    }
    return 0;
  }

  size_t size() const noexcept { return used_.size(); }

  // f(key, weight) for every key, in insertion order.
  template <class F>
  void for_each(F&& f) const {
    for (size_t slot : used_) f(keys_[slot], weights_[slot]);
  }

  void clear() noexcept {
    for (size_t slot : used_) {
      keys_[slot] = kEmpty;
      weights_[slot] = 0;
    }
    used_.clear();
  }

 private:
  std::vector<Index> keys_;
  std::vector<uint64_t> weights_;
  std::vector<size_t> used_;
};

template <class T>
void atomic_add(T& slot, T delta) noexcept {
  std::atomic_ref<T>(slot).fetch_add(delta, std::memory_order_relaxed);
}

// ---- one level -----------------------------------------------------------------

// The order in which a level's nodes are visited: dealt into kRounds
// sub-rounds by hash(seed, level, node), ascending index within each.
template <class Index>
struct Schedule {
  std::vector<Index> order;
  std::vector<size_t> start;      // kRounds + 1 bounds into order
  std::vector<uint16_t> round_of;  // each node's sub-round

  uint64_t key;  // drawn from the seed and the level

  Schedule(size_t n, uint64_t seed, uint64_t level)
      : order(n), start(kRounds + 1, 0), round_of(n),
        key(SplitMix64::mix(seed ^ SplitMix64::mix(level + SplitMix64::kIncrement))) {
    parallel_for(n, kMinNodesPerRange, [&](size_t v) {
      round_of[v] = static_cast<uint16_t>(SplitMix64::mix(key + v) % kRounds);
    });
    for (size_t v = 0; v < n; ++v) ++start[round_of[v] + 1];
    for (size_t r = 0; r < kRounds; ++r) start[r + 1] += start[r];
    std::vector<size_t> next(start.begin(), start.end() - 1);
    for (size_t v = 0; v < n; ++v) {
      poll_interrupt_every(v, 65536);
      order[next[round_of[v]]++] = static_cast<Index>(v);
    }
  }
};

// Communities of one level's nodes with their totals and sizes.
template <class Index>
struct Partition {
  std::vector<Index> community;  // per node, a community index in [0, n)
  std::vector<uint64_t> total;   // per community: the degrees of its members
  std::vector<Index> size;       // per community: its members

  Partition(std::vector<Index> initial, const std::vector<uint64_t>& degree)
      : community(std::move(initial)), total(community.size(), 0), size(community.size(), 0) {
    parallel_for(community.size(), kMinNodesPerRange, [&](size_t v) {
      atomic_add(total[community[v]], degree[v]);
      atomic_add(size[community[v]], Index{1});
    });
  }
};

struct MoveSettings {
  double resolution;
  size_t max_passes;
};

// Best moves of a level's nodes, sub-round after sub-round, until a pass
// moves nothing. Returns the moves made.
template <class Index, class Graph>
uint64_t move_nodes(const Graph& graph, const std::vector<uint64_t>& degree, double two_m,
                    const Schedule<Index>& schedule, const MoveSettings& settings, Partition<Index>& part) {
  const size_t n = graph.node_count();
  std::vector<uint8_t> active(n, 1);
  std::vector<Index> target(n);
  Index* community = part.community.data();
  uint64_t* total = part.total.data();
  Index* size = part.size.data();
  const double resolution = settings.resolution;
  uint64_t moves = 0;
  for (size_t pass = 0; pass < settings.max_passes; ++pass) {
    uint64_t moved = 0;
    for (size_t r = 0; r < kRounds; ++r) {
      poll_interrupt();
      const Index* nodes = schedule.order.data() + schedule.start[r];
      Index* chosen = target.data() + schedule.start[r];
      const size_t count = schedule.start[r + 1] - schedule.start[r];
      parallel_for_ranges(count, kMinDecidePerRange, [&](size_t begin, size_t end) {
        WeightTable<Index> weights;
        for (size_t i = begin; i < end; ++i) {
          poll_interrupt_every(i, 1024);
          const Index v = nodes[i];
          const Index own = community[v];
          chosen[i] = own;
          if (!active[v]) continue;
          active[v] = 0;
          weights.prepare(graph.entries(v));
          graph.for_each(v, [&](Index w, uint64_t weight) {
            if (w != v) weights.add(community[w], weight);
          });
          const double kv = static_cast<double>(degree[v]);
          Index best = own;
          double best_score = two_m * static_cast<double>(weights.get(own)) -
                              resolution * kv * static_cast<double>(total[own] - degree[v]);
          const bool alone = size[own] == 1;
          // Equal gains go to the community of smaller rank, a hash of the
          // node, the pass and the community: a fixed choice, but not one
          // that favours small indices everywhere (which would let the
          // first labels flood the graph when every gain is equal, as at
          // the start of label propagation).
          const uint64_t salt = SplitMix64::mix(schedule.key + pass * SplitMix64::kIncrement + v);
          auto rank = [salt](Index c) { return SplitMix64::mix(salt ^ c); };
          weights.for_each([&](Index c, uint64_t weight) {
            if (c == own || (alone && size[c] == 1 && c > own)) return;
            const double score = two_m * static_cast<double>(weight) - resolution * kv * static_cast<double>(total[c]);
            if (score > best_score || (score == best_score && best != own && rank(c) < rank(best))) {
              best = c;
              best_score = score;
            }
          });
          weights.clear();
          chosen[i] = best;
        }
      });
      moved += parallel_sum(count, kMinApplyPerRange, [&](size_t i) -> uint64_t {
        poll_interrupt_every(i);
        const Index v = nodes[i];
        const Index from = community[v], to = chosen[i];
        if (from == to) return 0;
        atomic_add(total[from], 0 - degree[v]);
        atomic_add(total[to], degree[v]);
        atomic_add(size[from], static_cast<Index>(-1));
        atomic_add(size[to], Index{1});
        community[v] = to;
        graph.for_each(v, [&](Index w, uint64_t) {
          std::atomic_ref<uint8_t>(active[w]).store(1, std::memory_order_relaxed);
        });
        return 1;
      });
    }
    moves += moved;
    if (moved * kSettledFraction <= n) break;
  }
  return moves;
}

// Leiden's refinement: within each community of `part`, nodes start alone
// and a lone node joins the neighbouring refined community (inside its own
// community) that gains the most, if any gains, visiting each node once.
// A node is only moved while alone and only into a community it has an edge
// into, and a lone node that another may join is never moved in the same
// sub-round, so every refined community stays connected. Both the node and
// the community it joins must be well connected to the rest of their
// community (Traag, Waltman and van Eck, 2019), and the best gain wins (no
// random pick). Returns each node's refined community (a node index).
template <class Index, class Graph>
std::vector<Index> refine(const Graph& graph, const std::vector<uint64_t>& degree, double two_m,
                          const Schedule<Index>& schedule, double resolution, const Partition<Index>& part) {
  const size_t n = graph.node_count();
  const Index* community = part.community.data();
  std::vector<Index> refined(n), size(n, 1);
  std::vector<uint64_t> total(degree);
  std::vector<uint64_t> inside(n);  // weight from a node to the rest of its community
  std::vector<int64_t> cut(n);      // weight from a refined community to the rest of its community
  parallel_for(n, kMinDecidePerRange, [&](size_t v) {
    uint64_t sum = 0;
    graph.for_each(v, [&](Index w, uint64_t weight) {
      if (w != v && community[w] == community[v]) sum += weight;
    });
    refined[v] = static_cast<Index>(v);
    inside[v] = sum;
    cut[v] = static_cast<int64_t>(sum);
  });
  // Well connected: the weight to the rest of the community at least what
  // the null model expects between the two parts.
  auto connected_enough = [&](double weight, double part_total, Index c) {
    const double rest = static_cast<double>(part.total[c]) - part_total;
    return two_m * weight >= resolution * part_total * rest;
  };
  std::vector<Index> target(n);
  std::vector<uint64_t> joined_weight(n);
  for (size_t r = 0; r < kRounds; ++r) {
    poll_interrupt();
    const size_t first = schedule.start[r];
    const size_t count = schedule.start[r + 1] - first;
    parallel_for_ranges(count, kMinDecidePerRange, [&](size_t begin, size_t end) {
      WeightTable<Index> weights;
      for (size_t i = first + begin; i < first + end; ++i) {
        poll_interrupt_every(i, 1024);
        const Index v = schedule.order[i];
        target[i] = v;
        const Index own = community[v];
        const double kv = static_cast<double>(degree[v]);
        if (size[v] != 1 || !connected_enough(static_cast<double>(inside[v]), kv, own)) continue;
        weights.prepare(graph.entries(v));
        graph.for_each(v, [&](Index w, uint64_t weight) {
          if (w != v && community[w] == own) weights.add(refined[w], weight);
        });
        Index best = v;
        double best_score = 0;
        uint64_t best_weight = 0;
        weights.for_each([&](Index c, uint64_t weight) {
          if (size[c] == 1 && schedule.round_of[c] == r) return;  // c may be moving now
          const double c_total = static_cast<double>(total[c]);
          if (!connected_enough(static_cast<double>(cut[c]), c_total, own)) return;
          const double score = two_m * static_cast<double>(weight) - resolution * kv * c_total;
          if (score > best_score || (score == best_score && best != v && c < best)) {
            best = c;
            best_score = score;
            best_weight = weight;
          }
        });
        weights.clear();
        target[i] = best;
        joined_weight[i] = best_weight;
      }
    });
    parallel_for(count, kMinApplyPerRange, [&](size_t j) {
      const size_t i = first + j;
      const Index v = schedule.order[i], to = target[i];
      if (to == v) return;
      refined[v] = to;
      size[v] = 0;
      atomic_add(size[to], Index{1});
      atomic_add(total[to], degree[v]);
      // Neighbours joining together leave their shared edges counted as cut:
      // an overestimate that only makes the community look better connected.
      atomic_add(cut[to], static_cast<int64_t>(inside[v]) - 2 * static_cast<int64_t>(joined_weight[i]));
    });
  }
  return refined;
}

// ---- aggregation -------------------------------------------------------------

// Dense numbers for the communities in use, ascending by community index;
// returns how many there are.
template <class Index>
size_t number_communities(const std::vector<Index>& community, std::vector<Index>& dense) {
  const size_t n = community.size();
  dense.assign(n, 0);
  parallel_for(n, kMinNodesPerRange, [&](size_t v) {
    std::atomic_ref<Index>(dense[community[v]]).store(1, std::memory_order_relaxed);
  });
  size_t count = 0;
  for (size_t c = 0; c < n; ++c) {
    poll_interrupt_every(c, 65536);
    const bool used = dense[c] != 0;
    dense[c] = static_cast<Index>(count);
    count += used;
  }
  return count;
}

// The graph of the communities `group[v]` (dense, below `count`).
template <class Index, class Graph>
WeightedGraph<Index> aggregate(const Graph& graph, const std::vector<Index>& group, size_t count) {
  const size_t n = graph.node_count();
  // Members of each group, ascending, by a counting sort.
  std::vector<uint64_t> member_start(count + 1, 0);
  for (size_t v = 0; v < n; ++v) ++member_start[group[v] + 1];
  for (size_t c = 0; c < count; ++c) member_start[c + 1] += member_start[c];
  std::vector<Index> members(n);
  {
    std::vector<uint64_t> next(member_start.begin(), member_start.end() - 1);
    for (size_t v = 0; v < n; ++v) {
      poll_interrupt_every(v, 65536);
      members[next[group[v]]++] = static_cast<Index>(v);
    }
  }
  // A group's neighbouring groups, summed in a table: counted first, then
  // written at their place.
  auto gather = [&](size_t c, WeightTable<Index>& weights) {
    uint64_t entries = 0;
    for (uint64_t i = member_start[c]; i < member_start[c + 1]; ++i) entries += graph.entries(members[i]);
    weights.prepare(std::min<uint64_t>(entries, count));
    for (uint64_t i = member_start[c]; i < member_start[c + 1]; ++i) {
      graph.for_each(members[i], [&](Index w, uint64_t weight) { weights.add(group[w], weight); });
    }
  };
  WeightedGraph<Index> out;
  out.offsets.assign(count + 1, 0);
  parallel_for_ranges(count, kMinDecidePerRange, [&](size_t begin, size_t end) {
    WeightTable<Index> weights;
    for (size_t c = begin; c < end; ++c) {
      poll_interrupt_every(c, 1024);
      gather(c, weights);
      out.offsets[c + 1] = weights.size();
      weights.clear();
    }
  });
  for (size_t c = 0; c < count; ++c) out.offsets[c + 1] += out.offsets[c];
  out.targets.resize(out.offsets[count]);
  out.weights.resize(out.offsets[count]);
  parallel_for_ranges(count, kMinDecidePerRange, [&](size_t begin, size_t end) {
    WeightTable<Index> weights;
    for (size_t c = begin; c < end; ++c) {
      poll_interrupt_every(c, 1024);
      gather(c, weights);
      uint64_t k = out.offsets[c];
      weights.for_each([&](Index w, uint64_t weight) {
        out.targets[k] = w;
        out.weights[k++] = weight;
      });
      weights.clear();
    }
  });
  return out;
}

// ---- the levels ----------------------------------------------------------------

template <class Index>
class Multilevel {
 public:
  Multilevel(const CsrSnapshot& snap, const Index* runs, const CommunityOptions& options)
      : base_{snap.offsets.data(), runs, snap.node_count()}, options_(options), n_(snap.node_count()) {}

  // Local moving and aggregation until a level merges nothing; then every
  // community split into its connected parts and numbered.
  void run(int64_t* labels) {
    std::vector<Index> start(n_);
    node_at_.resize(n_);
    parallel_for(n_, kMinNodesPerRange, [&](size_t v) { start[v] = static_cast<Index>(v); });
    for (uint64_t iteration = 0; iteration < options_.iterations; ++iteration) {
      const std::vector<Index> result = levels(std::vector<Index>(start));
      // Each original node takes its level node's community.
      parallel_for(n_, kMinNodesPerRange, [&](size_t v) { start[v] = result[node_at_[v]]; });
      split_and_number(start);
    }
    parallel_for(n_, kMinNodesPerRange, [&](size_t v) { labels[v] = static_cast<int64_t>(start[v]); });
  }

  // Label propagation: the moving alone, at resolution 0, on the input graph.
  void propagate(int64_t* labels) {
    std::vector<Index> start(n_);
    parallel_for(n_, kMinNodesPerRange, [&](size_t v) { start[v] = static_cast<Index>(v); });
    const std::vector<uint64_t> degree = degrees(base_);
    Partition<Index> part(std::move(start), degree);
    const Schedule<Index> schedule(n_, options_.seed, 0);
    move_nodes(base_, degree, two_m(degree), schedule, MoveSettings{0.0, kMaxLabelPasses}, part);
    number_by_first_appearance(part.community);
    parallel_for(n_, kMinNodesPerRange, [&](size_t v) { labels[v] = static_cast<int64_t>(part.community[v]); });
  }

 private:
  template <class Graph>
  static std::vector<uint64_t> degrees(const Graph& graph) {
    std::vector<uint64_t> degree(graph.node_count());
    parallel_for(graph.node_count(), kMinNodesPerRange, [&](size_t v) {
      uint64_t sum = 0;
      graph.for_each(v, [&sum](Index, uint64_t weight) { sum += weight; });
      degree[v] = sum;
    });
    return degree;
  }

  double two_m(const std::vector<uint64_t>& degree) {
    if (two_m_ == 0) two_m_ = static_cast<double>(parallel_sum(degree.size(), kMinNodesPerRange, [&](size_t v) {
      return degree[v];
    }));
    return two_m_;
  }

  // Levels of moving (and refining, for Leiden) and aggregation from the
  // communities `community` of the original nodes, until a level merges
  // nothing. Returns the communities of the last level's nodes; node_at_
  // maps each original node to its node there.
  std::vector<Index> levels(std::vector<Index> community) {
    parallel_for(n_, kMinNodesPerRange, [&](size_t v) { node_at_[v] = static_cast<Index>(v); });
    std::optional<WeightedGraph<Index>> graph = level(base_, community);
    while (graph) {
      std::optional<WeightedGraph<Index>> next = level(*graph, community);
      graph = std::move(next);
    }
    return community;
  }

  // Moves the nodes of `graph` from `community`, refines (Leiden) and, if
  // that merged any nodes, returns the aggregate and makes `community` the
  // aggregate's starting communities: each group's community, named after
  // the community's first group.
  template <class Graph>
  std::optional<WeightedGraph<Index>> level(const Graph& graph, std::vector<Index>& community) {
    const size_t n = graph.node_count();
    std::vector<Index> groups;
    {
      const std::vector<uint64_t> degree = degrees(graph);
      const double total_weight = two_m(degree);
      Partition<Index> part(std::move(community), degree);
      const Schedule<Index> schedule(n, options_.seed, level_++);
      move_nodes(graph, degree, total_weight, schedule, MoveSettings{options_.resolution, kMaxPasses}, part);
      groups = options_.refine ? refine(graph, degree, total_weight, schedule, options_.resolution, part)
                               : part.community;
      community = std::move(part.community);
    }
    std::vector<Index> dense;
    const size_t count = number_communities(groups, dense);
    if (count == n) return std::nullopt;
    parallel_for(n, kMinNodesPerRange, [&](size_t v) { groups[v] = dense[groups[v]]; });
    dense = {};
    std::vector<Index> first_group(n, static_cast<Index>(-1));
    for (size_t v = 0; v < n; ++v) {
      poll_interrupt_every(v, 65536);
      Index& first = first_group[community[v]];
      first = std::min(first, groups[v]);
    }
    std::vector<Index> next(count);
    parallel_for(n, kMinNodesPerRange, [&](size_t v) { next[groups[v]] = first_group[community[v]]; });
    community = std::move(next);
    first_group = {};
    parallel_for(n_, kMinNodesPerRange, [&](size_t v) { node_at_[v] = groups[node_at_[v]]; });
    return aggregate(graph, groups, count);
  }

  // Splits every community into its connected parts (which can only raise
  // modularity) and numbers them by first appearance in node order.
  void split_and_number(std::vector<Index>& community) {
    ConcurrentUnionFind<Index> sets(n_);
    parallel_for_ranges(n_, kMinNodesPerRange, [&](size_t begin, size_t end) {
      for (size_t u = begin; u < end; ++u) {
        poll_interrupt_every(u);
        base_.for_each(u, [&](Index w, uint64_t) {
          if (w < u && community[w] == community[u]) sets.unite(static_cast<Index>(u), w);
        });
      }
    });
    // The root of a set is its smallest index (concurrent_union_find.hpp).
    parallel_for(n_, kMinNodesPerRange, [&](size_t v) { community[v] = sets.find(static_cast<Index>(v)); });
    number_by_first_appearance(community);
  }

  // Renumbers community indices (below n) 0, 1, ... in order of first appearance.
  void number_by_first_appearance(std::vector<Index>& community) {
    constexpr Index kUnseen = static_cast<Index>(-1);
    std::vector<Index> number(n_, kUnseen);
    Index next = 0;
    for (size_t v = 0; v < n_; ++v) {
      poll_interrupt_every(v, 65536);
      Index& seen = number[community[v]];
      if (seen == kUnseen) seen = next++;
      community[v] = seen;
    }
  }

  SnapshotGraph<Index> base_;
  CommunityOptions options_;
  size_t n_;
  double two_m_ = 0;
  uint64_t level_ = 0;
  std::vector<Index> node_at_;  // each original node's node on the current level
};

template <class F>
void with_multilevel(const CsrSnapshot& snap, const CommunityOptions& options, F&& f) {
  snap.with_neighbor_index([&](const auto* runs) {
    using Index = std::remove_cv_t<std::remove_pointer_t<decltype(runs)>>;
    Multilevel<Index> multilevel(snap, runs, options);
    f(multilevel);
  });
}

}  // namespace

void louvain_communities(const CsrSnapshot& snap, const CommunityOptions& options, std::span<int64_t> out) {
  CommunityOptions louvain = options;
  louvain.refine = false;
  with_multilevel(snap, louvain, [&](auto& multilevel) { multilevel.run(out.data()); });
}

void leiden_communities(const CsrSnapshot& snap, const CommunityOptions& options, std::span<int64_t> out) {
  CommunityOptions leiden = options;
  leiden.refine = true;
  with_multilevel(snap, leiden, [&](auto& multilevel) { multilevel.run(out.data()); });
}

void label_propagation_communities(const CsrSnapshot& snap, uint64_t seed, std::span<int64_t> out) {
  CommunityOptions options;
  options.seed = seed;
  with_multilevel(snap, options, [&](auto& multilevel) { multilevel.propagate(out.data()); });
}

double modularity(const CsrSnapshot& snap, std::span<const int64_t> labels, double resolution) {
  const size_t n = snap.node_count();
  // Per community: twice its inner edges (a loop's entry counts 2) and its degrees.
  std::vector<uint64_t> inner(n, 0), total(n, 0);
  snap.with_neighbor_index([&](const auto* runs) {
    const SnapshotGraph<std::remove_cv_t<std::remove_pointer_t<decltype(runs)>>> graph{snap.offsets.data(), runs, n};
    parallel_for_ranges(n, kMinNodesPerRange, [&](size_t begin, size_t end) {
      for (size_t u = begin; u < end; ++u) {
        poll_interrupt_every(u);
        const int64_t c = labels[u];
        uint64_t degree = 0, within = 0;
        graph.for_each(u, [&](auto w, uint64_t weight) {
          degree += weight;
          if (labels[w] == c) within += weight;
        });
        atomic_add(inner[c], within);
        atomic_add(total[c], degree);
      }
    });
  });
  // As NetworkX: L_c / m - resolution * D_c^2 / (2m)^2, summed by community.
  uint64_t degree_sum = 0;
  for (uint64_t d : total) degree_sum += d;
  const double m = static_cast<double>(degree_sum) / 2;
  const double norm = 1.0 / (static_cast<double>(degree_sum) * static_cast<double>(degree_sum));
  double q = 0;
  for (size_t c = 0; c < n; ++c) {
    if (total[c] == 0) continue;
    const double d = static_cast<double>(total[c]);
    q += static_cast<double>(inner[c] / 2) / m - resolution * d * d * norm;
  }
  return q;
}

}  // namespace arborvane
