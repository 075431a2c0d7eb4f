// Argument matching and conversion, with the exact messages of every entry point.
#include "py/args.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace velto::py {

namespace {

std::string quoted(const char* name) { return std::string("'") + name + "'"; }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string name_list(const std::vector<const char*>& names) {
  if (names.size() == 1) return quoted(names[0]);
  if (names.size() == 2) return quoted(names[0]) + " and " + quoted(names[1]);
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i + 1 == names.size()) {
      out += "and ";
    }
    out += quoted(names[i]);
    if (i + 1 != names.size()) out += ", ";
  }
  return out;
}

[[noreturn]] void arity_error(const Signature& sig, const std::string& rest) {
  throw_error(PyExc_TypeError, std::string(sig.display_name) + " " + rest);
}

// Shared part of both forms: `out` already holds the positional arguments.
void match_keyword(const Signature& sig, Py_ssize_t nargs, PyObject* key, PyObject* value,
                   PyObject** out) {
  Py_ssize_t len = 0;
  const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
  if (k == nullptr) {
    PyErr_Clear();
    throw_error(PyExc_TypeError, std::string(sig.display_name) + " keywords must be strings");
  }
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (std::strlen(sig.names[i]) == static_cast<std::size_t>(len) &&
        std::memcmp(sig.names[i], k, static_cast<std::size_t>(len)) == 0) {
      if (static_cast<Py_ssize_t>(i) < nargs || out[i] != nullptr) {
        arity_error(sig, "got multiple values for argument " + quoted(sig.names[i]));
      }
      out[i] = value;
      return;
    }
  }
  arity_error(sig, "got an unexpected keyword argument '" +
                       std::string(k, static_cast<std::size_t>(len)) + "'");
}

void check_positional(const Signature& sig, Py_ssize_t nargs) {
  if (static_cast<std::size_t>(nargs) > sig.count) {
    // With optional parameters the count is a range: "takes from 0 to 1 positional ...".
    const std::string takes = sig.required < sig.count ? "from " + std::to_string(sig.required) +
                                                             " to " + std::to_string(sig.count)
                                                       : std::to_string(sig.count);
    arity_error(sig, "takes " + takes + " positional arguments but " + std::to_string(nargs) +
                         (nargs == 1 ? " was" : " were") + " given");
  }
}

void check_missing(const Signature& sig, PyObject** out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.names[i]);
  }
  if (missing.empty()) return;
  arity_error(sig, "missing " + std::to_string(missing.size()) + " required positional " +
                       (missing.size() == 1 ? "argument: " : "arguments: ") + name_list(missing));
}

}  // namespace

void match_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  check_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      match_keyword(sig, nargs, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out);
    }
  }
  check_missing(sig, out);
}

void match_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  check_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) match_keyword(sig, nargs, key, value, out);
  }
  check_missing(sig, out);
}

std::string cannot_convert(PyObject* obj, std::string_view target) {
  return "'" + type_name_of(obj) + "' object cannot be converted to '" + std::string(target) + "'";
}

void throw_argument_error(const char* name, std::string_view message) {
  throw_error(PyExc_TypeError, std::string("argument '") + name + "': " + std::string(message));
}

namespace {

// Re-raises the pending error of a conversion: a TypeError gets the argument prefix and
// keeps the original's cause; anything else goes on unchanged.
[[noreturn]] void throw_conversion_failure(const char* name, std::source_location loc) {
  PythonError original = PythonError::fetch(loc);
  if (!original.matches(PyExc_TypeError)) throw original;
  std::string message;
  if (original.value() != nullptr) str_of(original.value(), message);
  PythonError wrapped =
      PythonError::make(PyExc_TypeError, std::string("argument '") + name + "': " + message);
  if (original.value() != nullptr && wrapped.value() != nullptr) {
    PyObject* cause = PyException_GetCause(original.value());            // new reference or null
    if (cause != nullptr) PyException_SetCause(wrapped.value(), cause);  // steals
  }
  throw wrapped;
}

}  // namespace

std::string to_text(PyObject* obj, const char* name, std::source_location loc) {
  if (!PyUnicode_Check(obj)) throw_argument_error(name, cannot_convert(obj, "PyString"));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) throw_pending(loc);  // lone surrogates: the encoding error, unchanged
  return std::string(data, static_cast<std::size_t>(size));
}

bool to_bool(PyObject* obj, const char* name, std::source_location loc) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  // numpy's scalar, recognised by name so that numpy need not be importable.
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  Ref type_name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
  Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
  if (!type_name || !module) discard_pending(loc);
  if (type_name && module && PyUnicode_Check(type_name.get()) && PyUnicode_Check(module.get()) &&
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
      (PyUnicode_CompareWithASCIIString(type_name.get(), "bool_") == 0 ||
       PyUnicode_CompareWithASCIIString(type_name.get(), "bool") == 0)) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) throw_conversion_failure(name, loc);
    return truth == 1;
  }
  throw_argument_error(name, cannot_convert(obj, "PyBool"));
}

uint8_t to_u8(PyObject* obj, const char* name, std::source_location loc) {
  long value;
  if (PyLong_CheckExact(obj)) {
    value = PyLong_AsLong(obj);
  } else {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) throw_conversion_failure(name, loc);
    value = PyLong_AsLong(index.get());
  }
  if (value == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_conversion_failure(name, loc);
    PyErr_Clear();
  } else if (value >= 0 && value <= 255) {
    return static_cast<uint8_t>(value);
  }
  throw_error(PyExc_OverflowError, "out of range integral type conversion attempted");
}

float to_f32(PyObject* obj, const char* name, std::source_location loc) {
  double value = PyFloat_AsDouble(obj);
#ifdef PYPY_VERSION
  // PyPy's PyFloat_AsDouble, unlike CPython's (and unlike PyPy's own float()), does not
  // fall back to __index__.
  if (value == -1.0 && PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_TypeError) &&
      !PyFloat_Check(obj) && PyIndex_Check(obj)) {
    PyErr_Clear();
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) throw_conversion_failure(name, loc);
    value = PyLong_AsDouble(index.get());
  }
#endif
  if (value == -1.0 && PyErr_Occurred()) throw_conversion_failure(name, loc);
  return static_cast<float>(value);
}

std::optional<double> to_timeout(PyObject* obj, const char* name, std::source_location loc) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  double seconds;
  if (PyFloat_Check(obj)) {
    seconds = PyFloat_AsDouble(obj);
  } else if (PyLong_Check(obj) || PyIndex_Check(obj)) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) throw_conversion_failure(name, loc);
    seconds = PyLong_AsDouble(index.get());  // OverflowError past the float range
  } else {
    throw_argument_error(name, cannot_convert(obj, "PyFloat"));
  }
  if (seconds == -1.0 && PyErr_Occurred()) throw_conversion_failure(name, loc);
  if (!(seconds >= 0)) throw_error(PyExc_ValueError, "timeout must be a non-negative number");
  return seconds;
}

}  // namespace velto::py
