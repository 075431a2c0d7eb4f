// Heap types from slot tables, their once-cells, and class attributes.
#include "py/type_builder.h"

#include "py/release_queue.h"

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
    bases = Ref::steal(PyTuple_Pack(1, base_type));
    if (!bases) throw_with_cause(failure);
  }
  Ref created = Ref::steal(PyType_FromSpecWithBases(spec, bases.get()));
  if (!created) throw_with_cause(failure);
  // Our names carry no module prefix; __module__ still says where the class lives.
  Ref module_name = Ref::steal(PyUnicode_FromString("velto_protocol"));
  try {
    if (!module_name) throw_pending();
    set_class_attr(created.get(), "__module__", module_name.get());
    if (fill != nullptr) fill(created.get());
  } catch (PythonError&) {
    throw_with_cause(failure);
  }
  type = reinterpret_cast<PyTypeObject*>(created.release());
  return type;
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
  if (rc != 0) {
    std::string cls = reinterpret_cast<PyTypeObject*>(type)->tp_name;
    auto dot = cls.rfind('.');
    if (dot != std::string::npos) cls = cls.substr(dot + 1);
    PythonError cause = PythonError::fetch();
    PythonError error = PythonError::make(
        PyExc_RuntimeError, "An error occurred while initializing `" + cls + ".__dict__`");
    if (error.value() != nullptr && cause.value() != nullptr) {
      PyException_SetCause(error.value(), Ref::borrow(cause.value()).release());
    }
    throw error;
  }
}

PyObject* no_constructor_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
  drain_releases();
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

}  // namespace velto::py
