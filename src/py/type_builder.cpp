// Heap types from slot tables, their once-cells, and class attributes.
#include "py/type_builder.h"

#include "py/release_queue.h"

#include <cstring>
#include <string>

namespace velto::py {

namespace {

// Raises `outer` (a RuntimeError) with the pending error as its cause.
[[noreturn]] void throw_with_cause(const std::string& outer) {
  PythonError cause = PythonError::fetch();
  PythonError error = PythonError::make(PyExc_RuntimeError, outer);
  if (error.value() != nullptr && cause.value() != nullptr) {
    PyException_SetCause(error.value(), Ref::borrow(cause.value()).release());
  }
  throw error;
}

}  // namespace

PyTypeObject* TypeCell::get() {
  if (type != nullptr) return type;
  const std::string failure = std::string("An error occurred while initializing class ") +
                              class_name;
  Ref bases;
  if (base != nullptr) {
    PyObject* base_type = base->object();
    if (type != nullptr) return type;  // the base's class attributes made this class
    bases = Ref::steal(PyTuple_Pack(1, base_type));
    if (!bases) throw_with_cause(failure);
  }
  Ref created = Ref::steal(PyType_FromSpecWithBases(spec, bases.get()));
  if (!created) throw_with_cause(failure);
#ifndef PYPY_VERSION
  // The PyType_Spec's dotted name gives the class its __module__; the type's own name stays bare
  // (PyPy makes it bare by itself). The text lives in the type's own copy of the name.
  auto* tp = reinterpret_cast<PyTypeObject*>(created.get());
  if (const char* dot = std::strrchr(tp->tp_name, '.')) tp->tp_name = dot + 1;
#endif
  // Published before the class attributes are made, so that classes made for them can
  // derive from this one; withdrawn if they fail.
  type = reinterpret_cast<PyTypeObject*>(created.get());
  if (fill != nullptr) {
    try {
      fill(created.get());
    } catch (PythonError& met) {
      type = nullptr;
      // Class attributes that could not be computed or stored: two levels of context.
      PythonError inner = PythonError::make(
          PyExc_RuntimeError,
          std::string("An error occurred while initializing `") + class_name + ".__dict__`");
      if (inner.value() != nullptr && met.value() != nullptr) {
        PyException_SetCause(inner.value(), Ref::borrow(met.value()).release());
      }
      inner.restore();
      throw_with_cause(failure);
    }
  }
  return reinterpret_cast<PyTypeObject*>(created.release());
}

PyTypeObject* TypeCell::require() {
  if (type != nullptr) return type;
  try {
    return get();
  } catch (PythonError& e) {
    e.restore();
    PyErr_Print();
    throw base::Panic(std::string("failed to create type object for ") + class_name);
  }
}

void set_class_attr(PyObject* type, const char* name, PyObject* value) {
  int rc;
#if defined(Py_TPFLAGS_IMMUTABLETYPE) && !defined(PYPY_VERSION)
  // Immutable types refuse setattr, even from us: write the dict while the class is new.
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type);
  rc = PyDict_SetItemString(tp->tp_dict, name, value);
  PyType_Modified(tp);
#else
  rc = PyObject_SetAttrString(type, name, value);
#endif
  if (rc != 0) throw_pending();
}

PyObject* no_constructor_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
  drain_releases();
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

}  // namespace velto::py
