// Betweenness centrality of a CSR graph by Brandes' algorithm, directed or
// not, weighted (Dijkstra) or not (breadth-first), as NetworkX computes it:
// for every node v the sum over sources s of the dependency
//   delta_s(v) = sum over w with v on a shortest s-w path of
//                sigma_s(v) / sigma_s(w) * (1 + delta_s(w)),
// then NetworkX's scaling.
//
// The weighted search replays NetworkX's own: a heap ordered by (distance,
// push count), neighbours in row order, a node's path count reset when a
// shorter distance reaches it and increased on an equal one, also when the
// node is already settled (which only zero weights allow), and the
// dependencies pushed along predecessor lists in reverse settling order.
// Equal distances are therefore found exactly where NetworkX finds them
// when its adjacency is in index order: always with integer-valued
// weights, and for float weights as long as the same sums come out equal
// (both add the weights along a path in the same order).
//
// The breadth-first search is kernels/betweenness.cpp's on a directed
// graph: pulled dependencies, no predecessor lists. That kernel serves the
// undirected unweighted IntGraphCore snapshot (with sampling and level
// rescaling); this one the directed and weighted rows of arborvane.Graph.
//
// Sources run in parallel, one search per workspace slot, and their
// dependencies are added into the result in ascending source order, so
// every node's score is one fixed sequence of additions for any number of
// threads.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

#include "accel/csr_graph/csr_graph.hpp"
#include "accel/csr_graph/typed_rows.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/worker_pool.hpp"
#include "accel/support/exact_ratio.hpp"

namespace arborvane {

namespace {

// Workspace memory that concurrent sources may take together; at least one
// source per thread runs at once whatever this says (as in
// kernels/betweenness.cpp, whose figures these are).
constexpr size_t kWorkspaceBudgetBytes = size_t{512} << 20;
constexpr size_t kSourcesPerThread = 4;
// A source that reached fewer than n / kSparseAddFraction nodes is added
// node by node; others by a parallel pass over all nodes.
constexpr size_t kSparseAddFraction = 16;

// `value` when `keep`, else +0.0, without a branch: compilers turn the
// plain conditional into one, which the searches below mispredict about
// every other row entry.
inline double kept(bool keep, double value) {
  return std::bit_cast<double>(std::bit_cast<uint64_t>(value) & (uint64_t{0} - keep));
}

// One source's search; `dependency` holds what it adds to each reached node.
template <class Rows>
struct SourceSearch {
  using Index = typename Rows::IndexType;
  static constexpr double kUnreached = -1.0;

  explicit SourceSearch(size_t n) : dependency(n, 0.0), order(n + 1) {
    if (!Rows::kWeighted) hops.assign(n, Hop{});
    if (Rows::kWeighted) {
      reach.assign(n, Reach{});
      heap_slot.assign(n, 0);
    }
  }

  static constexpr int64_t kNone = -1;
  static constexpr Index kNoLevel = std::numeric_limits<Index>::max();  // above every level
  // Unweighted: a node's path count and level side by side, so that each
  // row entry the two passes visit reads one place.
  struct Hop {
    double sigma = 0.0;    // shortest paths from the source; backward (1 + delta) / sigma
    Index level = kNoLevel;  // hops from the source; kNoLevel until reached
  };
  std::vector<Hop> hops;
  // Weighted: a node's state in one place, since relaxing a row entry reads
  // the distance and the settled flag and a lowering writes the rest. With
  // one predecessor array and the heap's masked child choice: undirected
  // weighted 5.53 s -> 5.10 s, directed 3.37 s -> 3.00 s, same bits
  // (5000-node benchmark graph, one thread, CPU s, load ~12).
  struct Reach {
    double dist = kUnreached;    // kUnreached until reached
    double sigma = 0.0;          // shortest paths from the source
    double delta = 0.0;          // dependency being accumulated
    int64_t first_pred = kNone;  // head of the predecessor list in `preds`
    Index improver = 0;          // the last node to lower the distance
    bool settled = false;
  };
  // A predecessor list entry, linked towards the earlier ones.
  struct Pred {
    Index node;
    int64_t next;
  };
  std::vector<Reach> reach;
  std::vector<Pred> preds;
  std::vector<Index> touched;      // nodes given a distance (a superset of order[0, reached))
  std::vector<double> dependency;  // what the source adds to each node's score
  std::vector<Index> order;        // reached nodes, in settling order (one spare slot)
  size_t reached = 0;

  // The heap orders reached, unsettled nodes by (distance, count of the
  // push that last lowered it), a strict total order. NetworkX pushes a new
  // entry on each lowering and skips the stale ones when they pop; a stale
  // entry always has a larger distance than its node's live one and pops
  // after the node is settled, so keeping only the live entry (lowering its
  // key in place) pops nodes in NetworkX's order with a heap at most n large.
  struct Entry {
    double dist;
    uint64_t count;
    Index node;
    // Distances are never negative, NaN or -0.0 (sums from +0.0 of
    // weights >= 0), so their bits order them as unsigned integers; one
    // 128-bit comparison, without branches.
    u128 key() const { return u128{std::bit_cast<uint64_t>(dist)} << 64 | count; }
    bool operator<(const Entry& other) const { return key() < other.key(); }
  };
  std::vector<Entry> heap;
  std::vector<Index> heap_slot;  // each queued node's position in `heap`
  uint64_t pushes = 0;

