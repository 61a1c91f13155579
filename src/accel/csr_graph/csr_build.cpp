// The CSR build of arborvane.Graph (csr_build.hpp): a stable counting sort
// by row, a stable sort of each row by neighbour, the merge of parallel
// edges, and the transposed entries (in-rows, or the mirror entries of an
// undirected graph) by a second stable counting sort.
#include "accel/csr_graph/csr_build.hpp"

#include <algorithm>
#include <limits>
#include <mutex>
#include <type_traits>
#include <vector>

#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/worker_pool.hpp"
#include "accel/support/internal_error.hpp"
#include "accel/support/platform.hpp"
#include "accel/support/uninitialized_buffer.hpp"

namespace arborvane {

struct CsrBuild::State {
  virtual ~State() = default;
  virtual void write_rows(const RowsOut& out) = 0;
  virtual void write_in_rows(const RowsOut& out) = 0;

  bool wide = false;
  size_t edges = 0;
  size_t loops = 0;
  bool directed = false;
  std::optional<std::pair<int64_t, int64_t>> duplicate;
};

namespace {

// Edges per chunk of a counting sort below which another chunk (another
// thread) costs more in its histogram than it saves: with 2^16 edges a
// chunk's scatter takes about 0.3 ms, as long as clearing and summing a
// histogram of a million rows (measured at 1M nodes, 10M edges).
constexpr size_t kMinEdgesPerChunk = size_t{1} << 16;

// Entries per range of the loops over rows (the per-row sort, the copy
// into the result): below about 2^14 entries (some 0.1 ms of sorting) a
// range is not worth waking another thread for, which costs milliseconds on
// a loaded machine (measured at 5,000 edges under load 12 on 2 cores).
// Hub rows balance through the pool's dynamic chunks.
constexpr size_t kMinEntriesPerRange = size_t{1} << 14;

// Waves of the copy of the merged rows out of the build's scratch, each
// wave's scratch returned to the system after it: 16 waves leave 1/16 of the
// scratch (0.25 bytes per edge) beside the output at the peak, and cost no
// measurable build time at 4M nodes / 40M edges (a pool dispatch and a
// madvise call each; CPU time within the noise of 2 runs under load 10).
constexpr size_t kCopyWaves = 16;

// Rows up to this length are sorted by insertion: at 1M nodes and 10M
// edges (rows of about 10) it halves the time of the per-row sorts against
// std::stable_sort, which allocates on every call.
constexpr size_t kInsertionSortRow = 32;

// Rows per range of a loop over n rows holding `entries` entries in all.
size_t rows_per_range(size_t n, size_t entries) {
  const size_t average = std::max<size_t>(1, entries / std::max<size_t>(1, n));
  return std::max<size_t>(64, kMinEntriesPerRange / average);
}

// Bytes that the histograms of a counting sort (one n-row count per chunk)
// may take: kCountBytesPerItem per entry sorted, or kCountBytesPerNode per
// row where that is more, whatever the number of threads. With 4-byte
// counts that is one chunk per average row length (10 at m = 10 n: 4 bytes
// per edge, where one int64 chunk per thread took 12.8 on 16 threads) and
// at least two. Measured at 4M nodes / 40M edges from int32 input, medians
// of 3 under load 8 to 14: the build's peak fell from 32.8 to 24.0 bytes per
// edge with 16 threads (21.6 to 20.8 with 2), its CPU time from 7.8 to 7.2 s
// (7.2 to 6.5 s with 2).
constexpr size_t kCountBytesPerItem = 4;
constexpr size_t kCountBytesPerNode = 8;

// Chunks of a counting sort of `items` entries into n rows with counts of
// Count: one per worker, within the histograms' bytes above.
template <class Count>
size_t chunk_count(size_t items, size_t n) {
  const size_t by_work = std::max<size_t>(1, items / kMinEdgesPerChunk);
  const size_t budget = std::max(kCountBytesPerItem * items, kCountBytesPerNode * n);
  const size_t by_memory = std::max<size_t>(1, budget / (std::max<size_t>(1, n) * sizeof(Count)));
  return std::min({worker_count(), by_work, by_memory});
}

// The first of `items` positions in chunk t of `chunks` equal chunks.
size_t chunk_begin(size_t items, size_t chunks, size_t t) {
  return items / chunks * t + std::min(t, items % chunks);
}

// The row counts of each chunk of a counting sort, turned into the chunk's
// write cursors: chunk t's entries of row r follow those of chunks before
// t, so scattering each chunk in order is a stable sort for any number of
// chunks. Count holds every position written (uint32 where they all lie
// below 2**32: half the memory of int64).
template <class Count>
class ChunkCounts {
 public:
  ChunkCounts(size_t chunks, size_t n) : counts_(chunks * n), chunks_(chunks), n_(n) {
    parallel_for_ranges(counts_.size(), size_t{1} << 16,
                        [this](size_t begin, size_t end) { std::fill(&counts_[begin], &counts_[begin] + (end - begin), 0); });
  }

