// WebSocketServer: the TCP server's methods over a WebSocket, plus its key and addresses.
#include "server/websocket_server.h"

#include <system_error>
#include <vector>

#include "py/args.h"
#include "py/entry.h"
#include "server/io/address.h"
#include "server/io/connection.h"
#include "server/server_binding.h"
#include "server/web_page.h"
#include "server/ws/door_loop.h"
#include "server/ws/frame_writer.h"
#include "server/ws/handshake.h"
#include "server/ws/ws_decoder.h"

namespace velto::server {

namespace {

std::unique_ptr<io::FrameDecoder> make_ws_decoder() { return std::make_unique<ws::WsDecoder>(); }

// The serving thread of a WebSocket does not pause between passes: it waits in its read and
// dispatches each frame as it arrives.
io::ConnectionConfig websocket_config() {
  io::ConnectionConfig config;
  config.serving.pause = std::chrono::nanoseconds(0);
  config.serving.wait_after_end = true;
  config.make_decoder = make_ws_decoder;
  return config;
}

struct WsKind {
  static py::TypeCell& cell() { return WebSocketServer_cell; }
  static constexpr py::Params<2> kNewParams{"WebSocketServer.__new__()", {"address", "token"}, 1};
  static constexpr py::Params<3> kOnParams{"WebSocketServer.on()", {"id", "widget", "action"}};
  static constexpr py::Params<1> kGetActionParams{"WebSocketServer._get_action()", {"key"}};
  static constexpr py::Params<3> kCallbackParams{"WebSocketServer.callback()",
                                                 {"id", "status", "data"}};
  static constexpr py::Params<1> kWaitDisconnectedParams{
      "WebSocketServer.wait_disconnected()", {"timeout"}, 0};
  static constexpr py::Params<0> kOpenParams{"WebSocketServer.open()", {}};
  static constexpr py::Params<0> kServeParams{"WebSocketServer.serve()", {}};
  static constexpr py::Params<0> kCloseParams{"WebSocketServer.close()", {}};
  static constexpr py::Params<0> kUrlsParams{"WebSocketServer.urls()", {}};

  // The registrations are read as the door answers, without the interpreter lock: only
  // their keys, strings of ours, which no one changes while open() holds the object.
  static void open(ServerState& st, io::Waiter& waiter) {
    ws::DoorLoop door({st.token, controller_page(), [&st] {
                         std::vector<std::string> keys;
                         keys.reserve(st.actions.size());
                         for (const auto& [key, action] : st.actions) keys.push_back(key);
                         return ws::widgets_json(keys);
                       }});
    auto opened = st.connection.open(waiter, &door);
    if (!opened) raise_open_error(opened.error());
  }

