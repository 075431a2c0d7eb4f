// The one include of the interpreter's C API, with the few shims that PyPy 3.9 needs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velto::py {

/// True once the interpreter has begun ending the process (or has ended it).
inline bool interpreter_ending() { return _Py_IsFinalizing() != 0; }

namespace detail {
/// Set while this thread has given the interpreter lock away by a call of ours (a serving
/// thread outside its holds, any thread in `without_gil`'s wait); cleared once the call
/// that takes it back has returned, so a thread ended inside that call keeps it set.
inline thread_local bool tl_without_lock = false;
/// Set on the thread that runs the exit functions, the one that then ends the interpreter.
inline thread_local bool tl_ends_interpreter = false;
}  // namespace detail

/// True when this thread holds the interpreter lock, by what the thread knows of itself.
/// False for a thread being unwound at exit (see gil.h): its guards and reference owners
/// then leave what they hold to the process's exit.
///
/// The interpreter is not asked: CPython's PyGILState_Check() answers 1 for every thread
/// once it has deleted its thread-state key late in its end. Once it has begun to end,
/// only the thread that ends it can hold the lock; any other is ended when it asks for it,
/// also from inside a handler's pure-Python loop, whose unwind then runs our code that had
/// the lock a moment before. PyPy never ends a thread so: it leaves it blocked instead.
inline bool holds_lock() {
  if (detail::tl_without_lock) return false;
#ifndef PYPY_VERSION
  if (interpreter_ending()) return detail::tl_ends_interpreter;
#endif
  return true;
}

/// Signature of METH_FASTCALL | METH_KEYWORDS functions. PyPy declares the argument array
/// without const; we always define with const and cast through `void (*)(void)`.
using FastCallKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <FastCallKw F>
inline PyCFunction as_pycfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(F));
}

}  // namespace velto::py
