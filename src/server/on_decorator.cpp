// on(server): the decorator that registers a function under the identity in its name, and
// the wrapper it returns.
#include "server/on_decorator.h"

#include <source_location>
#include <string>
#include <string_view>

#include "base/panic.h"
#include "base/widget_registry.h"
#include "py/args.h"
#include "py/entry.h"
#include "py/errors.h"
#include "server/com_socket.h"
#include "server/websocket_server.h"

namespace velto::server {

namespace {

using py::Ref;

constexpr const char* kCapsuleName = "velto_protocol.reference";

// A capsule owning one reference, released when the capsule is destroyed.
Ref reference_capsule(PyObject* obj) {
  Ref capsule = py::check(PyCapsule_New(obj, kCapsuleName, [](PyObject* cap) {
    Py_XDECREF(static_cast<PyObject*>(PyCapsule_GetPointer(cap, kCapsuleName)));
  }));
  Py_INCREF(obj);  // owned by the capsule from here on
  return capsule;
}

PyObject* capsule_target(PyObject* capsule,
                         std::source_location loc = std::source_location::current()) {
  auto* p = static_cast<PyObject*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (p == nullptr) {
    PyErr_Clear();
    throw base::Panic("a decorator or wrapper lost its reference", loc);
  }
  return p;
}

// Calls the decorated function with the very same arguments; its exception goes on
// unchanged (a PanicException as an internal failure).
PyObject* wrapper_call(PyObject* capsule, PyObject* args, PyObject* kwargs) {
  return py::run_entry([&] {
    PyObject* function = capsule_target(capsule);
    Ref result = Ref::steal(PyObject_Call(function, args, kwargs));
    if (!result) py::throw_pending();
    return result;
  });
}

PyMethodDef wrapper_def = {
    "wrapper", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(wrapper_call)),
    METH_VARARGS | METH_KEYWORDS, ""};

// Registers the function named "<Kind>_<id>[_...]" on the held server, returns its wrapper.
PyObject* decorator_call(PyObject* capsule, PyObject* args, PyObject*) {
  return py::run_entry([&] {
    PyObject* server = capsule_target(capsule);
    PyObject* function = PyTuple_GetItem(args, 0);  // IndexError when there is none
    if (function == nullptr) py::throw_pending();
    Ref name = Ref::steal(PyObject_GetAttrString(function, "__name__"));
    if (!name || !PyUnicode_Check(name.get())) {
      py::discard_pending();
      throw base::Panic("the decorated object has no string __name__");
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) {
      PyErr_Clear();
      throw base::Panic("the decorated object's __name__ is not valid UTF-8");
    }
    auto identity = base::extract_identity(std::string_view(text, static_cast<std::size_t>(size)));
    if (!identity) throw base::Panic(identity.error().message());
    auto [id, kind] = std::move(identity).value();
    Ref on = Ref::steal(PyObject_GetAttrString(server, "on"));
    Ref id_obj = on ? Ref::steal(PyLong_FromLong(id)) : Ref();
    Ref kind_obj = id_obj ? Ref::steal(py::new_str(kind)) : Ref();
    Ref registered;
    if (kind_obj) {
      registered = Ref::steal(
          PyObject_CallFunctionObjArgs(on.get(), id_obj.get(), kind_obj.get(), function, nullptr));
    }
    if (!registered) {
      py::PythonError error = py::PythonError::fetch();
      throw base::Panic("registering `" + std::string(text, static_cast<std::size_t>(size)) +
                        "` failed: " + error.describe());
    }
    Ref holder = reference_capsule(function);
    return py::check(PyCMethod_New(&wrapper_def, holder.get(), nullptr, nullptr));
  });
}

PyMethodDef decorator_def = {
    "wrapper", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(decorator_call)),
    METH_VARARGS | METH_KEYWORDS, ""};

constexpr py::Params<1> kModuleOnParams{"on()", {"server"}};
PyObject* module_on(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::run_entry([&] {
    auto a = py::match(kModuleOnParams, args, nargs, kwnames);
    if (!PyObject_TypeCheck(a[0], ComSocketServer_cell.require()) &&
        !PyObject_TypeCheck(a[0], WebSocketServer_cell.require())) {
      py::throw_argument_error("server", py::cannot_convert(a[0], "ComSocketServer"));
    }
    Ref holder = reference_capsule(a[0]);
    return py::check(PyCMethod_New(&decorator_def, holder.get(), nullptr, nullptr));
  });
}

PyMethodDef module_on_def = {"on", py::as_pycfunction<module_on>(), METH_FASTCALL | METH_KEYWORDS,
                             py::function_doc<kModuleOnParams>};

}  // namespace

Ref make_on_function(PyObject* module) {
  Ref module_name = py::check(PyObject_GetAttrString(module, "__name__"));
  return py::check(PyCMethod_New(&module_on_def, module, module_name.get(), nullptr));
}

}  // namespace velto::server
