// ComSocketServer, the TCP server object, and the module-level `on` decorator factory.
#pragma once

#include <optional>
#include <string>

#include "py/ref.h"
#include "py/type_builder.h"
#include "server/io/stop_channel.h"
#include "server/io/unique_fd.h"
#include "server/models/widget_registry.h"

namespace velto::server {

/// The state of one ComSocketServer object.
struct ComSocketState {
  std::string address;
  /// The client accepted by the latest open(); absent as -1.
  io::UniqueFd stream;
  models::ActionRegistry actions;
  /// Absent until the first serve(); replaced by every later one; kept by close().
  std::optional<io::StopSender> stop_sender;
  /// A descriptor of the connection that the latest serving thread reads (which open() may
  /// since have replaced in `stream`): close() shuts its reading side down to wake the thread.
  io::UniqueFd serving_conn;

  explicit ComSocketState(std::string addr) : address(std::move(addr)) {}
  /// Releases the fields in declaration order.
  ~ComSocketState();
};

extern py::TypeCell ComSocketServer_cell;

/// A new ComSocketServer in its initial state (the facade's use_socket builds one too).
py::Ref new_com_socket_server(std::string address);

/// The module function `on(server)`, built for the module `module`.
py::Ref make_on_function(PyObject* module);

}  // namespace velto::server
