// Weakly and strongly connected components of a CSR graph, labelled in the
// order of each component's smallest node index (so the labels depend on
// nothing but the graph).
#include <algorithm>
#include <numeric>
#include <vector>

#include "accel/csr_graph/csr_graph.hpp"
#include "accel/parallel/interrupt.hpp"

namespace arborvane {

namespace {

// Replaces every node's representative (any node of its component) by
// the component's label, numbered by first appearance in index order.
void number_by_first_node(std::span<int64_t> representative) {
  std::vector<int64_t> label(representative.size(), -1);
  int64_t next = 0;
  for (size_t i = 0; i < representative.size(); ++i) {
    poll_interrupt_every(i, size_t{1} << 16);
    int64_t& l = label[static_cast<size_t>(representative[i])];
    if (l < 0) l = next++;
    representative[i] = l;
  }
}

}  // namespace

void weak_components(const CsrArrays& g, std::span<int64_t> out) {
  // Union-find with path halving; the root of a union is the smaller index.
  std::iota(out.begin(), out.end(), int64_t{0});
  auto find = [&](int64_t x) {
    while (out[x] != x) {
      out[x] = out[out[x]];
      x = out[x];
    }
    return x;
  };
  g.visit([&](const auto* idx, auto) {
    for (size_t u = 0; u < g.n; ++u) {
      for (int64_t k = g.indptr[u]; k < g.indptr[u + 1]; ++k) {
        poll_interrupt_every(static_cast<size_t>(k), 4096);
        int64_t a = find(static_cast<int64_t>(u)), b = find(static_cast<int64_t>(idx[k]));
        if (a != b) out[std::max(a, b)] = std::min(a, b);
      }
    }
  });
  for (size_t i = 0; i < g.n; ++i) out[i] = find(static_cast<int64_t>(i));
  number_by_first_node(out);
}

void strong_components(const CsrArrays& g, std::span<int64_t> out) {
  // Tarjan's search with an explicit stack of (node, next entry) frames.
  constexpr int64_t kUnvisited = -1;
  const size_t n = g.n;
  std::vector<int64_t> order(n, kUnvisited), low(n), stack, frames_node;
  std::vector<int64_t> frames_entry;
  std::vector<char> on_stack(n, 0);
  int64_t counter = 0;
  size_t step = 0;
  g.visit([&](const auto* idx, auto) {
    for (size_t root = 0; root < n; ++root) {
      if (order[root] != kUnvisited) continue;
      auto enter = [&](int64_t v) {
        order[v] = low[v] = counter++;
        stack.push_back(v);
        on_stack[v] = 1;
        frames_node.push_back(v);
        frames_entry.push_back(g.indptr[v]);
      };
      enter(static_cast<int64_t>(root));
      while (!frames_node.empty()) {
        poll_interrupt_every(++step, 4096);
        const int64_t u = frames_node.back();
        int64_t& k = frames_entry.back();
        if (k < g.indptr[u + 1]) {
          const auto v = static_cast<int64_t>(idx[k++]);
          if (order[v] == kUnvisited) {
            enter(v);
          } else if (on_stack[v]) {
            low[u] = std::min(low[u], order[v]);
          }
          continue;
        }
        frames_node.pop_back();
        frames_entry.pop_back();
        if (!frames_node.empty()) low[frames_node.back()] = std::min(low[frames_node.back()], low[u]);
        if (low[u] == order[u]) {
          // u roots a component: its members are on the stack above it.
          int64_t w;
          do {
            w = stack.back();
            stack.pop_back();
            on_stack[w] = 0;
            out[w] = u;
          } while (w != u);
        }
      }
    }
  });
  number_by_first_node(out);
}

}  // namespace arborvane
