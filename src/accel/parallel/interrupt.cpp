#include "accel/parallel/interrupt.hpp"

#include "accel/support/platform.hpp"

namespace arborvane {

namespace interrupt_detail {

thread_local ThreadState thread_state;

namespace {

// A coarse clock: a few nanoseconds to read, millisecond resolution, which
// is all the poll interval needs.
int64_t now_ns() noexcept { return platform::coarse_monotonic_ns(); }

constexpr int64_t kIntervalNs =
    std::chrono::duration_cast<std::chrono::nanoseconds>(kInterruptPollInterval).count();

}  // namespace

bool ask_if_due() noexcept {
  ThreadState& state = thread_state;
  if (!state.source) return false;
  int64_t now = now_ns();
  if (now < state.next_poll_ns) return false;
  state.next_poll_ns = now + kIntervalNs;
  return state.source->stop_requested();
}

void poll_source() {
  if (ask_if_due()) throw Interrupted();
}

}  // namespace interrupt_detail

bool stop_due() noexcept { return interrupt_detail::ask_if_due(); }

InterruptScope::InterruptScope(StopSource& source) noexcept {
  auto& state = interrupt_detail::thread_state;
  previous_ = state.source;
  previous_deadline_ = state.next_poll_ns;
  state.source = &source;
  state.next_poll_ns = interrupt_detail::now_ns() + interrupt_detail::kIntervalNs;
}

InterruptScope::~InterruptScope() {
  auto& state = interrupt_detail::thread_state;
  state.source = previous_;
  state.next_poll_ns = previous_deadline_;
}

}  // namespace arborvane