  // Four children per entry, for shallower sifts. Measured on the 5000-node
  // undirected weighted power-law graph of bench/csr_centrality_figures.py,
  // one thread, load ~2: this heap 4.9 s, std::priority_queue with stale
  // entries 7.1 s; 4-ary alone with stale entries gained nothing measurable.
  static constexpr size_t kArity = 4;

  void place(size_t i, const Entry& e) {
    heap[i] = e;
    heap_slot[e.node] = static_cast<Index>(i);
  }

  // Queues v at distance d, or lowers its distance if it is queued.
  void heap_set(double d, Index v, bool queued) {
    const Entry e{d, pushes++, v};
    size_t i = heap.size();
    if (queued) {
      i = heap_slot[v];
    } else {
      heap.push_back(e);
    }
    while (i > 0) {
      const size_t parent = (i - 1) / kArity;
      if (!(e < heap[parent])) break;
      place(i, heap[parent]);
      i = parent;
    }
    place(i, e);
  }

  Entry heap_pop() {
    const Entry top = heap[0];
    const Entry last = heap.back();
    heap.pop_back();
    const size_t size = heap.size();
    if (size == 0) return top;
    size_t i = 0;
    for (;;) {
      const size_t first = kArity * i + 1;
      if (first >= size) break;
      const size_t end = std::min(first + kArity, size);
      // The least child by masks: which child wins is a coin toss the
      // branch predictor loses.
      size_t least = first;
      u128 best = heap[first].key();
      for (size_t c = first + 1; c < end; ++c) {
        const u128 key = heap[c].key();
        const uint64_t mask = uint64_t{0} - (key < best);
        least ^= (least ^ c) & mask;
        best ^= (best ^ key) & (u128{mask} << 64 | mask);
      }
      if (!(best < last.key())) break;
      place(i, heap[least]);
      i = least;
    }
    place(i, last);
    return top;
  }

  void clear() {
    auto reset = [&](Index v) {
      dependency[v] = 0.0;
      if constexpr (!Rows::kWeighted) hops[v] = Hop{};
      if constexpr (Rows::kWeighted) reach[v] = Reach{};
    };
    if constexpr (Rows::kWeighted) {
      for (Index v : touched) reset(v);
      touched.clear();
      preds.clear();
    } else {
      for (size_t i = 0; i < reached; ++i) reset(order[i]);
    }
    reached = 0;
  }

  void add_pred(Reach& rw, Index v) {
    preds.push_back(Pred{v, rw.first_pred});
    rw.first_pred = static_cast<int64_t>(preds.size() - 1);
  }

  void run(const Rows& g, Index s, bool endpoints) {
    clear();
    if constexpr (Rows::kWeighted) {
      dijkstra_forward(g, s);
      // Backward as NetworkX: in reverse settling order push each node's
      // coefficient to its predecessors; a node's dependency is what it
      // holds when its turn comes.
      for (size_t i = reached; i-- > 0;) {
        poll_interrupt_every(i);
        const Index w = order[i];
        const Reach& rw = reach[w];
        const double coeff = (1.0 + rw.delta) / rw.sigma;
        for (int64_t p = rw.first_pred; p != kNone; p = preds[p].next) {
          Reach& rp = reach[preds[p].node];
          rp.delta += rp.sigma * coeff;
        }
        if (w != s) dependency[w] = endpoints ? rw.delta + 1.0 : rw.delta;
      }
    } else {
      bfs_forward(g, s);
      // Backward, deepest first, pulling from the successors, whose
      // sigma already holds (1 + delta) / sigma.
      for (size_t i = reached; i-- > 0;) {
        poll_interrupt_every(i);
        const Index v = order[i];
        Hop& hv = hops[v];
        const Index next = hv.level + 1;
        double successors = 0.0;
        // Adding 0.0 to the positive sum leaves its bits. No branch in
        // either pass (with the packed Hop): undirected unweighted
        // 1.82 s -> 1.04 s, directed 1.24 s -> 0.66 s, same bits (5000-node
        // benchmark graph, one thread, CPU s, load ~15).
        for (int64_t k = g.begin(v); k < g.end(v); ++k) {
          const Hop& hw = hops[g.idx[k]];
          successors += kept(hw.level == next, hw.sigma);
        }
        const double d = hv.sigma * successors;
        if (v != s) dependency[v] = endpoints ? d + 1.0 : d;
        hv.sigma = (1.0 + d) / hv.sigma;
      }
    }
    if (endpoints) dependency[s] = static_cast<double>(reached - 1);
  }

