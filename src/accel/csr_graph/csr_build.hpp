// Building arborvane.Graph's compressed sparse rows from an edge list of
// node codes (0..n-1, mapped from the labels by the caller), read where the
// caller holds them: int32 or int64 arrays, strided views included, and
// optionally mapped through a rank table as they are read, so that integer
// ids need no array of codes of their own.
//
// The edges are counting-sorted by row (parallel over the worker pool, in
// chunks of the input that each scatter in input order, so every row holds
// its entries in input order), each row is then sorted by neighbour with a
// stable sort, and the entries of one pair are merged by the duplicates
// rule. An undirected edge counts as the pair (min, max); its mirror entry
// joins the other row afterwards. Directed graphs also get their in-rows
// (the transpose, sources ascending). Nothing depends on the number of
// threads: every step writes slots that one input position owns, and the
// merges see each pair's weights in input order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "accel/csr_graph/code_array.hpp"
#include "accel/csr_graph/csr_graph.hpp"
#include "accel/support/uninitialized_buffer.hpp"

namespace arborvane {

// How the entries of one pair merge: "sum" adds the weights in input order,
// grouped as numpy's pairwise summation groups them (np.add.reduceat), so
// the bits equal numpy's; "min" keeps the least (scanning in input order,
// the later of two equal values); "last" keeps the last given; "error" asks
// the caller to refuse the edges (first_duplicate()).
enum class DuplicateRule : uint8_t { kSum, kMin, kLast, kError };

struct EdgeCodes {
  size_t n = 0;  // nodes
  // One value per edge: the node's code in [0, n), or with a rank table the
  // node's id in [0, rank.size()), whose code is rank[id].
  CodeArray u, v;
  std::span<const int64_t> rank;
  const void* weights = nullptr;  // u.size values of weight_type, or null
  WeightType weight_type = WeightType::kNone;
  bool directed = false;
  DuplicateRule rule = DuplicateRule::kSum;
};

// Where one set of rows goes: n + 1 row boundaries, `entries` indices
// (int32, or int64 when wide) and, for a weighted graph, `entries` weights
// of weight_type.
struct RowsOut {
  int64_t* indptr = nullptr;
  void* indices = nullptr;
  void* weights = nullptr;
  WeightType weight_type = WeightType::kNone;
};

class CsrBuild {
 public:
  // Sorts and merges the edges. Throws InvalidRequest when a code lies
  // outside [0, n) (an id outside the rank table) or the lengths differ, Interrupted on Ctrl-C,
  // std::bad_alloc.
  explicit CsrBuild(const EdgeCodes& edges);
  ~CsrBuild();
  CsrBuild(const CsrBuild&) = delete;
  CsrBuild& operator=(const CsrBuild&) = delete;

  // Whether the indices are int64 (n at or beyond 2**31), else int32.
  bool wide() const noexcept;
  // The distinct pairs: the graph's edge count.
  size_t edges() const noexcept;
  // Entries of the (out-)rows: edges, or for an undirected graph twice the
  // edges less the self-loops.
  size_t entries() const noexcept;
  // With DuplicateRule::kError: the first pair given more than once, by
  // row then neighbour (an undirected pair as (min, max)), if any.
  std::optional<std::pair<int64_t, int64_t>> first_duplicate() const noexcept;

  // Fills the rows, at most once, and releases the build's copy of them.
  void write_rows(const RowsOut& out);
  // Fills a directed graph's in-rows, after write_rows (it reads those
  // rows, weights of the same type).
  void write_in_rows(const RowsOut& out);

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace arborvane

namespace arborvane {

// The node codes of integer labels given in parts: the distinct values
// ascending (returned) and, in codes (one entry per value, the parts one
// after another), each value's index among them. The values are hashed once (a
// table of at most 4 slots per distinct value, its hash seeded per call so
// that no chosen ids pile up in one run), and the distinct values
// radix-sorted and ranked. int32 codes need fewer than 2**31 values. Throws
// Interrupted on Ctrl-C, std::bad_alloc.
std::vector<int64_t> label_codes(std::span<const CodeArray> parts, std::span<int32_t> codes);
std::vector<int64_t> label_codes(std::span<const CodeArray> parts, std::span<int64_t> codes);

// Integer ids from 0 up without large gaps, ranked by a table of the ids
// present instead of by hashing or sorting: the table is filled in place
// from the caller's arrays, in parallel, and the build then reads the ids
// themselves through the rank table (or as their own codes when no id up
// to the largest is missing), with no array of codes at all.
class DenseIds {
 public:
  // The ids of `parts`, when they all lie in [0, 2 * count + 1024) for
  // count values in all (the table then costs at most a few bytes per
  // value); nullopt otherwise (a negative id, a large gap, no ids). Sets
  // *least to the least id (unchanged with no ids): callers that must tell
  // negative ids apart need not read the ids again. Throws Interrupted on
  // Ctrl-C, std::bad_alloc.
  static std::optional<DenseIds> find(std::span<const CodeArray> parts, int64_t* least);

  // One more than the largest id: the rank table's length.
  size_t table_size() const noexcept { return present_.size(); }
  // The distinct ids.
  size_t count() const noexcept { return count_; }
  // Whether every id up to the largest is present (each id is its code).
  bool complete() const noexcept { return count_ == present_.size(); }

  // Writes the distinct ids ascending into labels (count() values) and,
  // unless null, every id's index among them into rank (table_size()
  // values; an absent id gets the index of the last present id below it,
  // -1 if none). Throws Interrupted on Ctrl-C.
  void write(std::span<int32_t> labels, int64_t* rank) const;
  void write(std::span<int64_t> labels, int64_t* rank) const;

 private:
  template <class Label>
  void write_ranks(Label* labels, int64_t* rank) const;

  UninitializedBuffer<uint8_t> present_;  // 1 where the id occurs
  std::vector<size_t> block_start_;       // present ids below each block of kBlockIds
  size_t count_ = 0;
};

}  // namespace arborvane
