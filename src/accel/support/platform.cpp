#include "accel/support/platform.hpp"

#include <chrono>
#include <cstring>
#include <thread>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#if defined(_WIN32)
#include <process.h>
#else
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>
#endif

#if defined(__linux__)
#include <sched.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#endif

namespace arborvane::platform {

int64_t coarse_monotonic_ns() noexcept {
#if defined(CLOCK_MONOTONIC_COARSE)
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
#elif defined(__APPLE__)
  return static_cast<int64_t>(clock_gettime_nsec_np(CLOCK_MONOTONIC_RAW_APPROX));
#else
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
#endif
}

int64_t process_id() noexcept {
#if defined(_WIN32)
  return _getpid();
#else
  return getpid();
#endif
}

#if defined(__linux__)
namespace {

size_t affinity_cpu_count() {
  for (size_t cpus = 1024; cpus <= (size_t{1} << 16); cpus *= 4) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (!set) return 0;
    size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    int rc = sched_getaffinity(0, bytes, set);
    size_t count = rc == 0 ? static_cast<size_t>(CPU_COUNT_S(bytes, set)) : 0;
    CPU_FREE(set);
    if (rc == 0) return count;
    if (errno != EINVAL) return 0;
  }
  return 0;
}

// CPUs granted by a quota of `quota` per `period` (whole CPUs, at least 1).
std::optional<size_t> quota_cpus(long long quota, long long period) {
  if (quota <= 0 || period <= 0) return std::nullopt;
  return std::max<long long>(1, quota / period);
}

std::optional<size_t> cgroup_v2_limit(const std::string& path) {
  std::optional<size_t> limit;
  std::string dir = path;
  for (;;) {
    std::ifstream file("/sys/fs/cgroup" + dir + "/cpu.max");
    std::string quota;
    long long period = 0;
    if (file >> quota >> period && quota != "max") {
      char* end = nullptr;
      long long q = std::strtoll(quota.c_str(), &end, 10);
      if (end && *end == '\0') {
        if (auto cpus = quota_cpus(q, period)) limit = limit ? std::min(*limit, *cpus) : *cpus;
      }
    }
    if (dir.empty() || dir == "/") break;
    size_t slash = dir.rfind('/');
    dir = slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
  }
  return limit;
}

std::optional<size_t> cgroup_v1_limit(const std::string& path) {
  for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
    for (const std::string& dir : {std::string(mount) + path, std::string(mount)}) {
      std::ifstream quota_file(dir + "/cpu.cfs_quota_us");
      std::ifstream period_file(dir + "/cpu.cfs_period_us");
      long long quota = 0, period = 0;
      if (quota_file >> quota && period_file >> period) return quota_cpus(quota, period);
    }
  }
  return std::nullopt;
}

// The CPU quota of the process's control groups (v2, or the v1 cpu
// controller; a hybrid system may list both), in whole CPUs, if any.
std::optional<size_t> cgroup_cpu_limit() {
  std::ifstream file("/proc/self/cgroup");
  std::string line;
  std::optional<size_t> limit;
  auto lower = [&limit](std::optional<size_t> found) {
    if (found) limit = limit ? std::min(*limit, *found) : *found;
  };
  while (std::getline(file, line)) {
    size_t first = line.find(':');
    size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    if (line.compare(0, first, "0") == 0 && controllers.empty()) {
      lower(cgroup_v2_limit(path));
      continue;
    }
    size_t start = 0;
    while (start <= controllers.size()) {
      size_t comma = controllers.find(',', start);
      if (comma == std::string::npos) comma = controllers.size();
      if (controllers.compare(start, comma - start, "cpu") == 0) lower(cgroup_v1_limit(path));
      start = comma + 1;
    }
  }
  return limit;
}

}  // namespace
#endif

size_t available_cpus() noexcept {
  size_t count = 0;
#if defined(__linux__)
  try {
    count = affinity_cpu_count();
    if (count == 0) count = std::thread::hardware_concurrency();
    if (auto limit = cgroup_cpu_limit(); limit && count > 0) count = std::min(count, *limit);
  } catch (...) {
    count = 0;  // out of memory reading the control groups: the plain count below
  }
#endif
  if (count == 0) count = std::thread::hardware_concurrency();
  return count == 0 ? 1 : count;
}

void advise_huge_pages(void* p, size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
  ::madvise(p, bytes, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

void trim_free_memory() noexcept {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

void set_thread_name(const char* name) noexcept {
#if defined(__linux__)
  pthread_setname_np(pthread_self(), name);
#elif defined(__APPLE__)
  pthread_setname_np(name);
#else
  (void)name;
#endif
}

void thread_name(char* buffer, size_t size) noexcept {
  if (size == 0) return;
  buffer[0] = '\0';
#if defined(__linux__) || defined(__APPLE__)
  if (pthread_getname_np(pthread_self(), buffer, size) != 0) buffer[0] = '\0';
#endif
}

bool on_fork_child(void (*handler)()) noexcept {
#if defined(_WIN32)
  (void)handler;
  return true;
#else
  return pthread_atfork(nullptr, nullptr, handler) == 0;
#endif
}

#if defined(_WIN32)
SignalsBlocked::SignalsBlocked() noexcept : previous_{} {}
SignalsBlocked::~SignalsBlocked() = default;
#else
SignalsBlocked::SignalsBlocked() noexcept {
  static_assert(sizeof(sigset_t) <= sizeof previous_ && alignof(sigset_t) <= 8);
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, reinterpret_cast<sigset_t*>(previous_));
}
SignalsBlocked::~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(previous_), nullptr); }
#endif

}  // namespace arborvane::platform
