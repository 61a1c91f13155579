// The process-wide worker pool and its parallel loops over index ranges.
//
// One pool per process, created by the first parallel loop and kept until
// the process ends. Its size is the last set_worker_count, else it comes from
// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS (each only when it holds a
// positive integer; a RAYON_NUM_THREADS of 0 means "all available CPUs"),
// then the CPUs available to the process (affinity mask capped by the cgroup
// CPU quota), 1 if unknown.
//
// A loop over [0, n) is cut into chunks that the workers claim one at a time
// from an atomic counter, so uneven work (hubs of a skewed graph) balances
// itself. Every result is written to a slot owned by one index (or one chunk
// for integer sums), so no result depends on the number of threads or on
// which thread ran which chunk. The calling thread waits for the loop to
// finish; an exception thrown by the loop body on a worker is carried back
// and rethrown on the calling thread.
//
// Loop bodies run on worker threads: they must touch no Python object.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace arborvane {

// Threads are never started beyond this, whatever is asked for: results do
// not depend on the count, and tens of thousands of threads would only
// exhaust the process.
inline constexpr size_t kMaxWorkerThreads = 1024;

// Number of threads the parallel loops starting now use (the pool is not
// created by asking).
size_t worker_count();

// Sets the pool's size for the loops that start from now on: n threads, or
// one per available CPU for 0. A loop already running keeps its threads.
// Throws std::invalid_argument above kMaxWorkerThreads.
void set_worker_count(size_t n);

// While one lives, the parallel loops its thread starts are worked on by
// that thread too, beside the pool's workers, instead of it only waiting
// for them: for kernels that run thousands of short loops, where handing
// each loop over and waking the caller at its end costs more. The caller
// takes one of the loop's seats: the caller and at most size - 1 workers
// run it, so the cores are not oversubscribed. (Community detection, which
// runs two loops per sub-round, about 7,000 in a Leiden run on a 1,000,000
// / 10,000,000 G(n, m) graph: 15 to 20% less wall time with 2 threads on
// that graph and on the 200,000 / 2,000,000 one, CPU time unchanged.) Other
// loops keep the calling thread waiting.
class CallerJoinsLoops {
 public:
  CallerJoinsLoops() noexcept;
  ~CallerJoinsLoops();
  CallerJoinsLoops(const CallerJoinsLoops&) = delete;
  CallerJoinsLoops& operator=(const CallerJoinsLoops&) = delete;

 private:
  bool was_;
};

namespace pool_detail {

// Type-erased chunk body: runs indices [begin, end) in ascending order.
struct ChunkBody {
  void (*invoke)(const void* context, size_t chunk, size_t begin, size_t end);
  const void* context;
};

// Runs `body` over [0, n) in chunks of `chunk_size` indices on the pool and
// waits for all of them; rethrows the first exception a chunk threw.
void run_chunks(size_t n, size_t chunk_size, ChunkBody body);

// Chunk size for a loop of n indices: small enough that every thread gets
// many chunks (for balance), never below `min_chunk`.
size_t chunk_size_for(size_t n, size_t min_chunk);

}  // namespace pool_detail

// Calls f(begin, end) for disjoint ranges covering [0, n); each range is
// processed by one thread. Fewer than 2 indices run on the calling thread.
// `min_chunk` bounds the chunk size from below for cheap bodies.
template <class F>
void parallel_for_ranges(size_t n, size_t min_chunk, const F& f) {
  if (n == 0) return;
  if (n < 2) {
    f(size_t{0}, n);
    return;
  }
  size_t chunk = pool_detail::chunk_size_for(n, min_chunk);
  pool_detail::ChunkBody body{
      [](const void* context, size_t, size_t begin, size_t end) { (*static_cast<const F*>(context))(begin, end); },
      &f};
  pool_detail::run_chunks(n, chunk, body);
}

// Calls f(begin, end) for disjoint ranges covering [0, n) of about equal
// weight, where index i weighs prefix[i + 1] - prefix[i] (`prefix` holds
// n + 1 non-decreasing sums): for loops whose indices differ widely in
// cost, such as a skewed graph's nodes by degree, where ranges of equal
// length can leave one thread every hub. `min_weight` bounds a range's
// weight from below for cheap bodies. An index heavier than a range's share
// is a range of its own.
template <class F>
void parallel_for_weighted_ranges(size_t n, const uint64_t* prefix, uint64_t min_weight, const F& f) {
  if (n == 0) return;
  const uint64_t base = prefix[0];
  const uint64_t total = prefix[n] - base;
  const uint64_t share = pool_detail::chunk_size_for(total, min_weight);
  const size_t ranges = std::min<uint64_t>(n, total / share + (total % share != 0));
  if (ranges < 2) {
    f(size_t{0}, n);
    return;
  }
  // The first index at or past the r-th of `ranges` equal parts of the weight.
  auto bound = [&](size_t r) -> size_t {
    if (r == ranges) return n;
    const uint64_t target = base + total / ranges * r + total % ranges * r / ranges;
    return static_cast<size_t>(std::lower_bound(prefix, prefix + n, target) - prefix);
  };
  parallel_for_ranges(ranges, 1, [&](size_t first, size_t last) {
    for (size_t r = first; r < last; ++r) {
      const size_t begin = bound(r), end = bound(r + 1);
      if (begin < end) f(begin, end);
    }
  });
}

// Calls f(i) for every i in [0, n); f writes only the result slots of i.
template <class F>
void parallel_for(size_t n, size_t min_chunk, const F& f) {
  parallel_for_ranges(n, min_chunk, [&f](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) f(i);
  });
}

// Sum over i in [0, n) of f(i), as unsigned 64-bit integers (wrapping), so
// the total is the same for every split.
template <class F>
uint64_t parallel_sum(size_t n, size_t min_chunk, const F& f) {
  if (n == 0) return 0;
  if (n < 2) return f(size_t{0});
  size_t chunk = pool_detail::chunk_size_for(n, min_chunk);
  std::vector<uint64_t> partial((n + chunk - 1) / chunk, 0);
  auto run = [&f, &partial](size_t chunk_index, size_t begin, size_t end) {
    uint64_t sum = 0;
    for (size_t i = begin; i < end; ++i) sum += f(i);
    partial[chunk_index] = sum;
  };
  using Run = decltype(run);
  pool_detail::ChunkBody body{[](const void* context, size_t chunk_index, size_t begin, size_t end) {
                                (*static_cast<const Run*>(context))(chunk_index, begin, end);
                              },
                              &run};
  pool_detail::run_chunks(n, chunk, body);
  uint64_t total = 0;
  for (uint64_t s : partial) total += s;
  return total;
}

}  // namespace arborvane
