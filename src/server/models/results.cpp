// The Python result classes ConfirmResult and ErrorResult.
#include "server/models/results.h"

#include <string>
#include <utility>

#include "py/args.h"
#include "py/entry.h"
#include "py/method.h"

namespace velto::server::models {

namespace {

using base::result::ConfirmResult;
using base::result::ErrorResult;
using py::Ref;

constexpr py::Params<1> kConfirmResultParams{"ConfirmResult.__new__()", {"status"}};
constexpr py::Params<1> kErrorResultParams{"ErrorResult.__new__()", {"error"}};

PyObject* ConfirmResult_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::run_entry([&] {
    py::check_requested_class(type, ConfirmResult_cell);
    auto [status] = py::match(kConfirmResultParams, args, kwargs);
    return py::new_instance<ConfirmResult>(type, ConfirmResult{py::to_bool(status, "status")});
  });
}

PyObject* ErrorResult_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::run_entry([&] {
    py::check_requested_class(type, ErrorResult_cell);
    auto [error] = py::match(kErrorResultParams, args, kwargs);
    return py::new_instance<ErrorResult>(type, ErrorResult{py::to_text(error, "error")});
  });
}

PyObject* ConfirmResult_status(PyObject* self, void*) {
  return py::run_method<ConfirmResult, py::Use::Shared>(
      self, ConfirmResult_cell, [](const ConfirmResult& r) { return py::boolean(r.status); });
}

PyObject* ErrorResult_error(PyObject* self, void*) {
  return py::run_method<ErrorResult, py::Use::Shared>(
      self, ErrorResult_cell, [](const ErrorResult& r) { return py::check(py::new_str(r.error)); });
}

PyGetSetDef ConfirmResult_getset[] = {
    {"status", ConfirmResult_status, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot ConfirmResult_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ConfirmResult_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<ConfirmResult>)},
    {Py_tp_doc, const_cast<char*>(py::function_doc<kConfirmResultParams>)},
    {Py_tp_getset, ConfirmResult_getset},
    {0, nullptr},
};
PyType_Spec ConfirmResult_spec = {
    .name = "velto_protocol.ConfirmResult",
    .basicsize = sizeof(ConfirmResultInstance),
    .itemsize = 0,
    .flags = py::kTypeFlags,
    .slots = ConfirmResult_slots,
};

PyGetSetDef ErrorResult_getset[] = {
    {"error", ErrorResult_error, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot ErrorResult_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ErrorResult_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<ErrorResult>)},
    {Py_tp_doc, const_cast<char*>(py::function_doc<kErrorResultParams>)},
    {Py_tp_getset, ErrorResult_getset},
    {0, nullptr},
};
PyType_Spec ErrorResult_spec = {
    .name = "velto_protocol.ErrorResult",
    .basicsize = sizeof(ErrorResultInstance),
    .itemsize = 0,
    .flags = py::kTypeFlags,
    .slots = ErrorResult_slots,
};

}  // namespace

py::TypeCell ConfirmResult_cell{"ConfirmResult", &ConfirmResult_spec};
py::TypeCell ErrorResult_cell{"ErrorResult", &ErrorResult_spec};

}  // namespace velto::server::models
