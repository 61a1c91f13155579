#include "accel/support/internal_error.hpp"

#include "accel/support/platform.hpp"

#include <cstdio>

namespace arborvane {

void report_internal_error(const char* message, const std::source_location& where) noexcept {
  char name[64];
  platform::thread_name(name, sizeof name);
  std::fprintf(stderr, "thread '%s' panicked at %s:%u:%u:\n%s\n", name, where.file_name(),
               static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()), message);
  std::fflush(stderr);
}

}  // namespace arborvane