  size_t chunks() const noexcept { return chunks_; }
  Count* chunk(size_t t) noexcept { return counts_.data() + t * n_; }

  // Every row's count over all chunks.
  void totals(int64_t* out) {
    parallel_for_ranges(n_, size_t{1} << 14, [&](size_t begin, size_t end) {
      for (size_t r = begin; r < end; ++r) {
        int64_t sum = 0;
        for (size_t t = 0; t < chunks_; ++t) sum += static_cast<int64_t>(counts_[t * n_ + r]);
        out[r] = sum;
      }
      poll_interrupt();
    });
  }

  // Replaces the counts by cursors, row r starting at start[r].
  void to_cursors(const int64_t* start) {
    parallel_for_ranges(n_, size_t{1} << 14, [&](size_t begin, size_t end) {
      for (size_t r = begin; r < end; ++r) {
        int64_t at = start[r];
        for (size_t t = 0; t < chunks_; ++t) {
          const auto count = static_cast<int64_t>(counts_[t * n_ + r]);
          counts_[t * n_ + r] = static_cast<Count>(at);
          at += count;
        }
      }
      poll_interrupt();
    });
  }

 private:
  UninitializedBuffer<Count> counts_;
  size_t chunks_;
  size_t n_;
};

// out[0] = 0, out[r + 1] = out[r] + count[r] for counts already in out[1..n].
void prefix_sum(int64_t* out, size_t n) {
  out[0] = 0;
  for (size_t r = 0; r < n; ++r) {
    poll_interrupt_every(r, size_t{1} << 16);
    out[r + 1] += out[r];
  }
}

// numpy's pairwise summation (np.add.reduce and np.add.reduceat over
// contiguous float64): blocks of up to 128 values in eight running sums,
// longer runs split in halves at a multiple of eight.
double pairwise_sum(const double* a, size_t n) {
  if (n < 8) {
    double sum = -0.0;
    for (size_t i = 0; i < n; ++i) sum += a[i];
    return sum;
  }
  if (n <= 128) {
    double r[8];
    std::copy(a, a + 8, r);
    size_t i = 8;
    for (; i < n - n % 8; i += 8) {
      for (size_t j = 0; j < 8; ++j) r[j] += a[i + j];
    }
    double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) sum += a[i];
    return sum;
  }
  size_t half = n / 2;
  half -= half % 8;
  return pairwise_sum(a, half) + pairwise_sum(a + half, n - half);
}

// The merged weight of one pair's `count` weights, in input order.
double merged_weight(const double* w, size_t count, DuplicateRule rule) {
  switch (rule) {
    case DuplicateRule::kSum:
      // np.add.reduceat: the first value, then the pairwise sum of the rest.
      return count == 1 ? w[0] : w[0] + pairwise_sum(w + 1, count - 1);
    case DuplicateRule::kMin: {
      double least = w[0];
      for (size_t i = 1; i < count; ++i) least = least < w[i] ? least : w[i];
      return least;
    }
    case DuplicateRule::kLast:
    case DuplicateRule::kError:
      break;
  }
  return w[count - 1];
}

// Calls f(read) with read(k) the k-th input weight as a double.
template <class F>
void with_input_weights(const EdgeCodes& e, F&& f) {
  switch (e.weight_type) {
    case WeightType::kFloat32: {
      const float* w = static_cast<const float*>(e.weights);
      return f([w](size_t k) { return static_cast<double>(w[k]); });
    }
    case WeightType::kFloat64: {
      const double* w = static_cast<const double*>(e.weights);
      return f([w](size_t k) { return w[k]; });
    }
    case WeightType::kNone:
      break;
  }
  f([](size_t) { return 1.0; });
}

// Calls f(weights) with the typed output weights (a null double* for none).
template <class F>
void with_output_weights(const RowsOut& out, F&& f) {
  if (out.weights && out.weight_type == WeightType::kFloat32) return f(static_cast<float*>(out.weights));
  f(static_cast<double*>(out.weight_type == WeightType::kFloat64 ? out.weights : nullptr));
}

template <class Index, class Count>
class Builder final : public CsrBuild::State {
 public:
  explicit Builder(const EdgeCodes& e)
      : n_(e.n), m_(e.u.size), rule_(e.rule), weighted_(e.weight_type != WeightType::kNone) {
    wide = std::is_same_v<Index, int64_t>;
    directed = e.directed;
    with_code_reader(e.u, e.rank, [&](auto u) {
      with_code_reader(e.v, e.rank, [&](auto v) { sort_by_row(e, u, v); });
    });
    merge_rows();
    count_transposed();
  }

