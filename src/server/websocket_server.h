// WebSocketServer, the WebSocket server object: the page and the handshake in open(), the
// serving thread reading WebSocket messages, replies as binary messages.
#pragma once

#include <string>

#include "py/ref.h"
#include "py/type_builder.h"

namespace velto::server {

extern py::TypeCell WebSocketServer_cell;

/// The docstring of VeltoPiServer.use_websocket.
extern const char kUseWebsocketDoc[];

/// VeltoPiServer.use_websocket(address, *, token=None): a new WebSocketServer.
py::Ref make_websocket_server(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velto::server
