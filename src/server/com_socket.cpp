// ComSocketServer, the TCP server object: one accept per open(), replies as they are.
#include "server/com_socket.h"

namespace velto::server {

namespace {

struct TcpKind {
  static py::TypeCell& cell() { return ComSocketServer_cell; }
  static constexpr py::Params<1> kNewParams{"ComSocketServer.__new__()", {"address"}};
  static constexpr py::Params<3> kOnParams{"ComSocketServer.on()", {"id", "widget", "action"}};
  static constexpr py::Params<1> kGetActionParams{"ComSocketServer._get_action()", {"key"}};
  static constexpr py::Params<3> kCallbackParams{"ComSocketServer.callback()",
                                                 {"id", "status", "data"}};
  static constexpr py::Params<1> kWaitDisconnectedParams{
      "ComSocketServer.wait_disconnected()", {"timeout"}, 0};
  static constexpr py::Params<0> kOpenParams{"ComSocketServer.open()", {}};
  static constexpr py::Params<0> kServeParams{"ComSocketServer.serve()", {}};
  static constexpr py::Params<0> kCloseParams{"ComSocketServer.close()", {}};

  static void open(ServerState& st, io::Waiter& waiter) {
    auto opened = st.connection.open(waiter);
    if (!opened) raise_open_error(opened.error());
  }

  static base::Result<base::Unit, io::IoError> send_reply(io::ReplySlot& slot,
                                                          std::string_view reply,
                                                          io::Waiter& waiter) {
    return slot.send(reply, waiter);
  }
};

PyObject* ComSocketServer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::run_entry([&] {
    py::check_requested_class(type, ComSocketServer_cell);
    auto a = py::match(TcpKind::kNewParams, args, kwargs);
    std::string address = py::to_text(a[0], "address");
    return py::new_instance<ServerState>(type, std::move(address));
  });
}

auto ComSocketServer_methods = binding::method_table<TcpKind>(std::array<PyMethodDef, 0>{});

PyGetSetDef ComSocketServer_getset[] = {
    {"address", binding::address<TcpKind>, nullptr, nullptr, nullptr},
    {"bound_address", binding::bound_address<TcpKind>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ComSocketServer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ComSocketServer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<ServerState>)},
    {Py_tp_methods, ComSocketServer_methods.data()},
    {Py_tp_getset, ComSocketServer_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(binding::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(binding::clear)},
    {Py_tp_doc, const_cast<char*>(py::function_doc<TcpKind::kNewParams>)},
    {0, nullptr},
};

PyType_Spec ComSocketServer_spec = {
    .name = "velto_protocol.ComSocketServer",
    .basicsize = sizeof(py::Instance<ServerState>),
    .itemsize = 0,
    .flags = py::kTypeFlags | Py_TPFLAGS_HAVE_GC,
    .slots = ComSocketServer_slots,
};

}  // namespace

py::TypeCell ComSocketServer_cell{"ComSocketServer", &ComSocketServer_spec};

py::Ref new_com_socket_server(std::string address) {
  return py::new_instance<ServerState>(ComSocketServer_cell.require(), std::move(address));
}

}  // namespace velto::server
