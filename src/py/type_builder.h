// Heap types from slot tables, their once-cells, and the instance layout they share.
#pragma once

#include <functional>
#include <new>
#include <utility>

#include "base/forced_unwind.h"
#include "py/args.h"
#include "py/borrow.h"
#include "py/errors.h"

namespace velto::py {

/// The layout of every instance of our classes: the interpreter's header, the access
/// counter (unused by the immutable widget family) and the C++ value, built in place.
template <typename T>
struct Instance {
  PyObject_HEAD BorrowFlag flag;
  T value;
};

template <typename T>
Instance<T>* instance_of(PyObject* self) {
  return reinterpret_cast<Instance<T>*>(self);
}

/// Type flags of our classes: never a dict or weakref slot; immutable where the
/// interpreter can say so.
#if defined(Py_TPFLAGS_IMMUTABLETYPE) && !defined(PYPY_VERSION)
inline constexpr unsigned long kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
inline constexpr unsigned long kTypeFlags = Py_TPFLAGS_DEFAULT;
#endif

/// A process-wide type object, created on first use and never freed.
struct TypeCell {
  const char* class_name;
  /// Its PyType_Spec names the class "velto_protocol.<Class>"; the created type's name is bare.
  PyType_Spec* spec;
  /// The base class's cell, or null for `object`.
  TypeCell* base = nullptr;
  /// Stores the class attributes right after creation (may be empty). The cell already
  /// holds the new class meanwhile; if this throws, the cell is emptied again.
  void (*fill)(PyObject* type) = nullptr;
  PyTypeObject* type = nullptr;

  /// The type object; creates it when needed. Failure throws the RuntimeError
  /// "An error occurred while initializing class <Class>" (with its cause).
  PyTypeObject* get();
  /// The same for operations outside the import: failure is printed to standard error and
  /// becomes the internal failure "failed to create type object for <Class>".
  PyTypeObject* require();
  PyObject* object() { return reinterpret_cast<PyObject*>(get()); }
};

/// Stores a class attribute while the class is being created (throws on failure).
void set_class_attr(PyObject* type, const char* name, PyObject* value);

/// tp_new of classes without constructor.
PyObject* no_constructor_new(PyTypeObject*, PyObject*, PyObject*);

/// The first step of every constructor: `requested`, the class that `<Class>.__new__` was
/// asked to build, must be the cell's class, or a subclass of it where the class may be
/// subclassed. Otherwise throws the interpreter's TypeError ("X.__new__(Y): Y is not a
/// subtype of X"). CPython checks this before calling the slot; PyPy does not, and an
/// instance built with another class's layout corrupts memory.
void check_requested_class(PyTypeObject* requested, TypeCell& cell);

/// Allocates an instance of `type` through its allocation slot and builds the value.
template <typename T, typename... A>
Ref new_instance(PyTypeObject* type, A&&... args) {
  Ref obj = check(type->tp_alloc(type, 0));
  auto* inst = instance_of<T>(obj.get());
  new (&inst->flag) BorrowFlag();
  try {
    new (&inst->value) T(std::forward<A>(args)...);
  } catch (...) {
    // The value was never built: free the memory without running our dealloc.
    PyObject* raw = obj.release();
    type->tp_free(raw);
    Py_DECREF(type);
    throw;
  }
  return obj;
}

/// tp_dealloc: destroys the value (it was built with placement new), frees the memory and
/// drops the instance's reference to its heap type. A failure cannot be raised here: it
/// goes to the unraisable hook. Not noexcept: destroying the value can run Python code,
/// and a thread ended at exit leaves through here (see gil.h).
template <typename T>
VELTO_CATCHES_FORCED_UNWIND void instance_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  if (PyType_IS_GC(tp)) PyObject_GC_UnTrack(self);
  auto* inst = instance_of<T>(self);
  if (inst->flag.has_value()) {
    bool free_memory = true;
    try {
      inst->value.~T();
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (const base::Panic& p) {
      free_memory = unraisable_panic(p, self);
    } catch (...) {
      free_memory = unraisable_panic(base::Panic("destructor failed"), self);
    }
    if (!free_memory) {
      // The unraisable hook kept a reference: the object lives on without its value.
      inst->flag.mark_destroyed();
      return;
    }
  }
  tp->tp_free(self);
  Py_DECREF(tp);
}

/// Checks that `self` is an instance of the cell's class (or a subclass).
template <typename T>
Instance<T>* self_as(PyObject* self, TypeCell& cell) {
  PyTypeObject* type = cell.require();
  if (!PyObject_TypeCheck(self, type)) {
    throw_error(PyExc_TypeError, "'" + type_name_of(self) + "' object cannot be converted to '" +
                                     cell.class_name + "'");
  }
  Instance<T>* inst = instance_of<T>(self);
  if (!inst->flag.has_value()) {
    throw_error(PyExc_TypeError, std::string(cell.class_name) + " object holds no value");
  }
  return inst;
}

/// The value of an argument that must be an instance of the cell's class (or a subclass),
/// copied under shared use; otherwise the TypeError naming the parameter.
template <typename T>
T copy_arg(PyObject* obj, TypeCell& cell, const char* param) {
  if (!PyObject_TypeCheck(obj, cell.require())) {
    throw_argument_error(param, cannot_convert(obj, cell.class_name));
  }
  Instance<T>* inst = instance_of<T>(obj);
  SharedBorrow use(inst->flag);
  return inst->value;
}

}  // namespace velto::py
