// ComSocketServer, the TCP server object: argument matching, the object's use, the
// interpreter lock around waits, and the exceptions and texts of its io::Connection.
#include "server/com_socket.h"

#include <chrono>
#include <memory>
#include <optional>
#include <source_location>
#include <string_view>

#include "base/widget_registry.h"
#include "py/args.h"
#include "py/blocking_call.h"
#include "py/entry.h"
#include "py/gil.h"
#include "py/method.h"
#include "server/dispatch.h"
#include "server/models/enums.h"
#include "server/models/result_frame.h"

namespace velto::server {

using py::Ref;

namespace {

using Self = py::Instance<ComSocketState>;
using py::Use;

[[noreturn]] void throw_state_error() {
  throw py::Error(base::Error(base::ServerStateError::kText));
}

[[noreturn]] void throw_reply_cut() {
  throw py::Error(base::Error("an earlier reply was cut short; open a new connection"));
}

// The two ends an I/O failure can take in a method. The caller's own trouble (a peer gone,
// a descriptor it cannot have) is an error of the operation: RuntimeError with the error's
// text.
[[noreturn]] void raise_io_error(const io::IoError& error) {
  throw py::Error(base::Error(error.text()));
}

// A failure that leaves the operation nothing to go on with (no listener, no connection
// accepted, no thread) is an internal failure: PanicException "<context> <diagnostic>",
// reported at the caller's line.
[[noreturn]] void panic_on_io_error(std::string_view context, const io::IoError& error,
                                    std::source_location loc = std::source_location::current()) {
  throw base::Panic(std::string(context) + " " + error.diagnostic(), loc);
}

// The thread's side of a serve(): a snapshot of the registry, dispatched with the thread's
// own interpreter state. Runs without the interpreter lock; the dispatch takes it. An
// internal failure is reported here, while the thread's interpreter state still exists, so
// that the state is given back in the regular way. Released on the serving thread: the
// registry's references are queued for release then.
class ActionHost final : public io::DispatcherHost {
 public:
  explicit ActionHost(models::ActionRegistry registry) : registry_(std::move(registry)) {}

  void run(base::FunctionRef<void(io::Dispatcher&)> serve) override {
    if (!Py_IsInitialized()) return;
    py::ThreadState thread;
    ActionDispatcher dispatcher(registry_, thread);
    try {
      serve(dispatcher);
    } catch (const base::Panic& panic) {
      base::report_panic(panic);
    }
    thread.finish();
  }

 private:
  models::ActionRegistry registry_;
};

// Every wait of a method: without the interpreter lock, signal handlers run between tries.
class LockReleasingWaiter final : public io::Waiter {
 public:
  void wait(std::optional<io::Deadline> deadline, Attempt attempt) override {
    py::blocking_call(deadline, attempt);
  }
};

// Warns (RuntimeWarning) about a registration that can never run: a kind no frame carries,
// an action that cannot be called. Under "-W error" the warning is raised instead.
void warn_about_registration(std::string_view widget, std::string_view key, PyObject* action) {
  const std::string_view kind = base::first_word(widget);
  if (!base::is_widget_kind(kind)) {
    const std::string text = "no widget kind '" + std::string(kind) + "' (did you mean '" +
                             std::string(base::closest_widget_kind(kind)) +
                             "'?); frames never carry it";
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) != 0) py::throw_pending();
  }
  if (PyCallable_Check(action) == 0) {
    const std::string text = "the action for " + std::string(key) + " is not callable ('" +
                             py::type_name_of(action) + "' object)";
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) != 0) py::throw_pending();
  }
}

constexpr py::Params<1> kNewParams{"ComSocketServer.__new__()", {"address"}};
PyObject* ComSocketServer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::run_entry([&] {
    py::check_requested_class(type, ComSocketServer_cell);
    auto a = py::match(kNewParams, args, kwargs);
    std::string address = py::to_text(a[0], "address");
    return py::new_instance<ComSocketState>(type, std::move(address));
  });
}

PyObject* ComSocketServer_open(PyObject* self, PyObject*) {
  return py::run_method<ComSocketState, Use::Exclusive>(
      self, ComSocketServer_cell, [&](ComSocketState& st) {
        LockReleasingWaiter waiter;
        auto opened = st.connection.open(waiter);
        if (!opened) {
          const io::OpenError& e = opened.error();
          if (e.step == io::OpenError::Step::Listen) {
            panic_on_io_error("Unable to intanstiate TCP Listener.", e.error);
          }
          panic_on_io_error("Unable to get new TCP connection.", e.error);
        }
        return py::none();
      });
}

