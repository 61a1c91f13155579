// A snapshot's graph with its nodes renumbered in ascending id order.
//
// The snapshot numbers nodes in the id map's order, which scatters ids
// that lie near each other. Many graphs' ids do not: a generator's, a
// crawl's or a simulation's ids put a node's neighbours near it. A kernel
// whose time goes to reading its neighbours' state (community detection's
// moving) then reads, in id order, a few nearby cache lines per node where
// the map's order makes every neighbour a miss: NetworKit's Louvain (PLM)
// took 3.3 s on a 1,000,000-node hyperbolic graph in its generator's order
// and 13.6 s with the same nodes shuffled.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/worker_pool.hpp"
#include "accel/snapshot/csr_snapshot.hpp"
#include "accel/support/radix_sort.hpp"
#include "accel/support/uninitialized_buffer.hpp"

namespace arborvane {

template <class Index>
struct IdOrderedGraph {
  std::vector<Index> position;    // each snapshot index's position in id order
  std::vector<uint64_t> offsets;  // n + 1 run boundaries, by position
  UninitializedBuffer<Index> runs;  // each position's neighbours as positions, in the snapshot's entry order
};

// Smallest ranges a worker fills (one node's pair, or its run, each).
constexpr size_t kIdOrderNodesPerRange = 4096;
// Nodes sampled to judge whether ids are local, evenly along the snapshot's
// order (one neighbour each).
constexpr size_t kIdLocalitySamples = 4096;
// Ids are local when the median id distance across a sampled node's edge is
// under 1 / kIdLocalityFactor of the median between two sampled nodes. On
// the 1,000,000-node hyperbolic graph the two medians were 13 and about
// 330,000; on graphs with random edges (G(n, m), Chung-Lu) they are alike.
constexpr uint64_t kIdLocalityFactor = 16;

// Whether the ids put neighbours nearer each other than two nodes drawn
// at random (decided from a fixed sample, so the same for any run).
template <class Index>
bool ids_are_local(const CsrSnapshot& snap, const Index* runs) {
  const size_t n = snap.node_count();
  if (n < 2) return false;
  const size_t samples = std::min(n, kIdLocalitySamples);
  auto distance = [&snap](size_t a, size_t b) {
    const uint64_t x = static_cast<uint64_t>(snap.node_ids[a]), y = static_cast<uint64_t>(snap.node_ids[b]);
    return snap.node_ids[a] < snap.node_ids[b] ? y - x : x - y;
  };
  std::vector<uint64_t> across, between;
  for (size_t s = 0; s < samples; ++s) {
    const size_t v = s * n / samples;
    between.push_back(distance(v, ((s + samples / 2) % samples) * n / samples));
    const uint64_t begin = snap.offsets[v], end = snap.offsets[v + 1];
    if (end > begin) across.push_back(distance(v, runs[begin + (end - begin) / 2]));
  }
  if (across.empty()) return false;
  auto median = [](std::vector<uint64_t>& values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
  };
  const uint64_t edge = median(across), pair = median(between);
  return edge < pair / kIdLocalityFactor;
}

// The snapshot's graph (runs: its neighbour indices) by position in
// ascending id order.
template <class Index>
IdOrderedGraph<Index> id_ordered(const CsrSnapshot& snap, const Index* runs) {
  const size_t n = snap.node_count();
  IdOrderedGraph<Index> out;
  std::vector<std::pair<int64_t, Index>> by_id = vector_polling<std::pair<int64_t, Index>>(n);
  parallel_for(n, kIdOrderNodesPerRange, [&](size_t v) { by_id[v] = {snap.node_ids[v], static_cast<Index>(v)}; });
  radix_sort_by(by_id, [](const std::pair<int64_t, Index>& item) { return item.first; });
  resize_polling(out.position, n);
  resize_polling(out.offsets, n + 1);
  out.offsets[0] = 0;
  for (size_t p = 0; p < n; ++p) {
    poll_interrupt_every(p, 65536);
    const Index v = by_id[p].second;
    out.position[v] = static_cast<Index>(p);
    out.offsets[p + 1] = out.offsets[p] + (snap.offsets[v + 1] - snap.offsets[v]);
  }
  out.runs = UninitializedBuffer<Index>(out.offsets[n]);
  parallel_for(n, kIdOrderNodesPerRange, [&](size_t p) {
    const Index v = by_id[p].second;
    Index* into = out.runs.data() + out.offsets[p];
    for (uint64_t k = snap.offsets[v]; k < snap.offsets[v + 1]; ++k) *into++ = out.position[runs[k]];
  });
  return out;
}

}  // namespace arborvane
