#include "accel/support/internal_error.hpp"

#include <pthread.h>

#include <cstdio>

namespace arborvane {

void report_internal_error(const char* message, const std::source_location& where) noexcept {
  char name[64] = "<unnamed>";
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) {
    name[0] = '\0';
  }
  std::fprintf(stderr, "thread '%s' panicked at %s:%u:%u:\n%s\n", name, where.file_name(),
               static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()), message);
  std::fflush(stderr);
}

}  // namespace arborvane
