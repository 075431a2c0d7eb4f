// Test-only probes of the value classes: widget objects as the dispatch makes them, and
// result frames built from result objects. Built into _velto_testext, never installed.
//
// This extension compiles its own copy of the value classes' sources, so its type cells are
// its own. Before first use they are pointed at the classes of the imported velto_protocol
// (same sources, same layout, checked), so that every object a probe makes or reads is an
// object of the real module.
#include "value_probe.h"

#include <string>
#include <utility>

#include "base/frame.h"
#include "py/args.h"
#include "py/entry.h"
#include "server/models/result_frame.h"
#include "server/models/results.h"
#include "server/models/widget_classes.h"

namespace velto::testext {

using py::Ref;
namespace models = server::models;

namespace {

// The class of `owner.<name>`, kept for the process's life in `cell`, after a check that
// its instances have the layout this copy of the sources expects.
void adopt(py::TypeCell& cell, PyObject* owner, const char* name, Py_ssize_t basicsize) {
  Ref cls = py::check(PyObject_GetAttrString(owner, name));
  if (!PyType_Check(cls.get()) ||
      (basicsize != 0 && reinterpret_cast<PyTypeObject*>(cls.get())->tp_basicsize != basicsize)) {
    py::throw_error(PyExc_RuntimeError, std::string("velto_protocol.") + name +
                                            " is not the class this probe was built for");
  }
  cell.type = reinterpret_cast<PyTypeObject*>(cls.release());
}

void adopt_module_classes() {
  if (models::WidgetRegistry_cell.type != nullptr) return;
  Ref module = py::check(PyImport_ImportModule("velto_protocol"));
  adopt(models::ConfirmResult_cell, module.get(), "ConfirmResult",
        sizeof(models::ConfirmResultInstance));
  adopt(models::ErrorResult_cell, module.get(), "ErrorResult", sizeof(models::ErrorResultInstance));
  Ref registry = py::check(PyObject_GetAttrString(module.get(), "WidgetRegistry"));
  const std::pair<py::TypeCell*, const char*> kinds[] = {
      {&models::WidgetRegistry_ClickButton_cell, "ClickButton"},
      {&models::WidgetRegistry_ToggleButton_cell, "ToggleButton"},
      {&models::WidgetRegistry_ConfirmButton_cell, "ConfirmButton"},
      {&models::WidgetRegistry_PressButton_cell, "PressButton"},
      {&models::WidgetRegistry_DirectionalButton_cell, "DirectionalButton"},
      {&models::WidgetRegistry_Joystick_cell, "Joystick"},
  };
  for (const auto& [cell, name] : kinds) {
    adopt(*cell, registry.get(), name, sizeof(models::WidgetInstance));
  }
  adopt(models::WidgetRegistry_cell, module.get(), "WidgetRegistry", 0);
}

// make_joystick(x, y, intensity): a joystick object holding exactly these 32-bit values,
// as the dispatch hands one to a handler; the only way to a first Coord.
PyObject* make_joystick(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr py::Params<3> kParams{"make_joystick()", {"x", "y", "intensity"}};
  return py::run_entry([&] {
    auto a = py::match(kParams, args, nargs, kwnames);
    adopt_module_classes();
    base::Coord delta{py::to_f32(a[0], "x"), py::to_f32(a[1], "y")};
    base::WidgetRegistry widget{base::widget::Joystick{delta, py::to_f32(a[2], "intensity")}};
    return models::widget_object(widget);
  });
}

// call_handler(callable, widget): calls `callable` as the dispatch calls a handler, for a
// copy of the value held by `widget`, a kind object; returns what it returns and raises
// what it raises.
PyObject* call_handler(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr py::Params<2> kParams{"call_handler()", {"callable", "widget"}};
  return py::run_entry([&] {
    auto a = py::match(kParams, args, nargs, kwnames);
    adopt_module_classes();
    PyTypeObject* registry = models::WidgetRegistry_cell.require();
    if (!PyObject_TypeCheck(a[1], registry) || Py_TYPE(a[1]) == registry) {
      py::throw_argument_error("widget", py::cannot_convert(a[1], "WidgetRegistry"));
    }
    base::WidgetRegistry copy = py::instance_of<base::WidgetRegistry>(a[1])->value;
    Ref result = models::call_handler(a[0], copy);
    if (!result) py::throw_pending();
    return result;
  });
}

// result_frame_new(id, status, data): the encoded reply built from `data`, status given by
// its code 0 to 3.
PyObject* result_frame_new(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr py::Params<3> kParams{"result_frame_new()", {"id", "status", "data"}};
  return py::run_entry([&] {
    auto a = py::match(kParams, args, nargs, kwnames);
    adopt_module_classes();
    const uint8_t id = py::to_u8(a[0], "id");
    const uint8_t code = py::to_u8(a[1], "status");
    if (code > 3) py::throw_error(PyExc_ValueError, "status code out of range");
    base::ResultFrame frame =
        models::result_frame_new(id, static_cast<base::ServerStatus>(code), Ref::borrow(a[2]));
    std::vector<char> bytes = frame.bufferize();
    return py::check(
        PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  });
}

PyMethodDef value_methods[] = {
    {"make_joystick", py::as_pycfunction<make_joystick>(), METH_FASTCALL | METH_KEYWORDS,
     "make_joystick(x, y, intensity)\n--\n\n"},
    {"call_handler", py::as_pycfunction<call_handler>(), METH_FASTCALL | METH_KEYWORDS,
     "call_handler(callable, widget)\n--\n\n"},
    {"result_frame_new", py::as_pycfunction<result_frame_new>(), METH_FASTCALL | METH_KEYWORDS,
     "result_frame_new(id, status, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_value_probes(PyObject* module) {
  if (PyModule_AddFunctions(module, value_methods) != 0) py::throw_pending();
}

}  // namespace velto::testext
