// Exercises the worker pool and the parallel analytics from several threads
// at once, for a ThreadSanitizer build:
//   tools/devbuild.sh tsan python3 -DARBORVANE_SANITIZE=thread -DARBORVANE_NATIVE_TESTS=ON
//   build/tsan/pool_stress
// Exits non-zero (with a message) on a wrong result.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "accel/kernels/analytics.hpp"
#include "accel/store/operations.hpp"
#include "accel/parallel/worker_pool.hpp"

using namespace arborvane;

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
  }
}

void slots_and_sums() {
  for (size_t n : {0, 1, 2, 3, 1000, 100003}) {
    std::vector<uint64_t> slots(n, 0);
    parallel_for(n, 1, [&](size_t i) { slots[i] = i * i; });
    bool all = true;
    for (size_t i = 0; i < n; ++i) all = all && slots[i] == i * i;
    check(all, "every slot written once");
    // Skewed work: a few indices cost far more than the rest.
    uint64_t sum = parallel_sum(n, 1, [](size_t i) {
      uint64_t s = 0;
      size_t spin = i % 997 == 0 ? 20000 : 1;
      for (size_t k = 0; k < spin; ++k) s += (i ^ k) & 1;
      return s + i;
    });
    uint64_t expected = 0;
    for (size_t i = 0; i < n; ++i) {
      size_t spin = i % 997 == 0 ? 20000 : 1;
      for (size_t k = 0; k < spin; ++k) expected += (i ^ k) & 1;
      expected += i;
    }
    check(sum == expected, "parallel sum equals sequential sum");
  }
}

// Ranges of equal weight cover every index once, a heavy index alone.
void weighted_ranges_cover_once() {
  for (size_t n : {1, 2, 7, 1000, 100003}) {
    std::vector<uint64_t> prefix(n + 1, 5);  // a base other than 0
    for (size_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] + (i % 997 == 3 ? 1000000 : i % 3);
    std::vector<std::atomic<int>> seen(n);
    parallel_for_weighted_ranges(n, prefix.data(), 16, [&](size_t begin, size_t end) {
      for (size_t i = begin; i < end; ++i) seen[i].fetch_add(1);
    });
    check(std::all_of(seen.begin(), seen.end(), [](const auto& s) { return s.load() == 1; }),
          "weighted ranges cover every index once");
  }
}

void faults_come_back() {
  for (int round = 0; round < 50; ++round) {
    bool caught = false;
    try {
      parallel_for(10000, 1, [](size_t i) {
        if (i == 7777) throw InternalError("fault on a worker");
      });
    } catch (const InternalError& e) {
      caught = std::string(e.what()) == "fault on a worker";
    }
    check(caught, "worker exception rethrown on the caller");
  }
  std::vector<int> after(5000, 0);
  parallel_for(after.size(), 1, [&](size_t i) { after[i] = 1; });
  check(std::count(after.begin(), after.end(), 1) == 5000, "pool usable after a fault");
}

void nested_loops_run_inline() {
  uint64_t total = parallel_sum(64, 1, [](size_t i) { return parallel_sum(100, 1, [i](size_t k) { return i + k; }); });
  uint64_t expected = 0;
  for (size_t i = 0; i < 64; ++i)
    for (size_t k = 0; k < 100; ++k) expected += i + k;
  check(total == expected, "nested loop");
}

void analytics_from_many_threads() {
  // Separate graphs analysed by concurrent callers share the one pool.
  std::vector<std::thread> callers;
  std::vector<uint64_t> triangles(4);
  std::vector<std::vector<double>> ranks(4);
  for (size_t t = 0; t < 4; ++t) {
    callers.emplace_back([t, &triangles, &ranks] {
      GraphState graph;
      std::vector<int64_t> flat;
      uint64_t x = 12345;
      for (int e = 0; e < 40000; ++e) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        flat.push_back(static_cast<int64_t>((x >> 33) % 3000) - 1500);
      }
      add_edges_flat(graph, flat);
      triangles[t] = triangle_count(graph);
      auto scores = pagerank(graph, 0.85, 50, 0.0);
      ranks[t].assign(scores.span().begin(), scores.span().end());
      std::vector<IdPair> pairs;
      for (size_t i = 0; i + 1 < flat.size(); i += 2) pairs.push_back({flat[i], flat[i + 1]});
      std::vector<uint8_t> answers = has_edges(graph, pairs);
      check(std::count(answers.begin(), answers.end(), 1) == static_cast<long>(answers.size()), "has_edges");
    });
  }
  for (auto& c : callers) c.join();
  for (size_t t = 1; t < 4; ++t) {
    check(triangles[t] == triangles[0], "same triangle count in every caller");
    check(ranks[t] == ranks[0], "same scores in every caller");
  }
}

void resizing_while_loops_run() {
  // One thread changes the pool's size while others run loops: every loop
  // finishes with the right sum, whatever size it started or ended with.
  std::atomic<bool> done{false};
  std::thread resizer([&done] {
    for (size_t round = 0; !done.load(); ++round) {
      set_worker_count(size_t{1} + round % 6);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 3; ++t) {
    callers.emplace_back([&wrong] {
      for (int round = 0; round < 200; ++round) {
        if (parallel_sum(20000, 1, [](size_t i) { return uint64_t{i}; }) != uint64_t{20000} * 19999 / 2) ++wrong;
      }
    });
  }
  for (auto& c : callers) c.join();
  done.store(true);
  resizer.join();
  check(wrong.load() == 0, "loops while the pool is resized");
  set_worker_count(4);
}

// A loop the caller joins runs on at most the pool's size of threads, the
// caller one of them.
void joined_loop_keeps_to_the_thread_count() {
  std::mutex mutex;
  std::vector<std::thread::id> seen;
  parallel_for(4096, 1, [&](size_t) {
    {
      std::lock_guard lock(mutex);
      if (std::find(seen.begin(), seen.end(), std::this_thread::get_id()) == seen.end()) {
        seen.push_back(std::this_thread::get_id());
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(20));
  });
  check(seen.size() <= worker_count(), "no more threads than the pool's size");
  check(std::find(seen.begin(), seen.end(), std::this_thread::get_id()) != seen.end(), "the caller worked");
}

}  // namespace

int main() {
  setenv("RAYON_NUM_THREADS", "4", 1);
  slots_and_sums();
  weighted_ranges_cover_once();
  faults_come_back();
  nested_loops_run_inline();
  {
    // Again with the caller working on its loops beside the workers.
    const CallerJoinsLoops caller_joins;
    slots_and_sums();
    weighted_ranges_cover_once();
    faults_come_back();
    nested_loops_run_inline();
    joined_loop_keeps_to_the_thread_count();
  }
  analytics_from_many_threads();
  resizing_while_loops_run();
  if (failures) return 1;
  std::puts("pool_stress: ok");
  return 0;
}
