#include "accel/parallel/worker_pool.hpp"

#include "accel/parallel/interrupt.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace arborvane {

namespace {

// Threads beyond this are never started, whatever the environment asks for:
// results do not depend on the count, and tens of thousands of threads would
// only exhaust the process.
constexpr size_t kMaxThreads = 1024;

// A non-negative decimal integer, optionally preceded by '+', nothing else.
std::optional<size_t> parse_count(const char* text) {
  if (!text) return std::nullopt;
  if (*text == '+') ++text;
  if (!*text) return std::nullopt;
  size_t value = 0;
  for (; *text; ++text) {
    if (*text < '0' || *text > '9') return std::nullopt;
    size_t digit = static_cast<size_t>(*text - '0');
    if (value > (SIZE_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

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

size_t available_cpus() {
  size_t count = affinity_cpu_count();
  if (count == 0) count = std::thread::hardware_concurrency();
  if (count == 0) return 1;
  if (auto limit = cgroup_cpu_limit()) count = std::min(count, *limit);
  return count;
}

size_t configured_thread_count() {
  if (auto n = parse_count(std::getenv("RAYON_NUM_THREADS"))) {
    return *n > 0 ? *n : available_cpus();
  }
  if (auto n = parse_count(std::getenv("RAYON_RS_NUM_CPUS")); n && *n > 0) return *n;
  return available_cpus();
}

using pool_detail::ChunkBody;

// One parallel loop in flight. Lives on the calling thread's stack; workers
// reach it only through the pool's queue and only while `active` counts them.
struct Job {
  size_t n;
  size_t chunk_size;
  size_t chunk_count;
  ChunkBody body;
  std::atomic<size_t> next_chunk{0};
  // Set when the caller gives up on the loop (interrupted): bodies that poll
  // stop early, and no further chunk is handed out.
  std::atomic<bool> cancelled{false};
  // Guarded by the pool mutex.
  size_t active = 0;
  bool queued = true;
  std::exception_ptr error;
};

thread_local bool on_worker_thread = false;

// Runs chunks of `job` until none is left to claim.
void work_on(Job& job, std::mutex& mutex) {
  auto& interrupt_state = interrupt_detail::thread_state;
  interrupt_state.cancelled = &job.cancelled;
  struct Forget {
    interrupt_detail::ThreadState& state;
    ~Forget() { state.cancelled = nullptr; }
  } forget{interrupt_state};
  for (;;) {
    size_t chunk = job.next_chunk.fetch_add(1, std::memory_order_relaxed);
    if (chunk >= job.chunk_count) return;
    size_t begin = chunk * job.chunk_size;
    size_t end = std::min(job.n, begin + job.chunk_size);
    try {
      job.body.invoke(job.body.context, chunk, begin, end);
    } catch (...) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (!job.error) job.error = std::current_exception();
      }
      // Nothing more is handed out; the chunks already claimed finish.
      job.next_chunk.store(job.chunk_count, std::memory_order_relaxed);
      return;
    }
  }
}

void run_inline(Job& job) {
  for (size_t chunk = 0; chunk < job.chunk_count; ++chunk) {
    poll_interrupt();
    size_t begin = chunk * job.chunk_size;
    job.body.invoke(job.body.context, chunk, begin, std::min(job.n, begin + job.chunk_size));
  }
}

class Pool {
 public:
  explicit Pool(size_t size) : owner_pid_(getpid()), size_(size) {
    // A pool of one runs every loop on the calling thread: no worker needed.
    if (size < 2) return;
    // Workers block every signal, so the interpreter's handlers keep running
    // on the threads that expect them.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    for (size_t i = 0; i < size; ++i) {
      try {
        std::thread([this] { worker_main(); }).detach();
      } catch (...) {
        break;  // run with the threads that did start
      }
      ++started_;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }

  pid_t owner_pid() const noexcept { return owner_pid_; }
  // The configured size, and the worker threads actually running.
  size_t size() const noexcept { return size_; }
  size_t started() const noexcept { return started_; }

  void run(Job& job) {
    std::unique_lock<std::mutex> lock(mutex_);
    queue_.push_back(&job);
    work_ready_.notify_all();
    auto finished = [&job] { return !job.queued && job.active == 0; };
    if (!current_stop_source()) {
      job_done_.wait(lock, finished);
    } else {
      // The caller can be interrupted: wake up regularly to ask its source.
      while (!job_done_.wait_for(lock, kInterruptPollInterval / 2, finished)) {
        lock.unlock();
        bool stop = stop_due();
        lock.lock();
        if (stop) {
          cancel(job);
          job_done_.wait(lock, finished);
          throw Interrupted();
        }
      }
    }
    if (job.error) {
      std::exception_ptr error = job.error;
      lock.unlock();
      std::rethrow_exception(error);
    }
  }

 private:
  // Stops handing out chunks of `job` and takes it off the queue; workers
  // already on it finish (or abandon, when their body polls) their chunk.
  // Called with the mutex held.
  void cancel(Job& job) {
    job.cancelled.store(true, std::memory_order_relaxed);
    job.next_chunk.store(job.chunk_count, std::memory_order_relaxed);
    if (job.queued) {
      queue_.erase(std::find(queue_.begin(), queue_.end(), &job));
      job.queued = false;
    }
  }

  void worker_main() {
    on_worker_thread = true;
    pthread_setname_np(pthread_self(), "arborvane-pool");
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_ready_.wait(lock, [this] { return !queue_.empty(); });
      Job* job = queue_.front();
      ++job->active;
      lock.unlock();
      work_on(*job, mutex_);
      lock.lock();
      // Every chunk of the job is claimed now: take it off the queue, and
      // wake its caller once the last worker on it has finished.
      --job->active;
      if (job->queued) {
        queue_.erase(std::find(queue_.begin(), queue_.end(), job));
        job->queued = false;
      }
      if (job->active == 0) job_done_.notify_all();
    }
  }

  pid_t owner_pid_;
  size_t size_;
  size_t started_ = 0;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable job_done_;
  std::vector<Job*> queue_;
};

// The pool is never destroyed: its detached workers wait on its members
// until the process ends. After fork() the child abandons the parent's pool
// (its threads do not exist there and its mutex may be held) without
// touching it, and makes a fresh one on its next loop.
std::atomic<Pool*> the_pool{nullptr};
pthread_mutex_t pool_creation = PTHREAD_MUTEX_INITIALIZER;

void forget_pool_in_child() {
  the_pool.store(nullptr, std::memory_order_relaxed);
  pthread_mutex_init(&pool_creation, nullptr);
}

Pool& current_pool() {
  Pool* pool = the_pool.load(std::memory_order_acquire);
  if (pool && pool->owner_pid() == getpid()) return *pool;
  pthread_mutex_lock(&pool_creation);
  pool = the_pool.load(std::memory_order_acquire);
  if (!pool || pool->owner_pid() != getpid()) {
    static const bool fork_handler_installed = pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;
    (void)fork_handler_installed;
    try {
      pool = new Pool(std::min(configured_thread_count(), kMaxThreads));
    } catch (...) {
      pthread_mutex_unlock(&pool_creation);
      throw;
    }
    the_pool.store(pool, std::memory_order_release);
  }
  pthread_mutex_unlock(&pool_creation);
  return *pool;
}

}  // namespace

size_t worker_count() { return std::max<size_t>(1, current_pool().size()); }

namespace pool_detail {

size_t chunk_size_for(size_t n, size_t min_chunk) {
  // About 32 chunks per thread: enough to even out skewed work, few enough
  // that claiming a chunk costs nothing measurable.
  size_t chunk = n / (worker_count() * 32);
  return std::max<size_t>({chunk, min_chunk, 1});
}

void run_chunks(size_t n, size_t chunk_size, ChunkBody body) {
  Job job;
  job.n = n;
  job.chunk_size = chunk_size;
  job.chunk_count = (n + chunk_size - 1) / chunk_size;
  job.body = body;
  Pool& pool = current_pool();
  // A single thread, or a loop started from inside a loop body: run here.
  if (pool.started() <= 1 || on_worker_thread || job.chunk_count < 2) {
    run_inline(job);
    return;
  }
  pool.run(job);
}

}  // namespace pool_detail

}  // namespace arborvane
