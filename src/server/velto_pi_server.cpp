// The module definition and its initialisation function.
#include "py/args.h"
#include "py/entry.h"
#include "py/gil.h"
#include "py/type_builder.h"
#include "server/com_socket.h"
#include "server/models/enums.h"
#include "server/models/models_api.h"
#include "server/models/results.h"
#include "server/models/widget_classes.h"
#include "server/on_decorator.h"
#include "server/websocket_server.h"

namespace velto::server {

namespace {

using py::Ref;

PyModuleDef velto_module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "velto_protocol",
    .m_doc =
        "Server side of the velto remote-control protocol: a controller connects over "
        "TCP, its frames reach the registered Python handlers, and the program answers "
        "with result frames.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// ---- VeltoPiServer: a namespace class handing out servers by transport ----------------

constexpr py::Params<1> kUseSocketParams{"VeltoPiServer.use_socket()", {"address"}};
PyObject* VeltoPiServer_use_socket(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return py::run_entry([&] {
    auto a = py::match(kUseSocketParams, args, nargs, kwnames);
    return new_com_socket_server(py::to_text(a[0], "address"));
  });
}

PyObject* VeltoPiServer_use_websocket(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return py::run_entry([&] { return make_websocket_server(args, nargs, kwnames); });
}

PyMethodDef VeltoPiServer_methods[] = {
    {"use_socket", py::as_pycfunction<VeltoPiServer_use_socket>(),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, py::function_doc<kUseSocketParams>},
    {"use_websocket", py::as_pycfunction<VeltoPiServer_use_websocket>(),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, kUseWebsocketDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot VeltoPiServer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {Py_tp_methods, VeltoPiServer_methods},
    {0, nullptr},
};

PyType_Spec VeltoPiServer_spec = {
    .name = "velto_protocol.VeltoPiServer",
    .basicsize = sizeof(PyObject),
    .itemsize = 0,
    .flags = py::kTypeFlags,
    .slots = VeltoPiServer_slots,
};

py::TypeCell VeltoPiServer_cell{"VeltoPiServer", &VeltoPiServer_spec};

// The initialised module, filled once under the interpreter lock and never freed.
PyObject* g_module = nullptr;

// Appends `name` to the module's __all__ (creating the list on first use), then sets the
// attribute. Throws the pending error on failure.
void add_to_module(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::throw_pending();
    PyErr_Clear();
    all = py::check(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) py::throw_pending();
  }
  Ref text = py::check(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), text.get()) != 0) py::throw_pending();
  if (PyObject_SetAttrString(module, name, value) != 0) py::throw_pending();
}

// Every class of the module, in the order they are created: each base before the classes
// derived from it. The first seven are the module's attributes, added in this order.
py::TypeCell* const kClasses[] = {
    &VeltoPiServer_cell,
    &ComSocketServer_cell,
    &models::Protocol_cell,
    &models::ServerStatus_cell,
    &models::ConfirmResult_cell,
    &models::ErrorResult_cell,
    &models::WidgetRegistry_cell,
    &models::WidgetRegistry_ClickButton_cell,
    &models::WidgetRegistry_ToggleButton_cell,
    &models::WidgetRegistry_ConfirmButton_cell,
    &models::WidgetRegistry_PressButton_cell,
    &models::WidgetRegistry_DirectionalButton_cell,
    &models::WidgetRegistry_Joystick_cell,
    &models::Coord_cell,
    &WebSocketServer_cell,
};
constexpr std::size_t kModuleAttributeClasses = 7;

Ref init_module() {
  if (g_module != nullptr) return Ref::borrow(g_module);
  Ref module = Ref::steal(PyModule_Create2(&velto_module_def, 1013));
  if (!module) py::throw_pending();
  // Created once per process: a later import that failed after this point finds them.
  if (kClasses[0]->type == nullptr) py::create_classes(kClasses);
  for (std::size_t i = 0; i < kModuleAttributeClasses; ++i) {
    add_to_module(module.get(), kClasses[i]->class_name, kClasses[i]->object());
  }
  // A module attribute outside __all__, which keeps the names it has always had.
  if (PyObject_SetAttrString(module.get(), WebSocketServer_cell.class_name,
                             WebSocketServer_cell.object()) != 0) {
    py::throw_pending();
  }
  Ref on = make_on_function(module.get());
  Ref on_name = py::check(PyObject_GetAttrString(on.get(), "__name__"));
  Py_ssize_t size = 0;
  const char* name = PyUnicode_AsUTF8AndSize(on_name.get(), &size);
  if (name == nullptr) py::throw_pending();
  add_to_module(module.get(), name, on.get());
  // Private, outside __all__: the value classes' C interface for the test probes.
  Ref api = py::check(models::new_models_api_capsule());
  if (PyObject_SetAttrString(module.get(), models::kModelsApiAttribute, api.get()) != 0) {
    py::throw_pending();
  }
  py::watch_interpreter_end();
  g_module = Ref::borrow(module.get()).release();
  return module;
}

}  // namespace

}  // namespace velto::server

PyMODINIT_FUNC PyInit_velto_protocol(void) {
#ifdef PYPY_VERSION
  // PyPy creates its interpreter lock lazily; our serving threads wait for it.
  PyEval_InitThreads();
#endif
  return velto::py::run_entry([] { return velto::server::init_module(); });
}
