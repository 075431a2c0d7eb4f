// The one include of the interpreter's C API, with the few shims that PyPy 3.9 needs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velto::py {

/// Signature of METH_FASTCALL | METH_KEYWORDS functions. PyPy declares the argument array
/// without const; we always define with const and cast through `void (*)(void)`.
using FastCallKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <FastCallKw F>
inline PyCFunction as_pycfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(F));
}

}  // namespace velto::py
