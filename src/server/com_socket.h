// ComSocketServer, the TCP server object: the bindings of an io::Connection.
#pragma once

#include <string>

#include "py/ref.h"
#include "py/type_builder.h"
#include "server/server_binding.h"

namespace velto::server {

extern py::TypeCell ComSocketServer_cell;

/// A new ComSocketServer in its initial state (the facade's use_socket builds one too).
py::Ref new_com_socket_server(std::string address);

}  // namespace velto::server
