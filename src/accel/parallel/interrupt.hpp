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

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "accel/support/huge_page_memory.hpp"

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

// f(from, to) over [0, n) in steps of `step` indices, polling for Ctrl-C
// before each step: for loops whose steps are too cheap to poll one by one.
template <class F>
void in_polled_steps(size_t n, size_t step, const F& f) {
  for (size_t from = 0; from < n; from += step) {
    poll_interrupt();
    f(from, std::min(n, from + step));
  }
}

// Elements an array fill writes between two polls (1 MiB of 8-byte
// elements: well under a millisecond).
inline constexpr size_t kFillPollElements = size_t{1} << 17;

// Room in `values` for `count` elements, whatever of it is new offered to
// huge pages (huge_page_memory.hpp).
template <class T>
void reserve_huge(std::vector<T>& values, size_t count) {
  if (count <= values.capacity()) return;
  values.reserve(count);
  advise_huge_pages_inside(values.data() + values.size(), (count - values.size()) * sizeof(T));
}

// Resizes `values` to `count` elements, the new ones copies of `value`, a
// step of kFillPollElements at a time with polls between: zeroing 128 MB
// in one go holds off Ctrl-C for about 60 ms. New room of a few MiB or more
// takes huge pages (huge_page_memory.hpp).
template <class T>
void resize_polling(std::vector<T>& values, size_t count, const T& value = T{}) {
  reserve_huge(values, count);
  while (values.size() < count) {
    poll_interrupt();
    values.resize(std::min(count, values.size() + kFillPollElements), value);
  }
  values.resize(count, value);
}

// A vector of `count` copies of `value`, filled as resize_polling does.
template <class T>
std::vector<T> vector_polling(size_t count, const T& value = T{}) {
  std::vector<T> values;
  resize_polling(values, count, value);
  return values;
}

// A copy of `from`, made as vector_polling makes its vectors.
template <class T>
std::vector<T> copy_polling(const std::vector<T>& from) {
  std::vector<T> values;
  reserve_huge(values, from.size());
  in_polled_steps(from.size(), kFillPollElements,
                  [&](size_t begin, size_t end) { values.insert(values.end(), from.begin() + begin, from.begin() + end); });
  return values;
}

// The calling thread's source, if any (the pool asks it while waiting).
inline StopSource* current_stop_source() noexcept { return interrupt_detail::thread_state.source; }

// Asks the current source now if the poll interval has passed; true when it
// wants the work stopped. Never throws.
bool stop_due() noexcept;

}  // namespace arborvane
