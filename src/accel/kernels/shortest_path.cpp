// Breadth-first hop distance between two node ids.
//
// The search grows from both ends, one whole layer at a time, always
// extending the side whose frontier has fewer neighbour entries to scan. A
// long path in a graph with many nodes per layer then costs two half-depth
// searches instead of one full-depth search, and an unreachable target is
// recognised as soon as the smaller of the two components is exhausted.
//
// Why the first meeting gives the distance: before a layer is extended, the
// source side has marked exactly the nodes within `depth_s` of the source and
// the target side those within `depth_t` of the target, and no node carries
// both marks, so the distance exceeds depth_s + depth_t. Extending the source
// side's last layer reaches nodes at depth_s + 1; the first of them that
// carries the target side's mark lies within depth_t of the target, so a path
// of depth_s + 1 + depth_t exists, which is therefore the distance.
//
// The search runs on a graph view (graph_view.hpp): the cached snapshot when
// there is one (the analytics built it, and no mutation has discarded it
// since), where no neighbour entry costs a hash look-up; otherwise the
// adjacency map itself (a query never builds a snapshot). The distance is
// the same either way.
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "accel/kernels/analytics.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/snapshot/graph_view.hpp"

namespace arborvane {

namespace {

// A list of positions (or marked words) whose storage the thread keeps
// between searches, up to kKeptCapacity entries each: a run of queries then
// grows its layers once instead of reallocating them in every query, which
// on a power-law graph cost as much as a third of a short search.
class KeptList {
 public:
  static constexpr size_t kKeptCapacity = size_t{1} << 20;

  KeptList() {
    std::vector<std::vector<size_t>>& spare = spares();
    if (!spare.empty()) {
      items_.swap(spare.back());
      spare.pop_back();
    }
  }
  ~KeptList() {
    std::vector<std::vector<size_t>>& spare = spares();
    if (items_.capacity() == 0 || items_.capacity() > kKeptCapacity || spare.size() >= kSpares) return;
    items_.clear();
    try {
      spare.push_back(std::move(items_));
    } catch (...) {  // the list is only a saving; without room it is freed
    }
  }
  KeptList(const KeptList&) = delete;
  KeptList& operator=(const KeptList&) = delete;

  std::vector<size_t>& operator*() noexcept { return items_; }
  std::vector<size_t>* operator->() noexcept { return &items_; }

 private:
  static constexpr size_t kSpares = 5;  // per side its layer and marked words, and the next layer

  static std::vector<std::vector<size_t>>& spares() {
    thread_local std::vector<std::vector<size_t>> kept;
    return kept;
  }

  std::vector<size_t> items_;
};

// One bit per node index or map position, all clear at the start. Arrays
// of up to kKeptWords words are kept by the thread between searches and
// handed back clear: the words a search set are listed as it sets them and
// zeroed at its end, so a short search on a large graph costs neither an
// allocation nor a pass over n bits. Larger arrays come from calloc, which
// hands them out as untouched zero pages: a search pays only for the pages
// its marks land on.
class MarkBits {
 public:
  static constexpr size_t kKeptWords = size_t{1} << 16;  // 4M positions, 512 KiB

  explicit MarkBits(size_t count) : count_((count + 63) / 64) {
    if (count_ <= kKeptWords) {
      std::vector<uint64_t>& spare = spares().back();
      kept_.swap(spare);
      spares().pop_back();
      if (kept_.size() < count_) kept_.assign(count_, 0);
      words_ = kept_.data();
    } else {
      allocated_.reset(static_cast<uint64_t*>(std::calloc(count_, sizeof(uint64_t))));
      if (!allocated_) throw std::bad_alloc();
      words_ = allocated_.get();
    }
  }
  ~MarkBits() {
    if (allocated_) return;
    for (size_t w : *dirty_) words_[w] = 0;
    spares().push_back(std::move(kept_));
  }
  MarkBits(const MarkBits&) = delete;
  MarkBits& operator=(const MarkBits&) = delete;

