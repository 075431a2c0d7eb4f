// Python exceptions as C++ values, operation errors, and internal failures at the boundary.
#include "py/errors.h"

#include <cstdlib>

namespace velto::py {

namespace {

// Created on the first internal failure, never freed. Read and written under the lock.
PyObject* g_panic_exception = nullptr;

std::string utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return {};
  }
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

bool str_of(PyObject* obj, std::string& out) {
  Ref s = Ref::steal(PyObject_Str(obj));
  if (!s) {
    PyErr_Clear();
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s.get(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    return false;
  }
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

PyObject* panic_exception_type() {
  if (g_panic_exception == nullptr) {
    g_panic_exception = PyErr_NewExceptionWithDoc(
        "velto_protocol.PanicException",
        "An internal failure of velto_protocol. Derives from BaseException so that\n"
        "`except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return g_panic_exception;
}

PythonError PythonError::fetch_raw() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) {
    return make(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  PythonError e;
  e.type_ = Ref::steal(type);
  e.value_ = Ref::steal(value);
  e.traceback_ = Ref::steal(tb);
  return e;
}

bool PythonError::is_panic() const {
  PyObject* panic_type = g_panic_exception;
  return panic_type != nullptr && matches(panic_type);
}

std::string PythonError::panic_message() const {
  std::string message;
  PyObject* args = value_ ? PyObject_GetAttrString(value_.get(), "args") : nullptr;
  if (args != nullptr && PyTuple_Check(args) && PyTuple_GET_SIZE(args) >= 1 &&
      PyUnicode_Check(PyTuple_GET_ITEM(args, 0))) {
    message = utf8_of(PyTuple_GET_ITEM(args, 0));
  } else if (value_) {
    PyErr_Clear();
    str_of(value_.get(), message);
  }
  Py_XDECREF(args);
  return message;
}

std::string PythonError::format() const {
  if (!type_) return {};
  Ref module = Ref::steal(PyImport_ImportModule("traceback"));
  Ref format =
      module ? Ref::steal(PyObject_GetAttrString(module.get(), "format_exception")) : Ref();
  Ref lines = format ? Ref::steal(PyObject_CallFunctionObjArgs(
                           format.get(), type_.get(), value_ ? value_.get() : Py_None,
                           traceback_ ? traceback_.get() : Py_None, nullptr))
                     : Ref();
  Ref empty = lines ? Ref::steal(PyUnicode_FromStringAndSize("", 0)) : Ref();
  Ref text = empty ? Ref::steal(PyUnicode_Join(empty.get(), lines.get())) : Ref();
  if (!text || !PyUnicode_Check(text.get())) {
    PyErr_Clear();
    return {};
  }
  return utf8_of(text.get());
}

PythonError PythonError::fetch(std::source_location loc) {
  PythonError e = fetch_raw();
  if (e.is_panic()) {
    std::string message = e.panic_message();
    base::write_all_fd(2, continued_panic_notice(e.format()));
    throw base::Panic(std::move(message), loc);
  }
  return e;
}

PythonError PythonError::make(PyObject* type, std::string_view message) {
  PythonError e;
  e.type_ = Ref::borrow(type);
  Ref text = Ref::steal(new_str(message));
  if (!text) return fetch_raw();
  e.value_ = Ref::steal(PyObject_CallOneArg(type, text.get()));
  if (!e.value_) return fetch_raw();
  return e;
}

void PythonError::restore() {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

bool PythonError::matches(PyObject* exc_type) const {
  return type_ && PyErr_GivenExceptionMatches(type_.get(), exc_type);
}

std::string PythonError::describe() const {
  std::string text = type_ ? type_name_of(value_ ? value_.get() : type_.get()) : "<unknown>";
  text += ": ";
  std::string s;
  if (value_ && str_of(value_.get(), s)) {
    text += s;
  } else {
    text += "<exception str() failed>";
  }
  return text;
}

std::string continued_panic_notice(std::string_view traceback) {
  std::string text =
      "velto_protocol: Python code raised PanicException.\n"
      "velto_protocol: continuing it as an internal failure.\n";
  text.append(traceback);
  return text;
}

void print_pending() {
  PythonError e = PythonError::fetch_raw();
  std::string text = e.format();
  base::write_all_fd(2, text.empty() ? e.describe() + "\n" : text);
}

void throw_pending(std::source_location loc) { throw PythonError::fetch(loc); }

void discard_pending(std::source_location loc) {
  if (PyErr_Occurred()) (void)PythonError::fetch(loc);
}

void throw_error(PyObject* type, std::string_view message) {
  throw PythonError::make(type, message);
}

Ref require(PyObject* p, std::string_view what, std::source_location loc) {
  if (p == nullptr) {
    // The interpreter's reason goes to standard error; the failure carries our text.
    if (PyErr_Occurred()) print_pending();
    throw base::Panic(std::string(what), loc);
  }
  return Ref::steal(p);
}

void binding_failed(std::string_view error_text, std::source_location loc) {
  throw base::Panic("Python data failed to be bound: " + std::string(error_text), loc);
}

void Error::raise() && {
  if (auto* pe = std::get_if<PythonError>(&v_)) {
    pe->restore();
    return;
  }
  const auto& e = std::get<base::Error>(v_);
  PyErr_SetObject(PyExc_RuntimeError, Ref::steal(new_str(e.display())).get());
}

void run_signal_handlers(std::source_location loc) {
#ifdef PYPY_VERSION
  // PyPy's PyErr_CheckSignals does nothing: its handlers run when Python code next runs,
  // so a trivial expression is evaluated instead.
  Ref globals = check(PyDict_New(), loc);
  check(PyRun_String("None", Py_eval_input, globals.get(), globals.get()), loc);
#else
  if (PyErr_CheckSignals() != 0) throw_pending(loc);
#endif
}

std::string type_name_of(PyObject* obj) {
  Ref name =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!name || !PyUnicode_Check(name.get())) {
    discard_pending();
    return "<failed to extract type name>";
  }
  return utf8_of(name.get());
}

namespace {

// Sets PanicException(message) as the pending error; false if that is impossible.
bool set_panic(const base::Panic& panic) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return false;
  const std::string& msg = panic.message();
  const std::string text = msg.empty() ? std::string("internal failure") : msg;
  Ref value = Ref::steal(new_str(text));
  if (!value) return false;
  PyErr_SetObject(type, value.get());
  return true;
}

}  // namespace

void raise_panic(const base::Panic& panic) {
  base::report_panic(panic);
  if (!set_panic(panic)) {
    base::write_all_fd(2, "velto_protocol: uncaught panic at ffi boundary\n");
    std::abort();
  }
}

bool unraisable_panic(const base::Panic& panic, PyObject* dying) {
  base::report_panic(panic);
  if (!set_panic(panic)) {
    PyErr_Clear();
    return true;
  }
#ifndef PYPY_VERSION
  // The object is at reference count zero: the hook gets it resurrected for the call, and
  // if the hook keeps it, its memory must not be freed.
  Py_SET_REFCNT(dying, 1);
  PyErr_WriteUnraisable(dying);
  if (Py_REFCNT(dying) != 1) {
    Py_SET_REFCNT(dying, Py_REFCNT(dying) - 1);
    return false;
  }
  Py_SET_REFCNT(dying, 0);
#else
  // PyPy cannot hand a dying object to Python code: its type stands in as the context.
  PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(Py_TYPE(dying)));
#endif
  return true;
}

}  // namespace velto::py