  void bfs_forward(const Rows& g, Index s) {
    order[0] = s;
    hops[s] = Hop{1.0, 0};
    size_t tail = 1;
    for (size_t head = 0; head < tail; ++head) {
      poll_interrupt_every(head);
      const Index v = order[head];
      const Index next = hops[v].level + 1;
      const double paths = hops[v].sigma;
      // Without branches: every entry writes its node back and appends it
      // to `order`, keeping it only when new; adding 0.0 to a count leaves
      // its bits.
      for (int64_t k = g.begin(v); k < g.end(v); ++k) {
        const Index w = g.idx[k];
        Hop& hw = hops[w];
        order[tail] = w;
        tail += hw.level == kNoLevel;
        const Index level = std::min(hw.level, next);
        hw.level = level;
        hw.sigma += kept(level == next, paths);
      }
    }
    reached = tail;
  }

  void dijkstra_forward(const Rows& g, Index s) {
    heap.clear();
    pushes = 0;
    Reach* const r = reach.data();
    r[s].sigma = 1.0;
    r[s].dist = 0.0;
    touched.push_back(s);
    r[s].improver = s;
    heap_set(0.0, s, false);
    size_t step = 0;
    while (!heap.empty()) {
      const Entry e = heap_pop();
      const Index v = e.node;
      Reach& rv = r[v];
      // NetworkX adds the pushing predecessor's paths only now (the source
      // is its own, doubling its count; only ratios matter).
      rv.sigma += r[rv.improver].sigma;
      rv.settled = true;
      order[reached++] = v;
      const int64_t end = g.end(v);
      for (int64_t k = g.begin(v); k < end; ++k) {
        poll_interrupt_every(++step);
        const Index w = g.idx[k];
        Reach& rw = r[w];
        const double candidate = e.dist + g.weight(k);
        if (!rw.settled && (rw.dist == kUnreached || candidate < rw.dist)) {
          const bool queued = rw.dist != kUnreached;
          if (!queued) touched.push_back(w);
          rw.dist = candidate;
          rw.improver = v;
          heap_set(candidate, w, queued);
          rw.sigma = 0.0;
          rw.first_pred = kNone;
          add_pred(rw, v);
        } else if (candidate == rw.dist) {
          rw.sigma += rv.sigma;
          add_pred(rw, v);
        }
      }
    }
  }
};

// NetworkX's scaling without sampling: with N = n (endpoints) or n - 1
// targets per source, normalised divides by N (N - 1), otherwise an
// undirected graph's ordered pairs are halved. Nothing when N < 2.
void rescale(std::span<double> scores, bool directed, bool normalized, bool endpoints) {
  const size_t n = scores.size();
  const u128 targets = endpoints || n == 0 ? n : n - 1;
  if (targets < 2) return;
  const double scale = normalized ? exact_ratio(1, targets * (targets - 1)) : directed ? 1.0 : 0.5;
  if (scale == 1.0) return;
  parallel_for(scores.size(), 4096, [&](size_t v) { scores[v] *= scale; });
}

template <class Rows>
void accumulate(const Rows& g, size_t n, size_t entries, bool endpoints, std::span<double> total) {
  using Search = SourceSearch<Rows>;
  using Index = typename Search::Index;
  parallel_for_ranges(n, 4096, [&](size_t b, size_t e) { std::fill(total.begin() + b, total.begin() + e, 0.0); });
  const size_t threads = worker_count();
  // Per node: the dependency and an order slot; unweighted a Hop; weighted
  // a Reach, a touched index, a heap entry and slot, and predecessor
  // entries up to one per row entry.
  const size_t per_node = sizeof(double) + sizeof(Index) +
                          (Rows::kWeighted ? sizeof(typename Search::Reach) + 2 * sizeof(Index) +
                                                 sizeof(typename Search::Entry)
                                           : sizeof(typename Search::Hop));
  const size_t per_entry = Rows::kWeighted ? sizeof(typename Search::Pred) : 0;
  const size_t workspace_bytes = std::max<size_t>(1, n * per_node + entries * per_entry);
  const size_t slots =
      std::min(n, std::clamp(kWorkspaceBudgetBytes / workspace_bytes, threads, kSourcesPerThread * threads));
  std::vector<Search> searches;
  searches.reserve(slots);
  for (size_t i = 0; i < slots; ++i) searches.emplace_back(n);
  for (size_t first = 0; first < n; first += slots) {
    const size_t count = std::min(slots, n - first);
    parallel_for(count, 1, [&](size_t i) {
      searches[i].run(g, static_cast<Index>(first + i), endpoints);
    });
    for (size_t i = 0; i < count; ++i) {  // ascending source order
      poll_interrupt();
      const Search& search = searches[i];
      if (search.reached < n / kSparseAddFraction) {
        for (size_t j = 0; j < search.reached; ++j) total[search.order[j]] += search.dependency[search.order[j]];
      } else {
        parallel_for(n, 4096, [&](size_t v) { total[v] += search.dependency[v]; });
      }
    }
  }
}

}  // namespace

void csr_betweenness(const CsrArrays& g, bool directed, bool normalized, bool endpoints, std::span<double> out) {
  with_row_types(g, [&](auto index, auto weight) {
    using Rows = TypedRows<typename decltype(index)::type, typename decltype(weight)::type>;
    accumulate(Rows(g), g.n, g.entries, endpoints, out);
  });
  rescale(out, directed, normalized, endpoints);
}

}  // namespace arborvane
