// Stopping long native work when the caller asks (Ctrl-C).
//
// The boundary installs a StopSource on the calling thread for the duration
// of one native call (InterruptScope). Long loops call poll_interrupt()
// every few thousand cheap steps: on the calling thread it asks the source,
// at most once per kInterruptPollInterval, whether to stop; on a pool worker
// it checks whether the caller cancelled the parallel loop. Either way a
// stop throws Interrupted, which unwinds the native work (every structure it
// touched stays consistent) and reaches the boundary, where the exception
// the source recorded (KeyboardInterrupt) is raised.
//
// A thread without a source and outside the pool never stops: poll_interrupt
// costs a thread-local read there.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>

namespace arborvane {

class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "native work interrupted"; }
};

// Asked on the calling thread whether the caller wants the work to stop.
class StopSource {
 public:
  virtual bool stop_requested() = 0;

 protected:
  ~StopSource() = default;
};

// How often the calling thread asks its source: well inside the 0.1 s in
// which Ctrl-C must be seen, rare enough that asking (which may take the
// interpreter lock back) costs nothing measurable.
inline constexpr std::chrono::milliseconds kInterruptPollInterval{20};

// Makes `source` the calling thread's stop source until destroyed.
class InterruptScope {
 public:
  explicit InterruptScope(StopSource& source) noexcept;
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  StopSource* previous_;
  int64_t previous_deadline_;
};

namespace interrupt_detail {
struct ThreadState {
  StopSource* source = nullptr;                      // calling thread: its scope's source
  const std::atomic<bool>* cancelled = nullptr;      // pool worker: the running loop's flag
  int64_t next_poll_ns = 0;                          // calling thread: when to ask again
};
extern thread_local ThreadState thread_state;
void poll_source();  // asks the source when due; throws Interrupted
}  // namespace interrupt_detail

// Throws Interrupted when this thread's work should stop. Cheap enough to
// call every thousand or so inner-loop steps.
inline void poll_interrupt() {
  auto& state = interrupt_detail::thread_state;
  if (state.cancelled) {
    if (state.cancelled->load(std::memory_order_relaxed)) throw Interrupted();
    return;
  }
  if (state.source) interrupt_detail::poll_source();
}

// poll_interrupt() on every `period`-th step (period a power of two).
inline void poll_interrupt_every(size_t step, size_t period = 4096) {
  if ((step & (period - 1)) == 0) poll_interrupt();
}

// The calling thread's source, if any (the pool asks it while waiting).
inline StopSource* current_stop_source() noexcept { return interrupt_detail::thread_state.source; }

// Asks the current source now if the poll interval has passed; true when it
// wants the work stopped. Never throws.
bool stop_due() noexcept;

}  // namespace arborvane
