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

/// One accepted connection as the server object and its replies hold it. The object holds
/// it while it is its connection; a callback() holds it for as long as its send runs, so
/// that the descriptor stays open under a send that close() or open() has cut. Its flags
/// are changed under the interpreter lock (atomic only for a sender that the interpreter
/// ends at exit, which unwinds without the lock).
struct Connection {
  io::UniqueFd fd;
  /// A reply went out only in part: nothing more is written on this connection.
  std::atomic<bool> reply_cut = false;
  /// A callback() is writing a reply on it (also while it waits without the lock).
  std::atomic<bool> sending = false;

  explicit Connection(io::UniqueFd f) : fd(std::move(f)) {}
};

/// The object's hold on the serving thread of its latest serve(), until close() stops it
/// or a later serve() replaces it.
struct ServingLink {
  io::StopSender stop;
  /// A descriptor of the connection that thread reads: close() shuts its reading side
  /// down to wake the thread from its read.
  io::UniqueFd waker;
  std::shared_ptr<ServingSession> session;
  /// The thread reads the connection the object holds in `stream` (no open() since).
  bool on_stream = true;

  /// True while the thread may still be reading: it has not marked its end.
  bool thread_running() const { return !session->thread_ended.load(std::memory_order_acquire); }
};

/// The state of one ComSocketServer object.
///
/// What close() does depends on two things only: whether the object holds a connection
/// (`stream`) and whether it holds a serving thread (`link`). It stops the thread it holds,
/// whether that thread still runs or has ended on its own, and gives the connection up, so
/// that afterwards it holds neither; nothing of an earlier session is left for a later
/// close() to trip over.
struct ComSocketState {
  /// The constructor's text, unchanged.
  std::string address;
  /// The connection accepted by the latest open(); absent before it and after close().
  std::shared_ptr<Connection> stream;
  models::ActionRegistry actions;
  /// The thread of the latest serve(), absent before the first and after close(). Its
  /// session is what wait_disconnected() waits on; close() sets it ended first.
  std::optional<ServingLink> link;
  /// The address the latest open() listens or listened on ("127.0.0.1:40123"); empty
  /// before an open() has bound its listener.
  std::string bound_address;
  /// serve() has run at least once on this object.
  bool served = false;

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