  void write_rows(const RowsOut& out) override {
    Index* indices = static_cast<Index*>(out.indices);
    if (directed) {
      std::copy(merged_ptr_.data(), merged_ptr_.data() + n_ + 1, out.indptr);
    } else {
      // Row r: its mirror entries (neighbours below r), then its own.
      for (size_t r = 0; r < n_; ++r) out.indptr[r + 1] = transposed_[r] + (merged_ptr_[r + 1] - merged_ptr_[r]);
      prefix_sum(out.indptr, n_);
    }
    // The copy runs in waves of consecutive rows, each wave's scratch
    // released once it is copied: the scratch shrinks as the output fills
    // (an undirected row's own entries touch every page of its part of the
    // output), so the build peaks at the output and 1/kCopyWaves of the
    // scratch instead of both whole (4 bytes per edge given less, 12
    // weighted). Afterwards the transposed entries are read from the output.
    size_t wave_rows[kCopyWaves + 1];
    int64_t wave_start[kCopyWaves + 1];
    for (size_t w = 0; w <= kCopyWaves; ++w) {
      const auto first = static_cast<int64_t>(m_ / kCopyWaves * w);
      wave_rows[w] = w == kCopyWaves ? n_
                                     : static_cast<size_t>(std::lower_bound(row_start_.data(), row_start_.data() + n_,
                                                                            first) - row_start_.data());
      wave_start[w] = row_start_[wave_rows[w]];
    }
    with_output_weights(out, [&](auto* weights) {
      for (size_t w = 0; w < kCopyWaves; ++w) {
        const size_t first = wave_rows[w];
        parallel_for_ranges(wave_rows[w + 1] - first, rows_per_range(n_, edges), [&](size_t begin, size_t end) {
          for (size_t r = first + begin; r < first + end; ++r) {
            const int64_t at = out.indptr[r] + (directed ? 0 : transposed_[r]);
            const int64_t from = row_start_[r], count = merged_ptr_[r + 1] - merged_ptr_[r];
            std::copy(neighbours_.data() + from, neighbours_.data() + from + count, indices + at);
            if (weights) std::copy(weights_.data() + from, weights_.data() + from + count, weights + at);
            row_start_[r] = at;
          }
          poll_interrupt();
        });
        const auto read = static_cast<size_t>(wave_start[w]), count = static_cast<size_t>(wave_start[w + 1]) - read;
        platform::discard_pages(neighbours_.data() + read, count * sizeof(Index));
        if (weighted_) platform::discard_pages(weights_.data() + read, count * sizeof(double));
      }
      rows_ = indices;
      row_weights_ = weights;
      neighbours_ = {};
      weights_ = {};
      if (!directed) scatter_transposed(out.indptr, indices, weights);
    });
  }

  void write_in_rows(const RowsOut& out) override {
    std::copy(transposed_.data(), transposed_.data() + n_, out.indptr + 1);
    prefix_sum(out.indptr, n_);
    with_output_weights(out, [&](auto* weights) {
      scatter_transposed(out.indptr, static_cast<Index*>(out.indices), weights);
    });
  }