  static base::Result<base::Unit, io::IoError> send_reply(io::ReplySlot& slot,
                                                          std::string_view reply,
                                                          io::Waiter& waiter) {
    return slot.send(ws::binary_frame(reply), waiter);
  }
};

std::string token_from_arg(PyObject* token) {
  if (token == nullptr || token == Py_None) {
    try {
      return ws::random_token();
    } catch (const std::system_error& e) {
      throw base::Panic(std::string("no random bytes for the key: ") + e.what());
    }
  }
  std::string text = py::to_text(token, "token");
  if (!ws::valid_token(text)) {
    py::throw_error(PyExc_ValueError,
                    "token must be 16 to 128 characters of A-Z, a-z, 0-9, '-' and '_' (got " +
                        std::to_string(text.size()) + " characters)");
  }
  return text;
}

// The address the page is reached at: where open() listens, else the address given.
io::SocketAddress page_address(const ServerState& st) {
  const std::string& bound = st.connection.bound_address();
  auto resolved = io::resolve_address(bound.empty() ? st.connection.address() : bound);
  if (!resolved) raise_io_error(resolved.error());
  if (resolved.value().empty()) {
    raise_io_error(io::IoError{io::IoErrorKind::Other, 0, "could not resolve to any addresses"});
  }
  return resolved.value().front();
}

// The address is the one positional argument; the key is passed by keyword only.
void check_positional(const char* callee, Py_ssize_t given) {
  if (given > 1) {
    py::throw_error(PyExc_TypeError, std::string(callee) + "() takes 1 positional argument but " +
                                         std::to_string(given) + " were given");
  }
}

py::Ref new_server(PyTypeObject* type, const py::Args<2>& a) {
  std::string address = py::to_text(a[0], "address");
  return py::new_instance<ServerState>(type, std::move(address), websocket_config(),
                                       token_from_arg(a[1]));
}

PyObject* WebSocketServer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::run_entry([&] {
    py::check_requested_class(type, WebSocketServer_cell);
    check_positional("WebSocketServer", PyTuple_GET_SIZE(args));
    return new_server(type, py::match(WsKind::kNewParams, args, kwargs));
  });
}

PyObject* WebSocketServer_urls(PyObject* self, PyObject*) {
  return py::run_method<ServerState, py::Use::Unguarded>(
      self, WebSocketServer_cell, [&](ServerState& st) {
        const auto urls = ws::controller_urls(page_address(st), st.token);
        py::Ref list = py::check(PyList_New(0));
        for (const std::string& url : urls) {
          py::Ref text = py::check(py::new_str(url));
          if (PyList_Append(list.get(), text.get()) != 0) py::throw_pending();
        }
        return list;
      });
}

PyObject* WebSocketServer_token(PyObject* self, void*) {
  return py::run_method<ServerState, py::Use::Unguarded>(
      self, WebSocketServer_cell,
      [&](ServerState& st) { return py::check(py::new_str(st.token)); });
}

PyObject* WebSocketServer_url(PyObject* self, void*) {
  return py::run_method<ServerState, py::Use::Unguarded>(
      self, WebSocketServer_cell, [&](ServerState& st) {
        return py::check(py::new_str(ws::controller_url(page_address(st), st.token)));
      });
}

auto WebSocketServer_methods = binding::method_table<WsKind>(std::array<PyMethodDef, 1>{{
    {"urls", WebSocketServer_urls, METH_NOARGS, py::method_doc<WsKind::kUrlsParams>},
}});

PyGetSetDef WebSocketServer_getset[] = {
    {"address", binding::address<WsKind>, nullptr, nullptr, nullptr},
    {"bound_address", binding::bound_address<WsKind>, nullptr, nullptr, nullptr},
    {"token", WebSocketServer_token, nullptr, nullptr, nullptr},
    {"url", WebSocketServer_url, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char kClassDoc[] = "WebSocketServer(address, *, token=None)\n--\n\n";

PyType_Slot WebSocketServer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(WebSocketServer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<ServerState>)},
    {Py_tp_methods, WebSocketServer_methods.data()},
    {Py_tp_getset, WebSocketServer_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(binding::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(binding::clear)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {0, nullptr},
};

PyType_Spec WebSocketServer_spec = {
    .name = "velto_protocol.WebSocketServer",
    .basicsize = sizeof(py::Instance<ServerState>),
    .itemsize = 0,
    .flags = py::kTypeFlags | Py_TPFLAGS_HAVE_GC,
    .slots = WebSocketServer_slots,
};

constexpr py::Params<2> kUseWebsocketParams{
    "VeltoPiServer.use_websocket()", {"address", "token"}, 1};

}  // namespace

py::TypeCell WebSocketServer_cell{"WebSocketServer", &WebSocketServer_spec};

const char kUseWebsocketDoc[] = "use_websocket(address, *, token=None)\n--\n\n";

py::Ref make_websocket_server(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  check_positional("use_websocket", nargs);
  return new_server(WebSocketServer_cell.require(),
                    py::match(kUseWebsocketParams, args, nargs, kwnames));
}

}  // namespace velto::server
