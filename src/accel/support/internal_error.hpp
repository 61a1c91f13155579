// Internal faults of the native side: violated invariants, division by zero,
// sizes that cannot be represented. The boundary turns an InternalError into
// the Python-level PanicException after writing a diagnostic to stderr.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace arborvane {

class InternalError : public std::runtime_error {
 public:
  explicit InternalError(const std::string& message,
                         std::source_location where = std::source_location::current())
      : std::runtime_error(message), where_(where) {}

  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

// Writes the stderr diagnostic for an internal fault: thread, source location
// and message. Safe to call from any thread; touches no Python object.
void report_internal_error(const char* message, const std::source_location& where) noexcept;

}  // namespace arborvane

namespace arborvane {

// A request the operation refuses because it can never be carried out (for
// example more random edges than free node pairs). Raised to Python as
// ValueError with the message as given.
class InvalidRequest : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

}  // namespace arborvane
