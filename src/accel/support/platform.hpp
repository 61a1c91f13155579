// What the engine asks of the operating system, defined once per system in
// platform.cpp (Linux; other POSIX systems such as macOS; Windows), so that
// no other engine file includes a system header or tests for a system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace arborvane::platform {

// Nanoseconds on a monotonic clock that costs a few nanoseconds to read; its
// resolution may be as coarse as a few milliseconds.
int64_t coarse_monotonic_ns() noexcept;

// This process's id: a forked child sees a new one.
int64_t process_id() noexcept;

// CPUs this process may run on: its affinity mask, capped by a control-group
// CPU quota (Linux), else the number the system reports; at least 1.
size_t available_cpus() noexcept;

// Bytes of memory this process can still take without swapping or meeting
// a limit: the system's available memory (Linux: MemAvailable), lowered to
// the headroom of a control-group memory limit; Windows: the available
// physical memory. Absent where unknown (other systems).
std::optional<uint64_t> available_memory() noexcept;

// Offers [p, p + bytes) to transparent huge pages (Linux; a hint, whose
// failure only costs speed; nothing elsewhere). True when the system took
// the advice (false where huge pages are off for the process or unknown).
bool advise_huge_pages(void* p, size_t bytes) noexcept;

// Returns the whole pages inside [p, p + bytes) to the system, which stop
// counting as resident; what they held is lost (Linux; nothing elsewhere,
// where the memory stays until its block is freed).
void discard_pages(void* p, size_t bytes) noexcept;

// Hands memory that the C allocator holds free back to the system (glibc's
// malloc_trim; nothing where the allocator does that by itself).
void trim_free_memory() noexcept;

// Names the calling thread, for debuggers and diagnostics (a hint: a name
// the system cannot take is dropped).
void set_thread_name(const char* name) noexcept;

// The calling thread's name, "" when the system keeps none.
void thread_name(char* buffer, size_t size) noexcept;

// Runs `handler` in the child after every fork(); false when it could not
// be registered. Nothing to do (true) on a system without fork().
bool on_fork_child(void (*handler)()) noexcept;

// Blocks every signal on the calling thread while it lives, so that threads
// started meanwhile inherit that mask and the interpreter's handlers keep
// running on the threads that expect them. Nothing on Windows, which runs
// console control handlers on a thread of their own.
class SignalsBlocked {
 public:
  SignalsBlocked() noexcept;
  ~SignalsBlocked();
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  [[maybe_unused]] alignas(8) unsigned char previous_[128];  // the saved sigset_t (POSIX)
};

}  // namespace arborvane::platform
