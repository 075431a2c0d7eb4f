// What the server classes share: their state, the serving thread's host, the waits without
// the interpreter lock, and the bodies of the methods every transport has. Each class's
// binding instantiates the methods with its Kind, which names the class, its parameter
// lists, how open() takes a client and how a reply goes on the wire.
//
// A Kind K provides:
//   static py::TypeCell& cell();
//   static constexpr py::Params<...> kNewParams, kOnParams, kGetActionParams,
//       kCallbackParams, kWaitDisconnectedParams, kOpenParams, kServeParams, kCloseParams;
//   static void open(ServerState&, io::Waiter&);   // throws as open() reports
//   static base::Result<base::Unit, io::IoError> send_reply(io::ReplySlot&, std::string_view,
//                                                           io::Waiter&);
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

#include "base/frame.h"
#include "base/panic.h"
#include "py/args.h"
#include "py/blocking_call.h"
#include "py/entry.h"
#include "py/gil.h"
#include "py/method.h"
#include "py/ref.h"
#include "py/type_builder.h"
#include "server/io/connection.h"
#include "server/models/action_registry.h"

namespace velto::server {

/// The state of one server object: the registered actions, the connection with its state
/// machine (address, connection, serving thread), and the transport's key (WebSocket).
struct ServerState {
  io::Connection connection;
  models::ActionRegistry actions;
  std::string token;

