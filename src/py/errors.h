// Python exceptions as C++ values, operation errors, and internal failures at the boundary.
#pragma once

#include <source_location>
#include <string>
#include <string_view>
#include <variant>

#include "base/error.h"
#include "base/panic.h"
#include "py/ref.h"

namespace velto::py {

/// A Python exception taken off the interpreter's error indicator (type, value, traceback).
/// Thrown inside the binding layer to mean "raise exactly this"; the entry point restores it.
class PythonError {
 public:
  /// Takes the pending exception, normalised. With none pending, a SystemError stands in.
  /// A PanicException coming back from Python code is not an ordinary error: it is
  /// reported and continued as an internal failure (throws base::Panic).
  static PythonError fetch(std::source_location loc = std::source_location::current());
  /// Takes the pending exception without the PanicException check.
  static PythonError fetch_raw();
  /// Builds an exception of `type` with one string argument.
  static PythonError make(PyObject* type, std::string_view message);

  /// Puts the exception back on the error indicator (this object is emptied).
  void restore();
  PyObject* type() const { return type_.get(); }
  PyObject* value() const { return value_.get(); }
  bool matches(PyObject* exc_type) const;
  /// "<qualified type name>: <str(value)>", with "<exception str() failed>" when str fails.
  std::string describe() const;
  /// True for a PanicException.
  bool is_panic() const;
  /// A PanicException's message (its first argument, or its str()).
  std::string panic_message() const;
  /// The traceback module's text of the exception ("Traceback (most recent call last):
  /// ...", ending in a line feed); empty when it cannot be made. Never raises, never exits
  /// (unlike PyErr_PrintEx, which ends the interpreter on SystemExit).
  std::string format() const;

 private:
  Ref type_, value_, traceback_;
};

/// The two-line notice written before a PanicException that Python code raised is continued
/// as an internal failure, followed by `traceback` (the exception's formatted text).
std::string continued_panic_notice(std::string_view traceback);

/// Writes the pending exception with its traceback to standard error (the text the
/// interpreter itself prints) and clears it. Unlike PyErr_Print, a SystemExit does not end
/// the interpreter here.
void print_pending();

/// Drops the pending Python error where a failed lookup has a fallback. A PanicException
/// is never dropped: it is reported and continued as an internal failure (throws).
void discard_pending(std::source_location loc = std::source_location::current());

/// Throws the pending Python error (after a C-API call returned its error value).
[[noreturn]] void throw_pending(std::source_location loc = std::source_location::current());
/// Throws a new exception of `type` with `message`.
[[noreturn]] void throw_error(PyObject* type, std::string_view message);

/// Wraps a C-API result that must not fail: a null becomes the pending error, thrown.
inline Ref check(PyObject* p, std::source_location loc = std::source_location::current()) {
  if (p == nullptr) throw_pending(loc);
  return Ref::steal(p);
}
/// Wraps a C-API result whose null is a broken invariant: an internal failure.
Ref require(PyObject* p, std::string_view what,
            std::source_location loc = std::source_location::current());
/// A Python object that must stand for a C++ value and does not: the internal failure
/// "Python data failed to be bound: <error_text>", reported at the caller's `loc`.
[[noreturn]] void binding_failed(std::string_view error_text,
                                 std::source_location loc = std::source_location::current());

/// An operation's error as the entry point sees it: an error value (message and causes,
/// raised as RuntimeError) or a wrapped Python exception (raised unchanged).
class Error {
 public:
  Error(base::Error e) : v_(std::move(e)) {}  // NOLINT: implicit by design
  Error(PythonError e) : v_(std::move(e)) {}  // NOLINT
  /// Turns the error into the pending exception.
  void raise() &&;

 private:
  std::variant<base::Error, PythonError> v_;
};

/// Runs the pending signal handlers (after a wait that a signal interrupted); throws the
/// exception of a handler that raised (Ctrl-C: KeyboardInterrupt). Caller holds the lock.
void run_signal_handlers(std::source_location loc = std::source_location::current());

/// str(obj) as UTF-8; false (with no error pending) when it cannot be made.
bool str_of(PyObject* obj, std::string& out);

/// The qualified name of an object's type, or "<failed to extract type name>".
std::string type_name_of(PyObject* obj);

/// The PanicException class, created once (null only if it cannot be created).
PyObject* panic_exception_type();

/// Reports an internal failure on standard error and raises it as PanicException.
/// Aborts the process if even that is impossible.
void raise_panic(const base::Panic& panic);
/// Reports an internal failure met while destroying `dying` (at reference count zero, in
/// its dealloc) and hands it to the interpreter's unraisable hook with the object as
/// context. False when the hook kept the object alive: then its memory must not be freed.
[[nodiscard]] bool unraisable_panic(const base::Panic& panic, PyObject* dying);

}  // namespace velto::py