 private:
  // Stable counting sort of the edges by row (the source; an undirected
  // edge's smaller end) into neighbours_ and weights_; `read_u` and `read_v`
  // give the edges' codes.
  template <class ReadU, class ReadV>
  void sort_by_row(const EdgeCodes& e, const ReadU& read_u, const ReadV& read_v) {
    const size_t chunks = chunk_count<Count>(m_, n_);
    ChunkCounts<Count> counts(chunks, n_);
    const auto n = static_cast<uint64_t>(n_);
    const bool directed_edges = directed;
    auto row_of = [&](size_t k, int64_t& a, int64_t& b) {
      a = read_u(k);
      b = read_v(k);
      if (!directed_edges && a > b) std::swap(a, b);
    };
    parallel_for(chunks, 1, [&](size_t t) {
      Count* count = counts.chunk(t);
      for (size_t k = chunk_begin(m_, chunks, t), end = chunk_begin(m_, chunks, t + 1); k < end; ++k) {
        poll_interrupt_every(k, size_t{1} << 14);
        int64_t a, b;
        row_of(k, a, b);
        if (static_cast<uint64_t>(a) >= n || static_cast<uint64_t>(b) >= n) {
          throw InvalidRequest(e.rank.empty() ? "u and v must hold node codes in [0, n)"
                                              : "u and v must hold ids in [0, len(rank)) whose ranks lie in [0, n)");
        }
        ++count[a];
      }
    });
    row_start_ = UninitializedBuffer<int64_t>(n_ + 1);
    counts.totals(&row_start_[1]);
    prefix_sum(row_start_.data(), n_);
    counts.to_cursors(row_start_.data());
    neighbours_ = UninitializedBuffer<Index>(m_);
    rows_ = neighbours_.data();
    if (weighted_) weights_ = UninitializedBuffer<double>(m_);
    row_weights_ = weights_.data();
    with_input_weights(e, [&](auto weight) {
      parallel_for(chunks, 1, [&](size_t t) {
        Count* cursor = counts.chunk(t);
        for (size_t k = chunk_begin(m_, chunks, t), end = chunk_begin(m_, chunks, t + 1); k < end; ++k) {
          poll_interrupt_every(k, size_t{1} << 14);
          int64_t a, b;
          row_of(k, a, b);
          const auto at = static_cast<size_t>(cursor[a]++);
          neighbours_[at] = static_cast<Index>(b);
          if (weighted_) weights_[at] = weight(k);
        }
      });
    });
  }

  // Sorts every row by neighbour (stably: a pair's weights stay in input
  // order) and merges each pair's entries in place; merged_ptr_ receives
  // the merged rows' boundaries.
  void merge_rows() {
    merged_ptr_ = UninitializedBuffer<int64_t>(n_ + 1);
    std::mutex mutex;
    size_t loops_found = 0;
    parallel_for_ranges(n_, rows_per_range(n_, m_), [&](size_t begin, size_t end) {
      std::vector<std::pair<Index, double>> sorted;
      size_t range_loops = 0;
      std::optional<std::pair<int64_t, int64_t>> range_duplicate;
      for (size_t r = begin; r < end; ++r) {
        poll_interrupt_every(r, 64);
        Index* nb = neighbours_.data() + row_start_[r];
        double* w = weighted_ ? weights_.data() + row_start_[r] : nullptr;
        const auto len = static_cast<size_t>(row_start_[r + 1] - row_start_[r]);
        if (!std::is_sorted(nb, nb + len)) sort_row(nb, w, len, sorted);
        size_t out = 0;
        for (size_t g = 0; g < len;) {
          size_t h = g + 1;
          while (h < len && nb[h] == nb[g]) ++h;
          if (h - g > 1 && !range_duplicate) range_duplicate.emplace(static_cast<int64_t>(r), nb[g]);
          nb[out] = nb[g];
          if (w) w[out] = merged_weight(w + g, h - g, rule_);
          range_loops += static_cast<size_t>(nb[out]) == r;
          ++out;
          g = h;
        }
        merged_ptr_[r + 1] = static_cast<int64_t>(out);
      }
      std::lock_guard lock(mutex);
      loops_found += range_loops;
      if (range_duplicate && (!duplicate || *range_duplicate < *duplicate)) duplicate = range_duplicate;
    });
    prefix_sum(merged_ptr_.data(), n_);
    edges = static_cast<size_t>(merged_ptr_[n_]);
    loops = loops_found;
    if (rule_ != DuplicateRule::kError) duplicate.reset();
  }

  static void sort_row(Index* nb, double* w, size_t len, std::vector<std::pair<Index, double>>& sorted) {
    if (!w) {
      std::sort(nb, nb + len);
      return;
    }
    if (len <= kInsertionSortRow) {
      // Stable, in place, and free of the allocation std::stable_sort makes.
      for (size_t j = 1; j < len; ++j) {
        const Index key = nb[j];
        const double weight = w[j];
        size_t i = j;
        for (; i > 0 && key < nb[i - 1]; --i) {
          nb[i] = nb[i - 1];
          w[i] = w[i - 1];
        }
        nb[i] = key;
        w[i] = weight;
      }
      return;
    }
    sorted.resize(len);
    for (size_t j = 0; j < len; ++j) sorted[j] = {nb[j], w[j]};
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    for (size_t j = 0; j < len; ++j) std::tie(nb[j], w[j]) = sorted[j];
  }