  void set(size_t p) { test_and_set(p); }
  bool test(size_t p) const noexcept { return (words_[p >> 6] >> (p & 63)) & 1; }
  // Marks p; returns whether it was marked before.
  bool test_and_set(size_t p) {
    uint64_t bit = uint64_t{1} << (p & 63);
    uint64_t& word = words_[p >> 6];
    if (word & bit) return true;
    if (word == 0 && !allocated_) dirty_->push_back(p >> 6);
    word |= bit;
    return false;
  }

 private:
  struct Free {
    void operator()(uint64_t* p) const noexcept { std::free(p); }
  };

  // The thread's clear arrays, one per side of a search (two stand ready,
  // so taking one never allocates the list itself).
  static std::vector<std::vector<uint64_t>>& spares() {
    thread_local std::vector<std::vector<uint64_t>> kept(2);
    if (kept.empty()) kept.resize(2);
    return kept;
  }

  size_t count_;
  uint64_t* words_ = nullptr;
  std::vector<uint64_t> kept_;
  std::unique_ptr<uint64_t, Free> allocated_;
  KeptList dirty_;
};

// One end of the search: its marks, its last layer and how far it reached.
struct SearchSide {
  SearchSide(size_t positions, size_t start, uint64_t start_work) : marked(positions), work(start_work) {
    marked.set(start);
    frontier->push_back(start);
  }

  MarkBits marked;
  KeptList frontier;
  uint64_t work;  // neighbour entries in the frontier's runs or sets
  int64_t depth = 0;
};

// Replaces `side`'s frontier by the next layer. Returns the distance when a
// neighbour carries `other`'s mark, -1 otherwise.
template <class View>
int64_t extend_layer(View& view, SearchSide& side, const SearchSide& other, std::vector<size_t>& next) {
  next.clear();
  uint64_t next_work = 0;
  view.start_layer();
  const std::vector<size_t>& frontier = *side.frontier;
  for (size_t head = 0; head < frontier.size(); ++head) {
    poll_interrupt_every(head, 4096);
    bool go = view.for_neighbors(frontier, head, [&](size_t p) {
      if (other.marked.test(p)) return false;
      if (!side.marked.test_and_set(p)) {
        next.push_back(p);
        next_work += view.degree(p);
      }
      return true;
    });
    if (!go) return side.depth + 1 + other.depth;
  }
  side.frontier->swap(next);
  side.work = next_work;
  ++side.depth;
  return -1;
}

template <class View>
int64_t search(View& view, size_t start, size_t goal) {
  SearchSide from_source(view.positions(), start, view.degree(start));
  SearchSide from_target(view.positions(), goal, view.degree(goal));
  KeptList next;
  for (;;) {
    poll_interrupt();
    bool source_side = from_source.work <= from_target.work;
    SearchSide& side = source_side ? from_source : from_target;
    const SearchSide& other = source_side ? from_target : from_source;
    // An empty layer: that end's component holds no node of the other's.
    if (side.frontier->empty()) return -1;
    int64_t distance = extend_layer(view, side, other, *next);
    if (distance >= 0) return distance;
  }
}

}  // namespace

int64_t shortest_path_length(const GraphState& graph, int64_t source, int64_t target) {
  if (source == target) return 0;
  const AdjacencyMap& adjacency = graph.adjacency;
  const size_t start = adjacency.position_of(source);
  if (start == AdjacencyMap::kNoPosition) return -1;
  const size_t goal = adjacency.position_of(target);
  if (goal == AdjacencyMap::kNoPosition) return -1;

  if (const CsrSnapshot* snap = graph.csr.get()) {
    const size_t from = snap->index_at(source, start);
    const size_t to = from == CsrSnapshot::kNoIndex ? CsrSnapshot::kNoIndex : snap->index_at(target, goal);
    if (to != CsrSnapshot::kNoIndex) {
      return with_snapshot_view(*snap, [&](auto& view) { return search(view, from, to); });
    }
  }
  MapView view(adjacency);
  return search(view, start, goal);
}

}  // namespace arborvane
