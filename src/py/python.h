// The one include of the interpreter's C API, with the few shims that PyPy 3.9 needs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velto::py {

/// True once the interpreter has begun ending the process (or has ended it).
inline bool interpreter_ending() { return _Py_IsFinalizing() != 0; }

/// True when the interpreter may be used from here: it is not ending, or this thread holds
/// its lock. False for a thread being unwound at exit (see gil.h), whose guards and
/// reference owners then leave what they hold to the process's exit. PyPy never unwinds a
/// thread at exit (it leaves it blocked in its request for the lock), so there it is always
/// true, and costs no call into the interpreter.
inline bool python_usable() {
#ifdef PYPY_VERSION
  return true;
#else
  return !interpreter_ending() || PyGILState_Check() != 0;
#endif
}

/// Signature of METH_FASTCALL | METH_KEYWORDS functions. PyPy declares the argument array
/// without const; we always define with const and cast through `void (*)(void)`.
using FastCallKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <FastCallKw F>
inline PyCFunction as_pycfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(F));
}

}  // namespace velto::py
