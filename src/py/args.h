// Argument matching and conversion, with the exact messages of every entry point.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

#include "py/errors.h"

namespace velto::py {

/// A callable's parameter list: its display name ("ComSocketServer.on()") and the names of
/// its parameters, all positional-or-keyword. The first `required` must be given; the
/// rest are optional and come out as null when not given.
struct Signature {
  const char* display_name;
  const char* const* names;
  std::size_t count;
  std::size_t required;
};

template <std::size_t N>
struct Params {
  const char* display_name;
  std::array<const char*, N> names;
  /// How many of the parameters, from the first, are required.
  std::size_t required = N;
  constexpr Signature signature() const { return {display_name, names.data(), N, required}; }
};

namespace detail {

// The name a callable's docstring starts with, read from its display name:
// "ComSocketServer.callback()" gives "callback", "ComSocketServer.__new__()" the class name
// "ComSocketServer", "on()" gives "on".
constexpr std::string_view doc_name(std::string_view display) {
  if (!display.ends_with("()")) throw "a display name ends with ()";
  display.remove_suffix(2);
  constexpr std::string_view kNew = ".__new__";
  if (display.ends_with(kNew)) {
    display.remove_suffix(kNew.size());
    return display;
  }
  const std::size_t dot = display.rfind('.');
  return dot == std::string_view::npos ? display : display.substr(dot + 1);
}

// Writes the docstring "<name>(<$self, >a, b=None)\n--\n\n" to `out` (when not null) and
// returns its length. Optional parameters show their default, None.
template <std::size_t N>
constexpr std::size_t write_doc(const Params<N>& p, bool method, char* out) {
  std::size_t n = 0;
  auto put = [&](std::string_view text) {
    for (char c : text) {
      if (out != nullptr) out[n] = c;
      ++n;
    }
  };
  put(doc_name(p.display_name));
  put("(");
  if (method) put(N == 0 ? "$self" : "$self, ");
  for (std::size_t i = 0; i < N; ++i) {
    if (i != 0) put(", ");
    put(p.names[i]);
    if (i >= p.required) put("=None");
  }
  put(")\n--\n\n");
  return n;
}

template <const auto& P, bool Method>
struct DocText {
  static constexpr std::size_t kLength = write_doc(P, Method, nullptr);
  static constexpr std::array<char, kLength + 1> kText = [] {
    std::array<char, kLength + 1> text{};
    write_doc(P, Method, text.data());
    return text;
  }();
};

}  // namespace detail

/// The docstring that gives a method taking the parameters `P` its signature text:
/// "callback($self, id, status, data)\n--\n\n". `P` is a constant with static storage, the
/// same one the method matches its arguments with, so each name is written once.
template <const auto& P>
inline constexpr const char* method_doc = detail::DocText<P, true>::kText.data();
/// The same for a function or static method ("on(server)\n--\n\n") and for a class, from its
/// constructor's parameters ("ComSocketServer(address)\n--\n\n").
template <const auto& P>
inline constexpr const char* function_doc = detail::DocText<P, false>::kText.data();

/// Borrowed argument pointers in parameter order; null for an optional one not given.
template <std::size_t N>
using Args = std::array<PyObject*, N>;

/// Matches vectorcall-style arguments (keyword values follow the positional ones) to the
/// parameters. Throws the TypeError of the first arity problem.
void match_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out);
/// The same for a tuple and an optional dict (constructors).
void match_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

template <std::size_t N>
Args<N> match(const Params<N>& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<N> out{};
  match_args(p.signature(), args, nargs, kwnames, out.data());
  return out;
}
template <std::size_t N>
Args<N> match(const Params<N>& p, PyObject* args, PyObject* kwargs) {
  Args<N> out{};
  match_args(p.signature(), args, kwargs, out.data());
  return out;
}

// Conversions. Each names its parameter: a failed conversion's TypeError is raised as
// "argument '<name>': <message>" with the original's cause; other exceptions unchanged.
// A PanicException met on the way is reported at the caller's `loc`.

/// A str (or subclass), as UTF-8.
std::string to_text(PyObject* obj, const char* name,
                    std::source_location loc = std::source_location::current());
/// True or False, or numpy's boolean scalar.
bool to_bool(PyObject* obj, const char* name,
             std::source_location loc = std::source_location::current());
/// An int or an object with __index__, 0 to 255.
uint8_t to_u8(PyObject* obj, const char* name,
              std::source_location loc = std::source_location::current());
/// Anything the interpreter converts to float, narrowed to 32 bits.
float to_f32(PyObject* obj, const char* name,
             std::source_location loc = std::source_location::current());
/// A time in seconds: None (or not given, null) is no limit; an int, float or object with
/// __index__ that is not negative. Negative or NaN: ValueError "timeout must be a
/// non-negative number"; another type: the argument TypeError (target 'PyFloat').
std::optional<double> to_timeout(PyObject* obj, const char* name,
                                 std::source_location loc = std::source_location::current());

/// The TypeError of a failed conversion: "'<type>' object cannot be converted to '<target>'".
std::string cannot_convert(PyObject* obj, std::string_view target);
/// Throws TypeError "argument '<name>': <message>".
[[noreturn]] void throw_argument_error(const char* name, std::string_view message);

}  // namespace velto::py
