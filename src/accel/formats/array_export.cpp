// Node, degree and edge exports written straight into one flat array.
//
// The adjacency map's walk is cut into ranges of positions, which the worker
// pool handles in any order, each into a scratch buffer of its own. A range's
// ids go to the output as soon as every range before it is done: whichever
// thread completes the prefix takes the output positions under a lock and
// copies outside it. So the sets are read once, the output is written once,
// the scratch stays small (buffers are recycled), and the result is exactly
// the serial walk's (the map's iteration order) for any number of threads.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "accel/formats/array_io.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/worker_pool.hpp"

namespace arborvane {
namespace {

// Map positions per range: a few hundred KiB of slots, small enough for
// balance.
constexpr size_t kPositionsPerRange = size_t{1} << 14;
// Maps with fewer positions are walked on the calling thread.
constexpr size_t kParallelFromPositions = size_t{1} << 16;
// How many nodes ahead the edge export requests a neighbour set's memory.
constexpr size_t kSetLookahead = 16;

// A range's output: grown ahead of each node by the most that node can add,
// then written through a plain pointer.
class Scratch {
 public:
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const int64_t* data() const noexcept { return data_.get(); }
  void clear() noexcept { size_ = 0; }
  // Room for `more` ids after the current ones; returns where they go.
  int64_t* room(size_t more) {
    if (size_ + more > capacity_) {
      size_t capacity = std::max(size_ + more, 2 * capacity_);
      std::unique_ptr<int64_t[]> grown(new int64_t[capacity]);
      if (size_) std::memcpy(grown.get(), data_.get(), size_ * sizeof(int64_t));
      data_ = std::move(grown);
      capacity_ = capacity;
    }
    return data_.get() + size_;
  }
  // Takes the ids written at room()'s pointer up to `end`.
  void commit(const int64_t* end) noexcept { size_ = static_cast<size_t>(end - data_.get()); }
  void push_back(int64_t id) {
    *room(1) = id;
    ++size_;
  }

 private:
  std::unique_ptr<int64_t[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Places finished ranges in range order; see the file comment.
class OrderedOutput {
 public:
  OrderedOutput(size_t ranges, int64_t* out, size_t total)
      : out_(out), total_(total), finished_(ranges), done_(ranges, false) {}

  Scratch take_scratch() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spare_.empty()) return {};
    Scratch scratch = std::move(spare_.back());
    spare_.pop_back();
    scratch.clear();
    return scratch;
  }

  // Hands in range r's ids; copies every range that is now placeable.
  void finish(size_t r, Scratch ids) {
    std::vector<std::pair<Scratch, size_t>> ready;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_[r] = std::move(ids);
      done_[r] = true;
      for (; frontier_ < done_.size() && done_[frontier_]; ++frontier_) {
        Scratch& next = finished_[frontier_];
        if (next.size() > total_ - std::min(total_, next_offset_)) {
          overflow_ = true;
          next_offset_ = total_ + 1;
          continue;
        }
        ready.emplace_back(std::move(next), next_offset_);
        next_offset_ += ready.back().first.size();
      }
    }
    for (auto& [scratch, offset] : ready) {
      if (!scratch.empty()) std::memcpy(out_ + offset, scratch.data(), scratch.size() * sizeof(int64_t));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : ready) spare_.push_back(std::move(entry.first));
  }

  // Every range placed and the output filled exactly.
  void check_complete() const {
    if (overflow_ || frontier_ != finished_.size() || next_offset_ != total_) {
      throw InternalError("export size does not match the graph's counts");
    }
  }

 private:
  std::mutex mutex_;
  int64_t* out_;
  size_t total_;
  size_t next_offset_ = 0;
  size_t frontier_ = 0;
  bool overflow_ = false;
  std::vector<Scratch> finished_;
  std::vector<bool> done_;
  std::vector<Scratch> spare_;
};

// Writes emit(begin, end, scratch)'s ids for every range [begin, end) of the
// map's positions to out[0..total), in position order.
template <class Emit>
void write_by_ranges(const AdjacencyMap& map, int64_t* out, size_t total, const Emit& emit) {
  const size_t positions = map.position_count();
  const size_t ranges = (positions + kPositionsPerRange - 1) / kPositionsPerRange;
  OrderedOutput output(ranges, out, total);
  auto run = [&](size_t r) {
    Scratch scratch = output.take_scratch();
    const size_t begin = r * kPositionsPerRange;
    emit(begin, std::min(positions, begin + kPositionsPerRange), scratch);
    output.finish(r, std::move(scratch));
  };
  if (positions < kParallelFromPositions) {
    for (size_t r = 0; r < ranges; ++r) run(r);
  } else {
    parallel_for(ranges, 1, run);
  }
  output.check_complete();
}

// Appends (u, v) for every neighbour v >= u of u.
void append_upper(int64_t u, const NeighborSet& set, Scratch& out) {
  int64_t* p = out.room(2 * size_t{set.size()});
  set.for_each([&](int64_t v) {
    p[0] = u;
    p[1] = v;
    p += v >= u ? 2 : 0;
  });
  out.commit(p);
}

}  // namespace

void write_node_ids(const GraphState& graph, int64_t* out) {
  const AdjacencyMap& map = graph.adjacency;
  write_by_ranges(map, out, map.size(), [&map](size_t begin, size_t end, Scratch& ids) {
    map.walk(begin, end, [&](size_t, int64_t id, const NeighborSet&) { ids.push_back(id); });
  });
}

void write_degrees(const GraphState& graph, int64_t* out) {
  const AdjacencyMap& map = graph.adjacency;
  write_by_ranges(map, out, map.size(), [&map](size_t begin, size_t end, Scratch& degrees) {
    map.walk(begin, end, [&](size_t, int64_t, const NeighborSet& set) { degrees.push_back(set.size()); });
  });
}

void write_edge_pairs(const GraphState& graph, int64_t* out) {
  const AdjacencyMap& map = graph.adjacency;
  write_by_ranges(map, out, 2 * graph.edge_count, [&map](size_t begin, size_t end, Scratch& pairs) {
    // The sets of the next kSetLookahead nodes are requested ahead; for an
    // array-shaped set, prefetch() asks for every line that a search would
    // scan, which is the whole set: all of it is read here.
    size_t nodes = 0;
    map.walk_ahead<kSetLookahead>(
        begin, end, [](size_t, int64_t, const NeighborSet& set) { set.prefetch(0); },
        [&](size_t, int64_t u, const NeighborSet& set) {
          poll_interrupt_every(nodes++);
          append_upper(u, set, pairs);
        });
  });
}

}  // namespace arborvane
