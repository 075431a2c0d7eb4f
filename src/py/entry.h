// The entry-point trampoline: every callable, slot and getter of the module runs through it.
#pragma once

#include <new>

#include "base/forced_unwind.h"
#include "py/errors.h"
#include "py/release_queue.h"

namespace velto::py {

/// Runs `body` (which returns a Ref or throws) as an entry point:
///   1. carry out queued reference releases;
///   2. run the body: it matches arguments, checks `self` and takes its use, converts the
///      arguments, runs the operation and gives the use back (guards, in that order);
///   3. turn the outcome into a new reference, or into the pending exception:
///      PythonError as is, an operation Error by its rule, an internal failure (Panic,
///      or any other C++ exception) as PanicException after its report.
/// The catch ladder lives here only. A thread that the interpreter ends at exit leaves
/// through it by a forced unwind, which passes on (see gil.h): so neither this nor the
/// callbacks built on it are noexcept.
template <typename Body>
VELTO_CATCHES_FORCED_UNWIND PyObject* run_entry(Body&& body) {
  drain_releases();
  try {
    return body().release();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (PythonError& e) {
    e.restore();
  } catch (Error& e) {
    std::move(e).raise();
  } catch (const base::Panic& p) {
    raise_panic(p);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(base::Panic(e.what()));
  } catch (...) {
    raise_panic(base::Panic("unknown C++ exception"));
  }
  return nullptr;
}

/// The same for slots that return an int (0 success, -1 failure).
template <typename Body>
int run_entry_int(Body&& body) {
  PyObject* r = run_entry([&] {
    body();
    return Ref::borrow(Py_None);
  });
  if (r == nullptr) return -1;
  Py_DECREF(r);
  return 0;
}

/// None, as a new reference.
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

}  // namespace velto::py
