// Heap types from slot tables, their once-cells, and class attributes.
#include "py/type_builder.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "py/entry.h"
#include "py/release_queue.h"

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

bool may_be_subclassed(const TypeCell& cell) {
  return (cell.spec->flags & Py_TPFLAGS_BASETYPE) != 0;
}

#ifdef PYPY_VERSION
// PyPy lets Python code derive from any extension class and gives every instance a
// dictionary, whatever the class's flags say. The two functions below give our classes back
// the rules the flags state, with the interpreter's own texts.

// __init_subclass__ of a class that may not be subclassed (bound to that class): refuses
// the class statement that derives from it.
PyObject* refuse_subclass(PyObject* base, PyObject*, PyObject*) {
  return run_entry([&]() -> Ref {
    throw_error(PyExc_TypeError, std::string("type '") +
                                     reinterpret_cast<PyTypeObject*>(base)->tp_name +
                                     "' is not an acceptable base type");
  });
}

PyMethodDef refuse_subclass_def = {
    "__init_subclass__",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(refuse_subclass)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

// Whether `type` or one of its bases has a property `name` in its getset table.
bool defines_property(PyTypeObject* type, const std::string& name) {
  for (PyTypeObject* t = type; t != nullptr; t = t->tp_base) {
    for (PyGetSetDef* g = t->tp_getset; g != nullptr && g->name != nullptr; ++g) {
      if (name == g->name) return true;
    }
  }
  return false;
}

// Whether a class in `type`'s method resolution order has `name` in its namespace (the
// values are not touched: PyPy cannot hand some descriptors to C).
bool class_defines(PyTypeObject* type, PyObject* name) {
  Ref mro = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__mro__"));
  Ref classes = check(PySequence_Fast(mro.get(), "__mro__ is not a sequence"));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(classes.get()); ++i) {
    PyObject* cls = PySequence_Fast_GET_ITEM(classes.get(), i);
    Ref ns = check(PyObject_GetAttrString(cls, "__dict__"));
    int found = PySequence_Contains(ns.get(), name);
    if (found < 0) throw_pending();
    if (found == 1) return true;
  }
  return false;
}

// tp_setattro: an attribute the class defines as a data descriptor (a read-only property)
// keeps the interpreter's own behaviour; anything else is refused as on an instance without
// a dictionary.
int set_existing_attribute_only(PyObject* self, PyObject* name, PyObject* value) {
  return run_entry_int([&] {
    const char* type_name = Py_TYPE(self)->tp_name;
    if (!PyUnicode_Check(name)) {
      throw_error(PyExc_TypeError, "attribute name must be string");
    }
    std::string attr;
    str_of(name, attr);
    if (defines_property(Py_TYPE(self), attr)) {
      if (PyObject_GenericSetAttr(self, name, value) != 0) throw_pending();
      return;
    }
    if (!class_defines(Py_TYPE(self), name)) {
      throw_error(PyExc_AttributeError,
                  std::string("'") + type_name + "' object has no attribute '" + attr + "'");
    }
    throw_error(PyExc_AttributeError,
                std::string("'") + type_name + "' object attribute '" + attr + "' is read-only");
  });
}

// A copy of the class's type description whose slot table also holds the attribute guard.
// The table is never freed: the interpreter may keep pointers into it.
PyType_Spec with_attribute_guard(const PyType_Spec& spec) {
  auto* slots = new std::vector<PyType_Slot>();
  for (const PyType_Slot* s = spec.slots; s->slot != 0; ++s) slots->push_back(*s);
  slots->push_back({Py_tp_setattro, reinterpret_cast<void*>(set_existing_attribute_only)});
  slots->push_back({0, nullptr});
  PyType_Spec guarded = spec;
  guarded.slots = slots->data();
  return guarded;
}

void refuse_subclasses(PyObject* type) {
  Ref function = check(PyCMethod_New(&refuse_subclass_def, type, nullptr, nullptr));
  Ref method = check(PyClassMethod_New(function.get()));
  set_class_attr(type, "__init_subclass__", method.get());
}
#endif

}  // namespace

RefusalError refusal_error(Refusal why, PyObject* obj, const TypeCell& cell, Use use,
                           const char* param) {
  if (why == Refusal::kInUse) return {PyExc_RuntimeError, "RuntimeError", conflict_message(use)};
  std::string message =
      param == nullptr ? std::string() : std::string("argument '") + param + "': ";
  if (why == Refusal::kNoValue) {
    message += std::string(cell.class_name) + " object holds no value";
  } else {
    message += cannot_convert(obj, cell.class_name);
  }
  return {PyExc_TypeError, "TypeError", std::move(message)};
}