  explicit ServerState(std::string address, io::ConnectionConfig config = {}, std::string key = {})
      : connection(std::move(address), config), token(std::move(key)) {}
};

/// Every wait of a method: without the interpreter lock, signal handlers run between tries.
class LockReleasingWaiter final : public io::Waiter {
 public:
  void wait(std::optional<io::Deadline> deadline, Attempt attempt) override {
    py::blocking_call(deadline, attempt);
  }
};

[[noreturn]] void throw_state_error();
[[noreturn]] void throw_reply_cut();

/// An I/O failure that is the operation's own trouble (a peer gone, a descriptor it cannot
/// have): RuntimeError with the error's text.
[[noreturn]] void raise_io_error(const io::IoError& error);

/// A failure that leaves the operation nothing to go on with (no listener, no connection
/// accepted, no thread): PanicException "<context> <diagnostic>", at the caller's line.
[[noreturn]] void panic_on_io_error(std::string_view context, const io::IoError& error,
                                    std::source_location loc = std::source_location::current());

/// open()'s failures, as the TCP server has always reported them.
void raise_open_error(const io::OpenError& error,
                      std::source_location loc = std::source_location::current());

/// Warns (RuntimeWarning) about a registration that can never run.
void warn_about_registration(std::string_view widget, std::string_view key, PyObject* action);

/// The serving thread's host: a snapshot of the registry, dispatched with the thread's own
/// interpreter state.
std::unique_ptr<io::DispatcherHost> make_action_host(models::ActionRegistry registry);

namespace binding {

using py::Use;

template <typename K>
PyObject* open(PyObject* self, PyObject*) {
  return py::run_method<ServerState, Use::Exclusive>(self, K::cell(), [&](ServerState& st) {
    LockReleasingWaiter waiter;
    K::open(st, waiter);
    return py::none();
  });
}

template <typename K>
PyObject* serve(PyObject* self, PyObject*) {
  return py::run_method<ServerState, Use::Exclusive>(self, K::cell(), [&](ServerState& st) {
    auto served = st.connection.serve(
        [&] { return make_action_host(models::clone_action_registry(st.actions)); });
    if (!served) {
      const io::ServeError& e = served.error();
      switch (e.step) {
        case io::ServeError::Step::State:
          throw_state_error();
        case io::ServeError::Step::Setup:
          raise_io_error(e.error);
        case io::ServeError::Step::Start:
          panic_on_io_error("Unable to start the serving thread.", e.error);
      }
    }
    return py::none();
  });
}

// close() from every state leaves the object holding neither a connection nor a thread
// (io::Connection::close says how); its only error is a shutdown that failed for another
// reason than a peer already gone.
template <typename K>
PyObject* close(PyObject* self, PyObject*) {
  return py::run_method<ServerState, Use::Exclusive>(self, K::cell(), [&](ServerState& st) {
    auto closed = st.connection.close();
    if (!closed) raise_io_error(closed.error());
    return py::none();
  });
}

/// The reply frame built from callback()'s arguments, and the connection taken for it.
struct PendingReply {
  io::ReplySlot slot;
  base::ResultFrame reply;
};

/// The checks of callback() under the object's use: a reply in progress, the arguments, the
/// connection.
PendingReply begin_callback(ServerState& st, const py::Args<3>& a);

// The object's use is taken only to check the call and take the connection; the send runs
// after it is given back, holding the connection alone. Meanwhile every other method may
// run: close() and open() end the send by cutting the connection, and a second callback()
// on the same connection is refused as a conflicting use ("Already borrowed"), since its
// bytes would land inside this reply's.
template <typename K>
PyObject* callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::run_method_then<ServerState, Use::Exclusive>(
      self, K::cell(), K::kCallbackParams, args, nargs, kwnames,
      [&](ServerState& st, const py::Args<3>& a) { return begin_callback(st, a); },
      [&](PendingReply pending) {
        const base::EncodedReply encoded(pending.reply);
        LockReleasingWaiter waiter;
        auto sent =
            K::send_reply(pending.slot, std::string_view(encoded.data(), encoded.size()), waiter);
        if (!sent) raise_io_error(sent.error());
        return py::none();
      });
}

/// wait_disconnected()'s wait on a session taken under the interpreter lock.
py::Ref wait_for_session(std::optional<double> timeout,
                         std::shared_ptr<io::ServingSession> session);

// Takes no use of the object: it only copies the session pointer, under the interpreter
// lock, and no method leaves that pointer half changed while it waits without the lock. So
// the wait runs beside any other call, a blocked open() or callback() included.
template <typename K>
PyObject* wait_disconnected(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  struct Held {
    std::optional<double> timeout;
    std::shared_ptr<io::ServingSession> session;
  };
  return py::run_method_then<ServerState, Use::Unguarded>(
      self, K::cell(), K::kWaitDisconnectedParams, args, nargs, kwnames,
      [&](ServerState& st, const py::Args<1>& a) {
        Held held{py::to_timeout(a[0], "timeout"), nullptr};
        if (!st.connection.served()) throw_state_error();
        held.session = st.connection.session();
        return held;
      },
      [&](Held held) { return wait_for_session(held.timeout, std::move(held.session)); });
}

void register_action(ServerState& st, const py::Args<3>& a);
py::Ref find_action(ServerState& st, const py::Args<1>& a);

template <typename K>
PyObject* on(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::run_method<ServerState, Use::Exclusive>(self, K::cell(), K::kOnParams, args, nargs,
                                                     kwnames,
                                                     [&](ServerState& st, const py::Args<3>& a) {
                                                       register_action(st, a);
                                                       return py::none();
                                                     });
}

template <typename K>
PyObject* get_action(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::run_method<ServerState, Use::Exclusive>(
      self, K::cell(), K::kGetActionParams, args, nargs, kwnames,
      [&](ServerState& st, const py::Args<1>& a) { return find_action(st, a); });
}

// Read-only attributes. They take no use of the object: they copy one field under the
// interpreter lock, which no method leaves half changed, so a program can read them while
// open() waits (the bound address is set before the wait).
template <typename K>
PyObject* address(PyObject* self, void*) {
  return py::run_method<ServerState, Use::Unguarded>(self, K::cell(), [&](ServerState& st) {
    return py::check(py::new_str(st.connection.address()));
  });
}

template <typename K>
PyObject* bound_address(PyObject* self, void*) {
  return py::run_method<ServerState, Use::Unguarded>(self, K::cell(), [&](ServerState& st) {
    const std::string& bound = st.connection.bound_address();
    return bound.empty() ? py::none() : py::check(py::new_str(bound));
  });
}

/// The collector's view of the registered callables, which may hold the server.
int traverse(PyObject* self, visitproc visit, void* arg);
int clear(PyObject* self);

/// The method table of a server class: the methods every transport has, in the order of
/// the TCP class, then `extra`, then the end mark.
template <typename K, std::size_t N>
std::array<PyMethodDef, 8 + N> method_table(const std::array<PyMethodDef, N>& extra) {
  std::array<PyMethodDef, 8 + N> table = {{
      {"on", py::as_pycfunction<on<K>>(), METH_FASTCALL | METH_KEYWORDS,
       py::method_doc<K::kOnParams>},
      {"_get_action", py::as_pycfunction<get_action<K>>(), METH_FASTCALL | METH_KEYWORDS,
       py::method_doc<K::kGetActionParams>},
      {"open", open<K>, METH_NOARGS, py::method_doc<K::kOpenParams>},
      {"serve", serve<K>, METH_NOARGS, py::method_doc<K::kServeParams>},
      {"callback", py::as_pycfunction<callback<K>>(), METH_FASTCALL | METH_KEYWORDS,
       py::method_doc<K::kCallbackParams>},
      {"close", close<K>, METH_NOARGS, py::method_doc<K::kCloseParams>},
      {"wait_disconnected", py::as_pycfunction<wait_disconnected<K>>(),
       METH_FASTCALL | METH_KEYWORDS, py::method_doc<K::kWaitDisconnectedParams>},
  }};
  for (std::size_t i = 0; i < N; ++i) table[7 + i] = extra[i];
  table[7 + N] = {nullptr, nullptr, 0, nullptr};
  return table;
}

}  // namespace binding

}  // namespace velto::server
