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

/// The arguments of use_websocket and of the constructor: one positional address, a
/// keyword-only token.
py::Ref make_websocket_server(PyTypeObject* type, const char* name, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velto::server
