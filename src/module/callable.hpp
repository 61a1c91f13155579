// The description of an exported callable: everything Python sees of it and
// how it reaches the graph, written once. From it come its method-table
// entry (name, calling convention, stored docstring with the text
// signature), the name its binding errors use, the size of its argument
// slots, the defaults its optional parameters take, the borrow it takes and
// whether its native work runs detached from the interpreter (call.hpp).
//
//   constexpr auto kBuildRandom = method("build_random", {"n", "m", {"seed", "42"}},
//                                        Access::kExclusive, "Native bulk ...");
//
// gives "build_random($self, n, m, seed=42)\n--\n\nNative bulk ...", binding
// errors naming "IntGraphCore.build_random()", and seed 42 when omitted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "module/bind.hpp"
#include "module/native_call.hpp"

namespace arborvane::py {

// How a callable reaches a graph.
enum class Access : uint8_t {
  kNone,           // takes no graph
  kShared,         // reads it (shared borrow)
  kExclusive,      // changes it (exclusive borrow)
  kExclusiveRead,  // reads it but takes it exclusively (IntGraphCore.pagerank, triangle_count)
};

template <size_t N>
struct Callable {
  const char* owner;  // "IntGraphCore" for its methods, null for module functions
  const char* name;
  std::array<Parameter, N> parameters;  // a module function with a graph takes it first, as "g"
  Access access;
  Attachment attachment;
  const char* doc;       // what follows the text signature ("" for nothing)
  const char* shown_as;  // module functions: the public function that borrow refusals name
};

// A method of IntGraphCore; it keeps the interpreter lock where there is one.
template <size_t N>
constexpr Callable<N> method(const char* name, const std::array<Parameter, N>& parameters, Access access,
                             const char* doc = "") {
  return {"IntGraphCore", name, parameters, access, Attachment::kKeepWithLock, doc, nullptr};
}
template <size_t N>
constexpr Callable<N> method(const char* name, const Parameter (&parameters)[N], Access access,
                             const char* doc = "") {
  return method(name, std::to_array(parameters), access, doc);
}
constexpr Callable<0> method(const char* name, Access access, const char* doc = "") {
  return method(name, std::array<Parameter, 0>{}, access, doc);
}

// A function of a module; its native work runs detached from the
// interpreter. `shown_as` is the public function to name in borrow refusals
// when it is not `name`.
template <size_t N>
constexpr Callable<N> function(const char* name, const std::array<Parameter, N>& parameters, Access access,
                               const char* doc, const char* shown_as = nullptr) {
  return {nullptr, name, parameters, access, Attachment::kDetach, doc, shown_as ? shown_as : name};
}
template <size_t N>
constexpr Callable<N> function(const char* name, const Parameter (&parameters)[N], Access access, const char* doc,
                               const char* shown_as = nullptr) {
  return function(name, std::to_array(parameters), access, doc, shown_as);
}
constexpr Callable<0> function(const char* name, const char* doc) {
  return function(name, std::array<Parameter, 0>{}, Access::kNone, doc);
}

// A string literal as a template argument, for descriptions written in
// place (arrays_module.cpp's analytic<>()).
template <size_t N>
struct Literal {
  constexpr Literal(const char (&text)[N]) {
    for (size_t i = 0; i < N; ++i) chars[i] = text[i];
  }
  char chars[N];
};

// Parameters followed by a block that several callables share
// (arguments.hpp): join({"g"}, kPagerankParameters).
template <size_t A, size_t B>
constexpr std::array<Parameter, A + B> join(const std::array<Parameter, A>& a, const std::array<Parameter, B>& b) {
  return [&]<size_t... I>(std::index_sequence<I...>) {
    return std::array<Parameter, A + B>{(I < A ? a[I] : b[I - A])...};
  }(std::make_index_sequence<A + B>());
}
template <size_t A, size_t B>
constexpr std::array<Parameter, A + B> join(const Parameter (&a)[A], const std::array<Parameter, B>& b) {
  return join(std::to_array(a), b);
}

// Calling this is not a constant expression: a description (or default
// text) that something here rejects does not compile.
[[noreturn]] inline void invalid_description() { __builtin_trap(); }

// ---- texts made at compile time ---------------------------------------------

namespace text_detail {

struct Counter {
  size_t length = 0;
  constexpr void put(const char* text) {
    while (*text++) ++length;
  }
};

template <size_t Capacity>
struct Buffer {
  std::array<char, Capacity> chars{};  // zero-filled: the last one ends the string
  size_t length = 0;
  constexpr void put(const char* text) {
    while (*text) chars[length++] = *text++;
  }
};

// "add_edge($self, u, v)\n--\n\n" followed by the docstring.
template <class Out, size_t N>
constexpr void stored_doc(const Callable<N>& c, Out& out) {
  out.put(c.name);
  out.put(c.owner ? "($self" : "($module");
  for (const Parameter& p : c.parameters) {
    out.put(", ");
    out.put(p.name);
    if (p.default_text) {
      out.put("=");
      out.put(p.default_text);
    }
  }
  out.put(")\n--\n\n");
  out.put(c.doc);
}

// "IntGraphCore.add_edge()" or "node_ids()": the name binding errors use.
template <class Out, size_t N>
constexpr void full_name(const Callable<N>& c, Out& out) {
  if (c.owner) {
    out.put(c.owner);
    out.put(".");
  }
  out.put(c.name);
  out.put("()");
}

enum class Text { kStoredDoc, kFullName };

template <const auto& C, Text kText, class Out>
constexpr void write(Out& out) {
  if constexpr (kText == Text::kStoredDoc) {
    stored_doc(C, out);
  } else {
    full_name(C, out);
  }
}

template <const auto& C, Text kText>
constexpr size_t length() {
  Counter counter;
  write<C, kText>(counter);
  return counter.length;
}

template <const auto& C, Text kText>
constexpr auto render() {
  Buffer<length<C, kText>() + 1> buffer;
  write<C, kText>(buffer);
  return buffer.chars;
}

}  // namespace text_detail

template <const auto& C>
inline constexpr auto kStoredDoc = text_detail::render<C, text_detail::Text::kStoredDoc>();

template <const auto& C>
inline constexpr auto kFullName = text_detail::render<C, text_detail::Text::kFullName>();

// ---- defaults ---------------------------------------------------------------

namespace default_detail {

constexpr bool digit(char c) { return c >= '0' && c <= '9'; }

constexpr uint64_t read_unsigned(const char* text) {
  if (!text || !digit(*text)) invalid_description();
  uint64_t value = 0;
  for (; digit(*text); ++text) value = value * 10 + static_cast<uint64_t>(*text - '0');
  if (*text) invalid_description();
  return value;
}

// A decimal such as "0.85" or "1e-6", correctly rounded: its digits form an
// integer below 2**53 and its power of ten is exact in a double (up to
// 1e22), so the one multiplication or division rounds once, as the
// compiler rounds the same literal.
constexpr double read_float(const char* text) {
  if (!text) invalid_description();
  uint64_t digits = 0;
  int exponent = 0;
  bool any = false, point = false;
  for (; digit(*text) || (*text == '.' && !point); ++text) {
    if (*text == '.') {
      point = true;
      continue;
    }
    digits = digits * 10 + static_cast<uint64_t>(*text - '0');
    if (digits >= (uint64_t{1} << 53)) invalid_description();
    exponent -= point ? 1 : 0;
    any = true;
  }
  if (*text == 'e' || *text == 'E') {
    ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    int written = static_cast<int>(read_unsigned(text));
    exponent += negative ? -written : written;
    while (*text) ++text;
  }
  if (!any || *text || exponent < -22 || exponent > 22) invalid_description();
  double power = 1.0;
  for (int i = 0; i < (exponent < 0 ? -exponent : exponent); ++i) power *= 10.0;
  return exponent < 0 ? static_cast<double>(digits) / power : static_cast<double>(digits) * power;
}

static_assert(read_float("0.85") == 0.85 && read_float("1e-6") == 1e-6 && read_float("2.5e3") == 2500.0);

}  // namespace default_detail

}  // namespace arborvane::py
