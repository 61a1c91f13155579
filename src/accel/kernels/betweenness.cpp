// Betweenness centrality by Brandes' algorithm, unweighted, without
// endpoints: for every node v, the sum over sources s of the dependency
//   delta_s(v) = sum over successors w of v in s's search tree of
//                sigma_s(v) / sigma_s(w) * (1 + delta_s(w)),
// sigma_s counting shortest paths from s, scaled as NetworkX scales the
// undirected case (with sampled sources, sources and other nodes apart).
//
// Requires the CSR snapshot (index runs).
//
// The trick: sources run in parallel, one search per pool chunk, each with
// its own workspace, and their dependencies are added into the result in
// ascending source order. Every node's sum is then the same sequence of
// floating-point additions for any number of threads. Within one source,
// the backward pass pulls: a node adds up the settled coefficients
// (1 + delta(w)) / sigma(w) of its successors, which overwrite their path
// counts once computed, so a search needs no predecessor lists and no
// second array of doubles.
#include <algorithm>
#include <cmath>
#include <limits>

#include "accel/kernels/analytics.hpp"
#include "accel/support/exact_ratio.hpp"
#include "accel/support/splitmix64.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/snapshot/run_prefetch.hpp"
#include "accel/parallel/worker_pool.hpp"

namespace arborvane {

namespace {

// Workspace memory that concurrent sources may take together; at least one
// source per thread runs at once whatever this says.
constexpr size_t kWorkspaceBudgetBytes = size_t{512} << 20;
// Sources per thread that run between two additions into the result: more
// evens out uneven searches, each costs a workspace.
constexpr size_t kSourcesPerThread = 4;
// A source whose search reached fewer than n / kSparseAddFraction nodes is
// added node by node; others by a parallel pass over all nodes.
constexpr size_t kSparseAddFraction = 16;
// A level whose path counts may exceed this is scaled down (exactly, by a
// power of two). A level holds at most the sum over the previous one of
// count times degree, below 2^256 * 2^64 after a rescale, far from the
// largest double; only graphs with astronomically many paths pay the pass.
constexpr double kRescaleAbove = 0x1p256;

// One source's search and its result.
template <class Index>
struct SourceSearch {
  static constexpr Index kUnreached = std::numeric_limits<Index>::max();

  // What the search reads of a neighbour, side by side: one cache miss
  // instead of two.
  struct NodeState {
    double sigma = 0.0;        // shortest paths from the source; (1 + delta) / sigma once settled
    Index depth = kUnreached;  // hops from the source
  };

  SourceSearch(const CsrSnapshot& snap, const Index* runs)
      : offsets(snap.offsets.data()), runs(runs), state(snap.node_count()), dependency(snap.node_count(), 0.0),
        order(snap.node_count()) {}

  const uint64_t* offsets;
  const Index* runs;
  std::vector<NodeState> state;
  std::vector<double> dependency;  // delta of every node; 0 at the source and outside its component
  std::vector<Index> order;        // the reached nodes in search order
  size_t reached = 0;

  std::vector<int> shift;          // per depth: the power of two its counts were scaled down by

  // Scales the path counts of the level order[begin, end) down by the power
  // of two that brings the largest to [1, 2); returns that exponent.
  int rescale_level(size_t begin, size_t end) {
    double largest = 0.0;
    for (size_t i = begin; i < end; ++i) largest = std::max(largest, state[order[i]].sigma);
    const int exponent = std::ilogb(largest);
    for (size_t i = begin; i < end; ++i) state[order[i]].sigma = std::ldexp(state[order[i]].sigma, -exponent);
    return exponent;
  }

  // Back to the state of a new workspace, touching only the last search's nodes.
  void clear() noexcept {
    for (size_t i = 0; i < reached; ++i) {
      state[order[i]] = NodeState{};
      dependency[order[i]] = 0.0;
    }
    reached = 0;
  }