PyObject* ComSocketServer_serve(PyObject* self, PyObject*) {
  return py::run_method<ComSocketState, Use::Exclusive>(
      self, ComSocketServer_cell, [&](ComSocketState& st) {
        auto served = st.connection.serve([&] {
          return std::make_unique<ActionHost>(models::clone_action_registry(st.actions));
        });
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
PyObject* ComSocketServer_close(PyObject* self, PyObject*) {
  return py::run_method<ComSocketState, Use::Exclusive>(self, ComSocketServer_cell,
                                                        [&](ComSocketState& st) {
                                                          auto closed = st.connection.close();
                                                          if (!closed)
                                                            raise_io_error(closed.error());
                                                          return py::none();
                                                        });
}

constexpr py::Params<3> kCallbackParams{"ComSocketServer.callback()", {"id", "status", "data"}};

// The object's use is taken only to check the call and take the connection; the send runs
// after it is given back, holding the connection alone. Meanwhile every other method may
// run: close() and open() end the send by cutting the connection, and a second callback()
// on the same connection is refused as a conflicting use ("Already borrowed"), since its
// bytes would land inside this reply's.
PyObject* ComSocketServer_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  struct Pending {
    io::ReplySlot slot;
    base::ResultFrame reply;
  };
  return py::run_method_then<ComSocketState, Use::Exclusive>(
      self, ComSocketServer_cell, kCallbackParams, args, nargs, kwnames,
      [&](ComSocketState& st, const py::Args<3>& a) {
        if (st.connection.reply_in_progress()) {
          py::throw_error(PyExc_RuntimeError, py::conflict_message(Use::Exclusive));
        }
        const uint8_t id = py::to_u8(a[0], "id");
        const base::ServerStatus status = models::server_status_from_arg(a[1], "status");
        // Built before the connection is looked at: a bad result object is reported even on
        // a server that was never opened.
        base::ResultFrame reply = models::result_frame_new(id, status, Ref::borrow(a[2]), "data");
        auto slot = st.connection.begin_reply();
        if (!slot) {
          if (slot.error() == io::ReplyRefusal::Cut) throw_reply_cut();
          throw_state_error();
        }
        return Pending{std::move(slot).value(), std::move(reply)};
      },
      [&](Pending pending) {
        const base::EncodedReply encoded(pending.reply);
        LockReleasingWaiter waiter;
        auto sent = pending.slot.send(std::string_view(encoded.data(), encoded.size()), waiter);
        if (!sent) raise_io_error(sent.error());
        return py::none();
      });
}

constexpr py::Params<1> kWaitDisconnectedParams{
    "ComSocketServer.wait_disconnected()", {"timeout"}, 0};

// Takes no use of the object: it only copies the session pointer, under the interpreter
// lock, and no method leaves that pointer half changed while it waits without the lock. So
// the wait runs beside any other call, a blocked open() or callback() included. It waits on
// the session's "ended" descriptor without the interpreter lock; a signal handler that
// raises ends the wait with its exception, otherwise it goes on for the time that remains.
PyObject* ComSocketServer_wait_disconnected(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
  struct Held {
    std::optional<double> timeout;
    std::shared_ptr<io::ServingSession> session;
  };
  return py::run_method_then<ComSocketState, Use::Unguarded>(
      self, ComSocketServer_cell, kWaitDisconnectedParams, args, nargs, kwnames,
      [&](ComSocketState& st, const py::Args<1>& a) {
        Held held{py::to_timeout(a[0], "timeout"), nullptr};
        if (!st.connection.served()) throw_state_error();
        held.session = st.connection.session();
        return held;
      },
      [&](Held held) {
        if (!held.session) return py::boolean(true);
        std::optional<std::chrono::nanoseconds> timeout;
        // Beyond about 30 years a limit means nothing to this wait (and would overflow).
        if (held.timeout && *held.timeout < 1e9) {
          timeout = std::chrono::duration_cast<std::chrono::nanoseconds>(
              std::chrono::duration<double>(*held.timeout));
        }
        LockReleasingWaiter waiter;
        auto ended = io::wait_ended(*held.session, timeout, waiter);
        if (!ended) raise_io_error(ended.error());
        return py::boolean(ended.value());
      });
}

constexpr py::Params<3> kOnParams{"ComSocketServer.on()", {"id", "widget", "action"}};
PyObject* ComSocketServer_on(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return py::run_method<ComSocketState, Use::Exclusive>(
      self, ComSocketServer_cell, kOnParams, args, nargs, kwnames,
      [&](ComSocketState& st, const py::Args<3>& a) {
        const uint8_t id = py::to_u8(a[0], "id");
        const std::string widget = py::to_text(a[1], "widget");
        std::string key = base::action_identity(id, widget);
        warn_about_registration(widget, key, a[2]);
        st.actions.insert_or_assign(std::move(key), models::Action{py::SharedRef::borrow(a[2])});
        return py::none();
      });
}

constexpr py::Params<1> kGetActionParams{"ComSocketServer._get_action()", {"key"}};
PyObject* ComSocketServer_get_action(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return py::run_method<ComSocketState, Use::Exclusive>(
      self, ComSocketServer_cell, kGetActionParams, args, nargs, kwnames,
      [&](ComSocketState& st, const py::Args<1>& a) {
        const std::string key = py::to_text(a[0], "key");
        const auto& actions = st.actions;
        auto it = actions.find(key);
        return it == actions.end() ? py::none() : Ref::borrow(it->second.callable.get());
      });
}

// Read-only attributes. They take no use of the object: they copy one field under the
// interpreter lock, which no method leaves half changed, so a program can read them while
// open() waits (the bound address is set before the wait).
PyObject* ComSocketServer_address(PyObject* self, void*) {
  return py::run_method<ComSocketState, Use::Unguarded>(
      self, ComSocketServer_cell,
      [&](ComSocketState& st) { return py::check(py::new_str(st.connection.address())); });
}

PyObject* ComSocketServer_bound_address(PyObject* self, void*) {
  return py::run_method<ComSocketState, Use::Unguarded>(
      self, ComSocketServer_cell, [&](ComSocketState& st) {
        const std::string& bound = st.connection.bound_address();
        return bound.empty() ? py::none() : py::check(py::new_str(bound));
      });
}

// The registry holds the registered callables, which may hold the server (a closure, a
// bound method): the collector must see those references to break such cycles.
int ComSocketServer_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* inst = py::instance_of<ComSocketState>(self);
  if (!inst->flag.has_value()) return 0;
  for (const auto& [key, action] : inst->value.actions) Py_VISIT(action.callable.get());
  return 0;
}

int ComSocketServer_clear(PyObject* self) {
  auto* inst = py::instance_of<ComSocketState>(self);
  if (!inst->flag.has_value()) return 0;
  // Moved out first: releasing a callable can run Python code that reaches this object.
  models::ActionRegistry gone = std::move(inst->value.actions);
  inst->value.actions.clear();
  return 0;
}

constexpr py::Params<0> kOpenParams{"ComSocketServer.open()", {}};
constexpr py::Params<0> kServeParams{"ComSocketServer.serve()", {}};
constexpr py::Params<0> kCloseParams{"ComSocketServer.close()", {}};

PyMethodDef ComSocketServer_methods[] = {
    {"on", py::as_pycfunction<ComSocketServer_on>(), METH_FASTCALL | METH_KEYWORDS,
     py::method_doc<kOnParams>},
    {"_get_action", py::as_pycfunction<ComSocketServer_get_action>(), METH_FASTCALL | METH_KEYWORDS,
     py::method_doc<kGetActionParams>},
    {"open", ComSocketServer_open, METH_NOARGS, py::method_doc<kOpenParams>},
    {"serve", ComSocketServer_serve, METH_NOARGS, py::method_doc<kServeParams>},
    {"callback", py::as_pycfunction<ComSocketServer_callback>(), METH_FASTCALL | METH_KEYWORDS,
     py::method_doc<kCallbackParams>},
    {"close", ComSocketServer_close, METH_NOARGS, py::method_doc<kCloseParams>},
    {"wait_disconnected", py::as_pycfunction<ComSocketServer_wait_disconnected>(),
     METH_FASTCALL | METH_KEYWORDS, py::method_doc<kWaitDisconnectedParams>},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ComSocketServer_getset[] = {
    {"address", ComSocketServer_address, nullptr, nullptr, nullptr},
    {"bound_address", ComSocketServer_bound_address, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ComSocketServer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ComSocketServer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<ComSocketState>)},
    {Py_tp_methods, ComSocketServer_methods},
    {Py_tp_getset, ComSocketServer_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(ComSocketServer_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ComSocketServer_clear)},
    {Py_tp_doc, const_cast<char*>(py::function_doc<kNewParams>)},
    {0, nullptr},
};

PyType_Spec ComSocketServer_spec = {
    .name = "velto_protocol.ComSocketServer",
    .basicsize = sizeof(Self),
    .itemsize = 0,
    .flags = py::kTypeFlags | Py_TPFLAGS_HAVE_GC,
    .slots = ComSocketServer_slots,
};

}  // namespace

py::TypeCell ComSocketServer_cell{"ComSocketServer", &ComSocketServer_spec};

Ref new_com_socket_server(std::string address) {
  return py::new_instance<ComSocketState>(ComSocketServer_cell.require(), std::move(address));
}

}  // namespace velto::server
