// Heap types from slot tables, their once-cells, and the instance layout they share.
#pragma once

#include <functional>
#include <new>
#include <source_location>
#include <span>
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

/// A process-wide type object: written once, by `create_classes` when its module is
/// initialised (and emptied again if that batch fails), then only read; never freed.
struct TypeCell {
  const char* class_name;
  /// Its PyType_Spec names the class "velto_protocol.<Class>"; the created type's name is bare.
  PyType_Spec* spec;
  /// The base class's cell, or null for `object`. Created before this one.
  TypeCell* base = nullptr;
  /// Stores the class attributes once every class of its batch exists (may be empty).
  void (*fill)(PyObject* type) = nullptr;
  /// Null until the batch that creates the class has succeeded as a whole.
  PyTypeObject* type = nullptr;

  /// The published type object. Every class exists from its module's import on, before any
  /// of its code can run, so an empty cell is a broken invariant: the internal failure
  /// "type object for <Class> is not created", reported at the caller's `loc`.
  PyTypeObject* require(std::source_location loc = std::source_location::current()) const {
    if (type == nullptr) not_created(loc);
    return type;
  }
  PyObject* object(std::source_location loc = std::source_location::current()) const {
    return reinterpret_cast<PyObject*>(require(loc));
  }

 private:
  [[noreturn]] void not_created(std::source_location loc) const;
};

/// Creates the classes in the order given (a base before the classes derived from it), then
/// stores their attributes in the same order, and publishes them only if all of that
/// succeeded: after a failure, of any kind, no cell of the batch holds a class. The error
/// of a class that cannot be created is RuntimeError "An error occurred while initializing
/// class <Class>" whose cause is the interpreter's; of attributes that cannot be stored, the
/// same whose cause is RuntimeError "An error occurred while initializing `<Class>.__dict__`",
/// caused in turn by the error met. Other failures (memory, internal) go on unchanged.
void create_classes(std::span<TypeCell* const> cells);

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

// ---- Reaching the value of an instance -------------------------------------------------

/// Why an object's value cannot be reached as an instance of a class.
enum class Refusal : uint8_t {
  kNone,       // it can
  kWrongType,  // not an instance of the class (or a subclass)
  kNoValue,    // an instance that holds no value (made without our constructor, or destroyed)
  kInUse,      // the use asked for conflicts with the use already taken
};

/// The one rule every reader of an instance follows, in this order: the class, a value
/// held, the use asked for free.
template <typename T, Use U>
Refusal check_instance(PyObject* obj, TypeCell& cell) {
  if (!PyObject_TypeCheck(obj, cell.require())) return Refusal::kWrongType;
  const BorrowFlag& flag = instance_of<T>(obj)->flag;
  if (!flag.has_value()) return Refusal::kNoValue;
  if (U == Use::Shared && flag.exclusive()) return Refusal::kInUse;
  if (U == Use::Exclusive && flag.in_use()) return Refusal::kInUse;
  return Refusal::kNone;
}

/// The exception a refusal stands for: TypeError "'<type>' object cannot be converted to
/// '<Class>'" or "<Class> object holds no value", each after "argument '<param>': " when the
/// object is an argument (`param` not null); RuntimeError "Already borrowed" or "Already
/// mutably borrowed" for a conflict, never prefixed.
struct RefusalError {
  PyObject* type;
  const char* type_name;  // "TypeError", "RuntimeError"
  std::string message;
};
RefusalError refusal_error(Refusal why, PyObject* obj, const TypeCell& cell, Use use,
                           const char* param = nullptr);
[[noreturn]] void throw_refusal(Refusal why, PyObject* obj, const TypeCell& cell, Use use,
                                const char* param = nullptr);

/// The instance behind `obj` once the rule has let it through; its exception otherwise.
template <typename T, Use U>
Instance<T>* reach(PyObject* obj, TypeCell& cell, const char* param = nullptr) {
  const Refusal why = check_instance<T, U>(obj, cell);
  if (why != Refusal::kNone) throw_refusal(why, obj, cell, U, param);
  return instance_of<T>(obj);
}

/// `obj`'s value under use `U` for the guard's lifetime (`self` of a method, getter or slot).
template <typename T, Use U>
class Held {
 public:
  Held(PyObject* obj, TypeCell& cell) : inst_(reach<T, U>(obj, cell)), use_(inst_->flag) {}
  T& value() { return inst_->value; }

 private:
  Instance<T>* inst_;
  UseGuard<U> use_;
};

/// Copies the value of `obj` under shared use into `out` if the rule lets it through.
template <typename T>
[[nodiscard]] Refusal try_copy(PyObject* obj, TypeCell& cell, T& out) {
  const Refusal why = check_instance<T, Use::Shared>(obj, cell);
  if (why == Refusal::kNone) {
    Instance<T>* inst = instance_of<T>(obj);
    UseGuard<Use::Shared> use(inst->flag);
    out = inst->value;
  }
  return why;
}

/// The value of an argument that must be an instance of the cell's class (or a subclass),
/// copied under shared use; otherwise the refusal's exception naming the parameter.
template <typename T>
T copy_arg(PyObject* obj, TypeCell& cell, const char* param) {
  T out{};
  const Refusal why = try_copy(obj, cell, out);
  if (why != Refusal::kNone) throw_refusal(why, obj, cell, Use::Shared, param);
  return out;
}

}  // namespace velto::py
