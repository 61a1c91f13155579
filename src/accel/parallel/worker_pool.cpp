#include "accel/parallel/worker_pool.hpp"

#include "accel/parallel/interrupt.hpp"

#include "accel/support/platform.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace arborvane {

namespace {

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

size_t configured_thread_count() {
  if (auto n = parse_count(std::getenv("RAYON_NUM_THREADS"))) {
    return *n > 0 ? *n : platform::available_cpus();
  }
  if (auto n = parse_count(std::getenv("RAYON_RS_NUM_CPUS")); n && *n > 0) return *n;
  return platform::available_cpus();
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
  // Guarded by the pool mutex: the threads working on the loop, and how
  // many may (the pool's size when the caller joins, so that the caller and
  // the workers together keep to the thread count; unbounded otherwise).
  size_t active = 0;
  size_t seats = SIZE_MAX;
  bool queued = true;
  std::exception_ptr error;
};

thread_local bool on_worker_thread = false;

// Set on a thread while a CallerJoinsLoops lives there.
thread_local bool caller_joins = false;

// Runs chunks of `job` until none is left to claim. A worker's bodies poll
// the loop's cancel flag; the caller's (`worker` false) poll its own
// interrupt source, as when a loop runs inline.
void work_on(Job& job, std::mutex& mutex, bool worker = true) {
  auto& interrupt_state = interrupt_detail::thread_state;
  if (worker) interrupt_state.cancelled = &job.cancelled;
  struct Forget {
    interrupt_detail::ThreadState& state;
    bool worker;
    ~Forget() {
      if (worker) state.cancelled = nullptr;
    }
  } forget{interrupt_state, worker};
  for (;;) {
    size_t chunk = job.next_chunk.fetch_add(1, std::memory_order_relaxed);
    if (chunk >= job.chunk_count) return;
    size_t begin = chunk * job.chunk_size;
    size_t end = std::min(job.n, begin + job.chunk_size);
    try {
      // The caller also asks its source between chunks: bodies that do not
      // poll (most parallel_for loops) would otherwise keep it from Ctrl-C
      // until every chunk is claimed.
      if (!worker) poll_interrupt();
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
  explicit Pool(size_t size) : owner_pid_(platform::process_id()) { resize(size); }

  int64_t owner_pid() const noexcept { return owner_pid_; }
  // The size that loops starting from now on see.
  size_t size() const noexcept { return size_.load(std::memory_order_relaxed); }

  // Gives the loops that start from now on `size` threads. Missing workers
  // start at once; surplus ones leave when they find no loop waiting for
  // them, so a loop that is running keeps the threads it has.
  void resize(size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_.store(size, std::memory_order_relaxed);
    // A pool of one runs every loop on the calling thread: no worker needed.
    wanted_ = size < 2 ? 0 : size;
    if (live_ < wanted_) {
      platform::SignalsBlocked blocked;  // inherited by the workers
      while (live_ < wanted_) {
        try {
          std::thread([this] { worker_main(); }).detach();
        } catch (...) {
          break;  // run with the threads that did start
        }
        ++live_;
      }
    }
    work_ready_.notify_all();  // surplus workers go
  }

  void run(Job& job) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Fewer than two workers would only hand the chunks over to each other.
    if (live_ < 2) {
      lock.unlock();
      run_inline(job);
      return;
    }
    if (caller_joins) {
      job.seats = size();
      ++job.active;
    }
    queue_.push_back(&job);
    work_ready_.notify_all();
    if (caller_joins) {
      lock.unlock();
      {
        // A loop started inside one of the caller's bodies runs inline there,
        // as it would on a worker.
        on_worker_thread = true;
        struct Restore {
          ~Restore() { on_worker_thread = false; }
        } restore;
        work_on(job, mutex_, false);
      }
      lock.lock();
      --job.active;
      // Every chunk is claimed now: no worker joins the loop any more.
      if (job.queued) {
        queue_.erase(std::find(queue_.begin(), queue_.end(), &job));
        job.queued = false;
      }
      if (job.error) cancel(job);  // a body of the caller's failed: the workers' stop too
    }
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

  // The first queued loop with a seat free, or null. Called with the mutex held.
  Job* open_job() const {
    for (Job* job : queue_) {
      if (job->active < job->seats) return job;
    }
    return nullptr;
  }

  void worker_main() {
    on_worker_thread = true;
    platform::set_thread_name("arborvane-pool");
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      Job* job = nullptr;
      work_ready_.wait(lock, [this, &job] {
        job = open_job();
        return job || live_ > wanted_;
      });
      // A surplus worker leaves only when no loop has a seat for it: a loop
      // queued while the pool had two or more workers is always served.
      if (!job) {
        --live_;
        return;
      }
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

  int64_t owner_pid_;
  std::atomic<size_t> size_{0};
  std::mutex mutex_;
  // Guarded by mutex_: the workers wanted and the workers running (more
  // than wanted for a while after the pool shrank).
  size_t wanted_ = 0;
  size_t live_ = 0;
  std::condition_variable work_ready_;
  std::condition_variable job_done_;
  std::vector<Job*> queue_;
};

// The pool is never destroyed: its detached workers wait on its members
// until they leave or the process ends. After fork() the child abandons the
// parent's pool (its threads do not exist there and its mutexes may be held)
// without touching it, and makes a fresh one on its next loop.
std::atomic<Pool*> the_pool{nullptr};
// Guards creating and resizing the pool, and requested_size. A child of
// fork() gets a new one (the parent's may have been held by another thread).
std::mutex* pool_creation = new std::mutex;
// The size set by set_worker_count, 0 until then (the environment decides).
size_t requested_size = 0;

void forget_pool_in_child() {
  the_pool.store(nullptr, std::memory_order_relaxed);
  pool_creation = new std::mutex;
}

// This process's pool, or null before its first parallel loop.
Pool* existing_pool() {
  Pool* pool = the_pool.load(std::memory_order_acquire);
  return pool && pool->owner_pid() == platform::process_id() ? pool : nullptr;
}

// The size a pool made now gets. Called with pool_creation held.
size_t planned_size() {
  return std::min(requested_size > 0 ? requested_size : configured_thread_count(), kMaxWorkerThreads);
}

Pool& current_pool() {
  if (Pool* pool = existing_pool()) return *pool;
  std::lock_guard<std::mutex> lock(*pool_creation);
  Pool* pool = existing_pool();
  if (!pool) {
    static const bool fork_handler_installed = platform::on_fork_child(forget_pool_in_child);
    (void)fork_handler_installed;
    pool = new Pool(planned_size());
    the_pool.store(pool, std::memory_order_release);
  }
  return *pool;
}

}  // namespace

size_t worker_count() {
  if (Pool* pool = existing_pool()) return std::max<size_t>(1, pool->size());
  std::lock_guard<std::mutex> lock(*pool_creation);
  return std::max<size_t>(1, planned_size());
}

void set_worker_count(size_t n) {
  if (n > kMaxWorkerThreads) throw std::invalid_argument("more worker threads than the pool's limit");
  std::lock_guard<std::mutex> lock(*pool_creation);
  requested_size = n > 0 ? n : platform::available_cpus();
  if (Pool* pool = existing_pool()) pool->resize(planned_size());
}

CallerJoinsLoops::CallerJoinsLoops() noexcept : was_(caller_joins) { caller_joins = true; }

CallerJoinsLoops::~CallerJoinsLoops() { caller_joins = was_; }

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
  // A loop started from inside a loop body, or too short to share: run here.
  if (on_worker_thread || job.chunk_count < 2) {
    run_inline(job);
    return;
  }
  pool.run(job);
}

}  // namespace pool_detail

}  // namespace arborvane
