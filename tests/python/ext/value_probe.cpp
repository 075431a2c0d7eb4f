// Test-only probes of the value classes: widget objects as the dispatch makes them, and
// result frames built from result objects. Built into _velto_testext, never installed.
//
// The probes call the imported velto_protocol through the C interface it exports in a
// capsule, so every object they make or read, and every byte they return, comes from the
// module's own code.
#include "value_probe.h"

#include <string>

#include "base/frame.h"
#include "py/args.h"
#include "py/entry.h"
#include "server/models/models_api.h"

namespace velto::testext {

using py::Ref;
using server::models::ModelsApi;

namespace {

// The module's table, imported with this extension and kept for the process's life.
const ModelsApi* g_api = nullptr;

constexpr py::Params<3> kMakeJoystickParams{"make_joystick()", {"x", "y", "intensity"}};
constexpr py::Params<2> kCallHandlerParams{"call_handler()", {"callable", "widget"}};
constexpr py::Params<3> kResultFrameNewParams{"result_frame_new()", {"id", "status", "data"}};

// make_joystick(x, y, intensity): a joystick object holding exactly these 32-bit values,
// as the dispatch hands one to a handler; the only way to a first Coord.
PyObject* make_joystick(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::run_entry([&] {
    auto a = py::match(kMakeJoystickParams, args, nargs, kwnames);
    base::Coord delta{py::to_f32(a[0], "x"), py::to_f32(a[1], "y")};
    base::WidgetRegistry widget{base::widget::Joystick{delta, py::to_f32(a[2], "intensity")}};
    return py::check(g_api->widget_object(&widget));
  });
}

// call_handler(callable, widget): calls `callable` as the dispatch calls a handler, for a
// copy of the value held by `widget`, a kind object; returns what it returns and raises
// what it raises.
PyObject* call_handler(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::run_entry([&] {
    auto a = py::match(kCallHandlerParams, args, nargs, kwnames);
    base::WidgetRegistry copy;
    if (g_api->widget_value(a[1], "widget", &copy) != 0) py::throw_pending();
    return py::check(g_api->call_handler(a[0], &copy));
  });
}

// result_frame_new(id, status, data): the encoded reply built from `data`, status given by
// its code 0 to 3.
PyObject* result_frame_new(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::run_entry([&] {
    auto a = py::match(kResultFrameNewParams, args, nargs, kwnames);
    const uint8_t id = py::to_u8(a[0], "id");
    const uint8_t code = py::to_u8(a[1], "status");
    if (code > 3) py::throw_error(PyExc_ValueError, "status code out of range");
    base::ResultFrame frame;
    if (g_api->result_frame_new(id, static_cast<base::ServerStatus>(code), a[2], "data", &frame) !=
        0) {
      py::throw_pending();
    }
    return py::check(g_api->encode_reply(&frame));
  });
}

PyMethodDef value_methods[] = {
    {"make_joystick", py::as_pycfunction<make_joystick>(), METH_FASTCALL | METH_KEYWORDS,
     py::function_doc<kMakeJoystickParams>},
    {"call_handler", py::as_pycfunction<call_handler>(), METH_FASTCALL | METH_KEYWORDS,
     py::function_doc<kCallHandlerParams>},
    {"result_frame_new", py::as_pycfunction<result_frame_new>(), METH_FASTCALL | METH_KEYWORDS,
     py::function_doc<kResultFrameNewParams>},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_value_probes(PyObject* module) {
  if (g_api == nullptr) {
    auto* api =
        static_cast<const ModelsApi*>(PyCapsule_Import(server::models::kModelsApiCapsuleName, 0));
    if (api == nullptr) py::throw_pending();
    if (api->size != sizeof(ModelsApi)) {
      py::throw_error(PyExc_ImportError, std::string(server::models::kModelsApiCapsuleName) +
                                             " is not the interface this extension was built for");
    }
    g_api = api;
  }
  if (PyModule_AddFunctions(module, value_methods) != 0) py::throw_pending();
}

}  // namespace velto::testext
