// ComSocketServer, the TCP server object, and the module-level `on` decorator factory.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "py/ref.h"
#include "py/type_builder.h"
#include "server/io/ended_flag.h"
#include "server/io/stop_channel.h"
#include "server/io/unique_fd.h"
#include "server/models/action_registry.h"

namespace velto::server {

/// What a server object shares with the serving thread its latest serve() started.
struct ServingSession {
  /// Set once the connection served has ended: a read of 0 bytes or a failed read, the
  /// thread's end, or close(). wait_disconnected() polls its descriptor, holding the
  /// session meanwhile.
  io::EndedFlag ended;
  /// Set by the thread as it ends, after it released its stop receiver (or by serve()
  /// when the thread could not start).
  std::atomic<bool> thread_ended = false;

  explicit ServingSession(io::UniqueFd event_fd) : ended(std::move(event_fd)) {}
};

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
  /// The latest serve()'s session; absent before the first serve() and after close()
  /// found its thread ended on its own.
  std::shared_ptr<ServingSession> session;
  /// serve() has run at least once on this object.
  bool served = false;
  /// The latest serving thread reads the connection in `stream` (no open() or close() since).
  bool session_on_stream = false;
  /// close() has sent the latest thread its stop message.
  bool stop_requested = false;
  /// A reply on `stream` went out only in part: nothing more is written on it.
  bool reply_cut = false;

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