  void run(const CsrSnapshot& snap, Index source) {
    clear();
    NodeState* at = state.data();
    auto state_of = [at](Index w) { return at + w; };
    // Forward: breadth-first, counting shortest paths.
    order[0] = source;
    at[source].depth = 0;
    at[source].sigma = 1.0;
    size_t tail = 1;
    // Path counts grow exponentially with depth on some graphs (a chain of
    // diamonds doubles them at every step) and would overflow a double.
    // Each level's counts are therefore kept scaled by a power of two,
    // shift[d] being the exponent by which level d was scaled down beyond
    // level d - 1; powers of two scale exactly, so the results keep every
    // bit of the unscaled computation wherever that one stays finite.
    shift.assign(1, 0);
    size_t level_end = 1;       // order[level_end] starts the next level
    double level_bound = 0.0;   // bounds the next level's counts
    RunPrefetch<Index> forward(snap, runs, state.size() * sizeof(NodeState));
    for (size_t head = 0; head < tail; ++head) {
      poll_interrupt_every(head);
      if (head == level_end) {  // the level order[head, tail) is complete
        shift.push_back(level_bound > kRescaleAbove ? rescale_level(head, tail) : 0);
        level_end = tail;
        level_bound = 0.0;
      }
      forward.before(head, tail, [this](size_t j) { return order[j]; }, state_of);
      const Index v = order[head];
      const Index next_depth = at[v].depth + 1;
      const double paths = at[v].sigma;
      level_bound += paths * static_cast<double>(offsets[v + 1] - offsets[v]);
      for (uint64_t k = offsets[v]; k < offsets[v + 1]; ++k) {
        NodeState& w = at[runs[k]];
        if (w.depth == kUnreached) {
          w.depth = next_depth;
          order[tail++] = runs[k];
        }
        if (w.depth == next_depth) w.sigma += paths;
      }
    }
    reached = tail;
    // Backward, deepest first: every successor of v is settled before v.
    RunPrefetch<Index> backward(snap, runs, state.size() * sizeof(NodeState));
    for (size_t i = 0; i < tail; ++i) {
      poll_interrupt_every(i);
      backward.before(i, tail, [this, tail](size_t j) { return order[tail - 1 - j]; }, state_of);
      const Index v = order[tail - 1 - i];
      const Index next_depth = at[v].depth + 1;
      double successors = 0.0;
      for (uint64_t k = offsets[v]; k < offsets[v + 1]; ++k) {
        const NodeState& w = at[runs[k]];
        if (w.depth == next_depth) successors += w.sigma;
      }
      // The successors' coefficients are relative to their level's scale.
      const int down = static_cast<size_t>(at[v].depth) + 1 < shift.size() ? shift[at[v].depth + 1] : 0;
      const double delta = down ? std::ldexp(at[v].sigma * successors, -down) : at[v].sigma * successors;
      if (v != source) dependency[v] = delta;
      at[v].sigma = (1.0 + delta) / at[v].sigma;
    }
  }
};

template <class Index>
void accumulate(const CsrSnapshot& snap, const Index* runs, const std::vector<uint64_t>& sources, double* total) {
  const size_t n = snap.node_count();
  parallel_for_ranges(n, 4096, [total](size_t begin, size_t end) { std::fill(total + begin, total + end, 0.0); });

  const size_t threads = worker_count();
  const size_t workspace_bytes = std::max<size_t>(1, n * (sizeof(typename SourceSearch<Index>::NodeState) + sizeof(Index) + sizeof(double)));
  const size_t slots = std::min(sources.size(), std::clamp(kWorkspaceBudgetBytes / workspace_bytes, threads,
                                                           kSourcesPerThread * threads));
  std::vector<SourceSearch<Index>> searches;
  searches.reserve(slots);
  for (size_t i = 0; i < slots; ++i) searches.emplace_back(snap, runs);

  for (size_t first = 0; first < sources.size(); first += slots) {
    const size_t count = std::min(slots, sources.size() - first);
    parallel_for(count, 1, [&](size_t i) {
      searches[i].run(snap, static_cast<Index>(sources[first + i]));
    });
    // In ascending source order, so that every node's sum is one fixed
    // sequence of additions.
    for (size_t i = 0; i < count; ++i) {
      poll_interrupt();
      const SourceSearch<Index>& search = searches[i];
      if (search.reached < n / kSparseAddFraction) {
        for (size_t j = 0; j < search.reached; ++j) total[search.order[j]] += search.dependency[search.order[j]];
      } else {
        parallel_for(n, 4096, [&](size_t v) { total[v] += search.dependency[v]; });
      }
    }
  }
}

// NetworkX's scaling for undirected graphs without endpoints, with N = n - 1
// possible targets per source: normalised, divided by the pairs counted
// (K (N - 1) for K sources), otherwise by 2 K / N (each unordered pair was
// counted from both ends). With sampled sources, a source's own paths are
// missing from its score, so it is scaled as one of K - 1 sources (no data:
// NaN when K = 1). No scaling at all when N < 2.
void rescale(std::span<double> scores, const std::vector<uint64_t>& sources, bool sampled, bool normalized) {
  const u128 targets = scores.size() - 1;
  if (scores.size() < 3) return;
  // Sources whose paths were counted: all but one per target when every
  // node was a source (a node is not its own target).
  const u128 k = sampled ? sources.size() : targets;
  auto scale_for = [&](u128 counted) {
    if (counted == 0) return std::numeric_limits<double>::quiet_NaN();
    return normalized ? exact_ratio(1, counted * (targets - 1)) : exact_ratio(targets, counted * 2);
  };
  const double others = scale_for(k);
  if (!sampled) {
    for (double& score : scores) score *= others;
    return;
  }
  const double own = scale_for(k - 1);
  std::vector<bool> is_source(scores.size(), false);
  for (uint64_t s : sources) is_source[s] = true;
  for (size_t v = 0; v < scores.size(); ++v) scores[v] *= is_source[v] ? own : others;
}

}  // namespace

std::vector<uint64_t> sample_sources(uint64_t n, uint64_t k, uint64_t seed) {
  std::vector<uint64_t> pool(n);
  for (uint64_t i = 0; i < n; ++i) pool[i] = i;
  SplitMix64 random(seed);
  for (uint64_t j = 0; j < k; ++j) std::swap(pool[j], pool[j + random.below(n - j)]);
  pool.resize(k);
  std::sort(pool.begin(), pool.end());
  return pool;
}

void betweenness_centrality(const CsrSnapshot& snap, const BetweennessOptions& options, std::span<double> out) {
  const size_t n = snap.node_count();
  std::vector<uint64_t> sources;
  if (options.sample) {
    sources = sample_sources(n, *options.sample, options.seed);
  } else {
    sources.resize(n);
    for (size_t i = 0; i < n; ++i) sources[i] = i;
  }
  snap.with_neighbor_index([&](const auto* runs) { accumulate(snap, runs, sources, out.data()); });
  rescale(out, sources, options.sample.has_value(), options.normalized);
}

}  // namespace arborvane
