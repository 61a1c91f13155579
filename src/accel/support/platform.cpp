#include "accel/support/platform.hpp"

#include <chrono>
#include <cstring>
#include <thread>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX  // keeps std::min and std::max usable after <windows.h>
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
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

// Calls f(dir) for the control-group v2 directory of `path` and each one
// above it, up to the root.
template <class F>
void for_each_v2_level(const std::string& path, const F& f) {
  std::string dir = path;
  for (;;) {
    f("/sys/fs/cgroup" + (dir == "/" ? std::string() : dir));
    if (dir.empty() || dir == "/") break;
    size_t slash = dir.rfind('/');
    dir = slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
  }
}

// A whole decimal number, if `text` is one.
std::optional<long long> whole_number(const std::string& text) {
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || !end || *end != '\0') return std::nullopt;
  return value;
}

std::optional<size_t> cgroup_v2_limit(const std::string& path) {
  std::optional<size_t> limit;
  for_each_v2_level(path, [&](const std::string& dir) {
    std::ifstream file(dir + "/cpu.max");
    std::string quota;
    long long period = 0;
    if (file >> quota >> period && quota != "max") {
      if (auto q = whole_number(quota)) {
        if (auto cpus = quota_cpus(*q, period)) limit = limit ? std::min(*limit, *cpus) : *cpus;
      }
    }
  });
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

// Calls v2(path) for the process's control-group v2 entry and
// v1(controllers, path) for each v1 hierarchy in /proc/self/cgroup (a
// hybrid system may list both).
template <class V2, class V1>
void for_each_cgroup(const V2& v2, const V1& v1) {
  std::ifstream file("/proc/self/cgroup");
  std::string line;
  while (std::getline(file, line)) {
    size_t first = line.find(':');
    size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    if (line.compare(0, first, "0") == 0 && controllers.empty()) {
      v2(path);
    } else {
      v1(controllers, path);
    }
  }
}

// Whether the comma-separated `controllers` name `name`.
bool names_controller(const std::string& controllers, const char* name) {
  size_t start = 0;
  while (start <= controllers.size()) {
    size_t comma = controllers.find(',', start);
    if (comma == std::string::npos) comma = controllers.size();
    if (controllers.compare(start, comma - start, name) == 0) return true;
    start = comma + 1;
  }
  return false;
}

// The smaller of a and b, either of which may be absent.
template <class T>
std::optional<T> smaller(std::optional<T> a, std::optional<T> b) {
  if (a && b) return std::min(*a, *b);
  return a ? a : b;
}

// The CPU quota of the process's control groups (v2, or the v1 cpu
// controller), in whole CPUs, if any.
std::optional<size_t> cgroup_cpu_limit() {
  std::optional<size_t> limit;
  for_each_cgroup([&](const std::string& path) { limit = smaller(limit, cgroup_v2_limit(path)); },
                  [&](const std::string& controllers, const std::string& path) {
                    if (names_controller(controllers, "cpu")) limit = smaller(limit, cgroup_v1_limit(path));
                  });
  return limit;
}

// One number from a control-group file, if it holds one ("max" does not).
std::optional<uint64_t> cgroup_number(const std::string& file_name) {
  std::ifstream file(file_name);
  std::string text;
  if (!(file >> text)) return std::nullopt;
  auto value = whole_number(text);
  if (!value || *value < 0) return std::nullopt;
  return static_cast<uint64_t>(*value);
}

// Bytes a control group still grants: its limit less its usage.
std::optional<uint64_t> cgroup_headroom(const std::string& limit_file, const std::string& usage_file) {
  auto limit = cgroup_number(limit_file);
  if (!limit) return std::nullopt;
  auto usage = cgroup_number(usage_file).value_or(0);
  return *limit > usage ? *limit - usage : 0;
}

// The least headroom of the process's memory control groups, if any.
std::optional<uint64_t> cgroup_memory_headroom() {
  std::optional<uint64_t> least;
  for_each_cgroup(
      [&](const std::string& path) {
        for_each_v2_level(path, [&](const std::string& dir) {
          least = smaller(least, cgroup_headroom(dir + "/memory.max", dir + "/memory.current"));
        });
      },
      [&](const std::string& controllers, const std::string& path) {
        if (!names_controller(controllers, "memory")) return;
        for (const std::string& dir : {"/sys/fs/cgroup/memory" + path, std::string("/sys/fs/cgroup/memory")}) {
          // v1 reports "no limit" as a huge number, which the minimum ignores.
          least = smaller(least, cgroup_headroom(dir + "/memory.limit_in_bytes", dir + "/memory.usage_in_bytes"));
        }
      });
  return least;
}

// MemAvailable of /proc/meminfo: what the kernel can give without swapping.
std::optional<uint64_t> meminfo_available() {
  std::ifstream file("/proc/meminfo");
  std::string key, unit;
  unsigned long long kib = 0;
  while (file >> key >> kib) {
    std::getline(file, unit);
    if (key == "MemAvailable:") return static_cast<uint64_t>(kib) * 1024;
  }
  return std::nullopt;
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

std::optional<uint64_t> available_memory() noexcept {
#if defined(__linux__)
  try {
    return smaller(meminfo_available(), cgroup_memory_headroom());
  } catch (...) {
    return std::nullopt;  // out of memory reading the files: unknown
  }
#elif defined(_WIN32)
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (GlobalMemoryStatusEx(&status)) return static_cast<uint64_t>(status.ullAvailPhys);
  return std::nullopt;
#else
  return std::nullopt;
#endif
}

bool advise_huge_pages(void* p, size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
  return ::madvise(p, bytes, MADV_HUGEPAGE) == 0;
#else
  (void)p;
  (void)bytes;
  return false;
#endif
}

void discard_pages(void* p, size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_DONTNEED)
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + page - 1) / page * page;
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) / page * page;
  if (begin < end) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
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