  // Counts the transposed entries of every node: the merged pairs (a, b)
  // by b, self-loops left out of an undirected graph (a self-loop's one
  // entry is its own). Chunks of rows with about equal entries each count
  // into their own histogram, kept for scatter_transposed.
  void count_transposed() {
    const size_t chunks = chunk_count<Count>(edges, n_);
    chunk_rows_.assign(chunks + 1, n_);
    for (size_t t = 0; t < chunks; ++t) {
      const auto first = static_cast<int64_t>(chunk_begin(edges, chunks, t));
      chunk_rows_[t] = static_cast<size_t>(
          std::lower_bound(merged_ptr_.data(), merged_ptr_.data() + n_ + 1, first) - merged_ptr_.data());
    }
    chunk_rows_[0] = 0;
    transposed_counts_.emplace(chunks, n_);
    for_transposed([&](size_t t, size_t, Index b, size_t) { ++transposed_counts_->chunk(t)[b]; });
    transposed_ = UninitializedBuffer<int64_t>(n_);
    transposed_counts_->totals(transposed_.data());
  }

  // Calls f(chunk, row, neighbour, position in rows_) for every transposed
  // entry, each chunk's rows in order on one thread.
  template <class F>
  void for_transposed(const F& f) {
    parallel_for(transposed_counts_->chunks(), 1, [&](size_t t) {
      for (size_t r = chunk_rows_[t]; r < chunk_rows_[t + 1]; ++r) {
        poll_interrupt_every(r, 256);
        const auto from = static_cast<size_t>(row_start_[r]);
        const auto to = from + static_cast<size_t>(merged_ptr_[r + 1] - merged_ptr_[r]);
        for (size_t j = from; j < to; ++j) {
          if (directed || static_cast<size_t>(rows_[j]) != r) f(t, r, rows_[j], j);
        }
      }
    });
  }

  // Writes the transposed entries, node b's from start[b] on, sources
  // ascending (after write_rows: their weights are those rows' own).
  template <class Weight>
  void scatter_transposed(const int64_t* start, Index* indices, Weight* weights) {
    transposed_counts_->to_cursors(start);
    const auto* from = static_cast<const Weight*>(row_weights_);
    for_transposed([&](size_t t, size_t r, Index b, size_t j) {
      const auto at = static_cast<size_t>(transposed_counts_->chunk(t)[b]++);
      indices[at] = static_cast<Index>(r);
      if (weights) weights[at] = from[j];
    });
  }

  size_t n_, m_;
  DuplicateRule rule_;
  bool weighted_;
  UninitializedBuffer<Index> neighbours_;    // the rows as sorted, until write_rows copies them out
  UninitializedBuffer<double> weights_;
  const Index* rows_ = nullptr;              // the merged rows: neighbours_, then the output's
  const void* row_weights_ = nullptr;        // their weights (double, then the output's type)
  UninitializedBuffer<int64_t> row_start_;   // n + 1 bounds of the rows as sorted, then where rows_ holds them
  UninitializedBuffer<int64_t> merged_ptr_;  // n + 1 bounds of the rows as merged (each from row_start_[r])
  UninitializedBuffer<int64_t> transposed_;  // n counts of transposed entries
  std::vector<size_t> chunk_rows_;           // rows of each chunk of the transpose
  std::optional<ChunkCounts<Count>> transposed_counts_;
};

// The builder with uint32 counts when every position counted fits: those
// of the rows' entries, at most twice the edges.
template <class Index>
std::unique_ptr<CsrBuild::State> builder(const EdgeCodes& edges) {
  if (2 * edges.u.size > std::numeric_limits<uint32_t>::max()) return std::make_unique<Builder<Index, int64_t>>(edges);
  return std::make_unique<Builder<Index, uint32_t>>(edges);
}

}  // namespace

CsrBuild::CsrBuild(const EdgeCodes& edges) {
  if (edges.v.size != edges.u.size) throw InvalidRequest("u and v must have the same length");
  const bool wide = edges.n > static_cast<size_t>(std::numeric_limits<int32_t>::max());
  state_ = wide ? builder<int64_t>(edges) : builder<int32_t>(edges);
}

CsrBuild::~CsrBuild() = default;

bool CsrBuild::wide() const noexcept { return state_->wide; }
size_t CsrBuild::edges() const noexcept { return state_->edges; }
size_t CsrBuild::entries() const noexcept {
  return state_->directed ? state_->edges : 2 * state_->edges - state_->loops;
}
std::optional<std::pair<int64_t, int64_t>> CsrBuild::first_duplicate() const noexcept { return state_->duplicate; }
void CsrBuild::write_rows(const RowsOut& out) { state_->write_rows(out); }
void CsrBuild::write_in_rows(const RowsOut& out) { state_->write_in_rows(out); }

}  // namespace arborvane
