// ComSocketServer, the TCP server object: the bindings of an io::Connection.
#pragma once

#include <string>

#include "py/ref.h"
#include "py/type_builder.h"
#include "server/io/connection.h"
#include "server/models/action_registry.h"

namespace velto::server {

/// The state of one ComSocketServer object: the registered actions, and the connection
/// with its state machine (address, connection, serving thread).
struct ComSocketState {
  io::Connection connection;
  models::ActionRegistry actions;

  explicit ComSocketState(std::string address) : connection(std::move(address)) {}
};

extern py::TypeCell ComSocketServer_cell;

/// A new ComSocketServer in its initial state (the facade's use_socket builds one too).
py::Ref new_com_socket_server(std::string address);

}  // namespace velto::server