void throw_refusal(Refusal why, PyObject* obj, const TypeCell& cell, Use use, const char* param) {
  RefusalError error = refusal_error(why, obj, cell, use, param);
  throw_error(error.type, error.message);
}

void check_requested_class(PyTypeObject* requested, TypeCell& cell) {
  PyTypeObject* own = cell.require();
  const std::string prefix = std::string(own->tp_name) + ".__new__(";
  if (!PyType_Check(reinterpret_cast<PyObject*>(requested))) {
    throw_error(PyExc_TypeError,
                prefix + "X): X is not a type object (" + Py_TYPE(requested)->tp_name + ")");
  }
  if (requested == own) return;
  const std::string name = requested->tp_name;
  if (!PyType_IsSubtype(requested, own)) {
    throw_error(PyExc_TypeError,
                prefix + name + "): " + name + " is not a subtype of " + own->tp_name);
  }
  if (!may_be_subclassed(cell)) {
    throw_error(PyExc_TypeError,
                prefix + name + ") is not safe: " + own->tp_name + " may not be subclassed");
  }
}

namespace {

// The class of one cell, not filled and not published yet.
Ref create_class(TypeCell& cell) {
  const std::string failure =
      std::string("An error occurred while initializing class ") + cell.class_name;
  Ref bases;
  if (cell.base != nullptr) {
    if (cell.base->type == nullptr) {
      throw base::Panic(std::string("class ") + cell.class_name + " is created before its base " +
                        cell.base->class_name);
    }
    bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(cell.base->type)));
    if (!bases) throw_with_cause(failure);
  }
#ifdef PYPY_VERSION
  PyType_Spec guarded = with_attribute_guard(*cell.spec);
  Ref created = Ref::steal(PyType_FromSpecWithBases(&guarded, bases.get()));
#else
  Ref created = Ref::steal(PyType_FromSpecWithBases(cell.spec, bases.get()));
#endif
  if (!created) throw_with_cause(failure);
#ifndef PYPY_VERSION
  // The PyType_Spec's dotted name gives the class its __module__; the type's own name stays bare
  // (PyPy makes it bare by itself). The text lives in the type's own copy of the name.
  auto* tp = reinterpret_cast<PyTypeObject*>(created.get());
  if (const char* dot = std::strrchr(tp->tp_name, '.')) tp->tp_name = dot + 1;
#endif
  return created;
}

// Stores the class attributes of a created class.
void fill_class(TypeCell& cell) {
  try {
#ifdef PYPY_VERSION
    if (!may_be_subclassed(cell)) refuse_subclasses(reinterpret_cast<PyObject*>(cell.type));
#endif
    if (cell.fill != nullptr) cell.fill(reinterpret_cast<PyObject*>(cell.type));
  } catch (PythonError& met) {
    // Class attributes that could not be computed or stored: two levels of context.
    PythonError inner = PythonError::make(
        PyExc_RuntimeError,
        std::string("An error occurred while initializing `") + cell.class_name + ".__dict__`");
    if (inner.value() != nullptr && met.value() != nullptr) {
      PyException_SetCause(inner.value(), Ref::borrow(met.value()).release());
    }
    inner.restore();
    throw_with_cause(std::string("An error occurred while initializing class ") + cell.class_name);
  }
}

}  // namespace

void create_classes(std::span<TypeCell* const> cells) {
  // Each class goes into its cell as soon as it exists, so that the classes derived from it
  // and the attributes of the others can reach it; the cells are emptied again, and the
  // classes dropped, if anything in the batch fails.
  std::vector<TypeCell*> made;
  made.reserve(cells.size());
  try {
    for (TypeCell* cell : cells) {
      if (cell->type != nullptr) {
        throw base::Panic(std::string("class ") + cell->class_name + " is created twice");
      }
      cell->type = reinterpret_cast<PyTypeObject*>(create_class(*cell).release());
      made.push_back(cell);
    }
    for (TypeCell* cell : cells) fill_class(*cell);
  } catch (...) {
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
      Ref::steal(reinterpret_cast<PyObject*>(std::exchange((*it)->type, nullptr)));  // dropped
    }
    throw;
  }
}

void TypeCell::not_created(std::source_location loc) const {
  throw base::Panic(std::string("type object for ") + class_name + " is not created", loc);
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

PyObject* no_constructor_new(PyTypeObject*, PyObject*, PyObject*) {
  drain_releases();
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

}  // namespace velto::py
