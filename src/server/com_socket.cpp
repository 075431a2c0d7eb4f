// ComSocketServer, the TCP server object, and the module-level `on` decorator factory.
#include "server/com_socket.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <source_location>
#include <string_view>

#include "base/widget_registry.h"
#include "py/args.h"
#include "py/entry.h"
#include "py/gil.h"
#include "py/method.h"
#include "server/dispatch.h"
#include "server/io/serving_loop.h"
#include "server/io/socket.h"
#include "server/models/enums.h"
#include "server/models/result_frame.h"

namespace velto::server {

using py::Ref;

ComSocketState::~ComSocketState() {
  address.clear();
  stream.reset();
  actions.clear();
  link.reset();
}

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

// Marks the session's thread ended, and its connection with it, when destroyed: that is
// after the rest of the thread's state, the stop receiver included, has been released.
struct EndMark {
  std::shared_ptr<ServingSession> session;
  EndMark(std::shared_ptr<ServingSession> s) : session(std::move(s)) {}  // NOLINT
  EndMark(EndMark&&) = default;
  ~EndMark() {
    if (!session) return;
    session->thread_ended.store(true, std::memory_order_release);
    session->ended.set();
  }
};

// What a serving thread owns; released in the order receiver, descriptor, registry, and
// then the session's end is marked.
struct ServingJob {
  EndMark end;
  models::ActionRegistry registry;
  io::UniqueFd conn;
  io::StopReceiver receiver;
};

// The body of a serving thread. Runs without the interpreter lock; dispatch takes it.
// An internal failure is reported here, while the thread's interpreter state still exists,
// so that the state is given back in the regular way.
void run_serving_thread(ServingJob& job) {
  if (!Py_IsInitialized()) return;
  py::ThreadState thread;
  ActionDispatcher dispatcher(job.registry, thread);
  try {
    io::run_serving_loop(job.receiver, job.conn, dispatcher, {.ended = &job.end.session->ended});
  } catch (const base::Panic& panic) {
    base::report_panic(panic);
  }
  thread.finish();
}

// Ends a reply being written on `conn` as the object lets the connection go: the writing
// side is shut down, so the blocked send returns with its error (EPIPE) instead of waiting
// for a peer that may never read.
void cut_reply_in_progress(const Connection& conn) {
  if (conn.sending.load()) (void)io::shutdown_fd(conn.fd.get(), SHUT_WR);
}

// Waits for one client without holding the interpreter lock. After a signal the lock is
// taken back and the handlers run: one that raises ends the wait with its exception.
io::UniqueFd accept_client(const io::UniqueFd& listener) {
  for (;;) {
    auto accepted = py::without_gil([&] { return io::accept_once(listener); });
    if (accepted) return std::move(accepted).value();
    if (accepted.error().kind == io::IoErrorKind::Interrupted) {
      py::run_signal_handlers();
      continue;
    }
    panic_on_io_error("Unable to get new TCP connection.", accepted.error());
  }
}

// Writes all of `bytes`; `sent` counts what went out, also when it fails or throws (a
// signal handler's exception). The first try does not wait and keeps the lock (the usual
// case: the socket buffer has room); after that the lock is released while the send waits,
// and taken back to run signal handlers after an EINTR, and after a send that took only
// part of the rest (a signal that comes once some bytes went out cuts the send short
// instead of failing it).
base::Result<base::Unit, io::IoError> send_all(int fd, std::string_view bytes, std::size_t& sent) {
  ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n > 0) sent = static_cast<std::size_t>(n);
  if (n == 0 && !bytes.empty()) return base::Err{io::IoError::write_zero()};
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    return base::Err{io::IoError::from_errno(errno)};
  }
  while (sent < bytes.size()) {
    auto r = py::without_gil(
        [&] { return io::send_once(fd, bytes.data() + sent, bytes.size() - sent); });
    if (!r) {
      if (r.error().kind != io::IoErrorKind::Interrupted) return base::Err{std::move(r).error()};
      py::run_signal_handlers();
      continue;
    }
    if (r.value() == 0) return base::Err{io::IoError::write_zero()};
    sent += r.value();
    if (sent < bytes.size()) py::run_signal_handlers();
  }
  return base::Unit{};
}

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
        st.bound_address.clear();
        auto listener = io::bind_listener(st.address);
        if (!listener) panic_on_io_error("Unable to intanstiate TCP Listener.", listener.error());
        // Known before the wait, so that a program that asked for port 0 can learn the
        // port, and a thread of its own can connect to wake this open().
        if (auto bound = io::local_address(listener.value().get())) {
          st.bound_address = bound.value().to_string();
        }
        // The listener closes when this scope ends, on every path.
        io::UniqueFd conn = accept_client(listener.value());
        // The earlier connection is let go of without a shutdown (a thread of ours may still
        // read it); a reply blocked on it ends.
        if (st.stream) cut_reply_in_progress(*st.stream);
        st.stream = std::make_shared<Connection>(std::move(conn));
        if (st.link) st.link->on_stream = false;
        return py::none();
      });
}

PyObject* ComSocketServer_serve(PyObject* self, PyObject*) {
  return py::run_method<ComSocketState, Use::Exclusive>(
      self, ComSocketServer_cell, [&](ComSocketState& st) {
        if (!st.stream) throw_state_error();
        // One reader per connection: a thread of ours still serving this one (also one that
        // has seen its end of file, also the thread this is called from) refuses another.
        if (st.link && st.link->on_stream && st.link->thread_running()) throw_state_error();
        auto dup = io::duplicate_fd(st.stream->fd.get());
        if (!dup) raise_io_error(dup.error());
        auto waker = io::duplicate_fd(st.stream->fd.get());
        if (!waker) raise_io_error(waker.error());
        auto event_fd = io::make_event_fd();
        if (!event_fd) raise_io_error(event_fd.error());
        auto session = std::make_shared<ServingSession>(std::move(event_fd).value());
        auto job = std::make_shared<ServingJob>(ServingJob{
            session, models::clone_action_registry(st.actions), std::move(dup).value(), {}});
        auto [sender, receiver] = io::make_stop_channel();
        job->receiver = std::move(receiver);
        // An earlier thread is let go of first: one still running is orphaned ("Link
        // broken") and no close() reaches it any more.
        st.link.reset();
        st.link.emplace(ServingLink{std::move(sender), std::move(waker).value(), session});
        st.served = true;
        // A thread that cannot start leaves its session ended (the job's end mark runs as
        // the job is released here): close() then finds nothing to stop.
        auto started =
            io::spawn_detached([job] { run_serving_thread(*job); }, io::kServingThreadStackBytes);
        if (!started) panic_on_io_error("Unable to start the serving thread.", started.error());
        return py::none();
      });
}

// Every state close() can meet comes down to two questions: does the object hold a
// connection, and does it hold a serving thread (running, or ended on its own)? It answers
// both the same way whatever came before, and leaves the object holding neither:
//  1. The connection, unless a running thread of ours reads it, is shut down both ways at
//     once (a peer that has already gone is no error). A running thread shuts it down
//     itself when it sees the stop, after "Terminating.".
//  2. The thread gets the stop message and is woken from its read; one that has ended on
//     its own has released its receiver, and there is nothing left to stop. The message
//     stays queued for the thread after the sender is released with the link.
//  3. wait_disconnected() sees the end from now on.
//  4. A reply blocked in its send on the connection is cut (its writing side is shut
//     down): the sender returns with its error instead of waiting for a peer that may
//     never read, and the thread, once out of a handler blocked so, can see the stop.
// The only error left is a shutdown in step 1 that fails for another reason than a peer
// already gone; nothing has changed then.
PyObject* ComSocketServer_close(PyObject* self, PyObject*) {
  return py::run_method<ComSocketState, Use::Exclusive>(
      self, ComSocketServer_cell, [&](ComSocketState& st) {
        const bool thread_reads_stream = st.link && st.link->on_stream && st.link->thread_running();
        if (st.stream && !thread_reads_stream) {
          auto down = io::shutdown_fd(st.stream->fd.get(), SHUT_RDWR);
          if (!down && down.error().kind != io::IoErrorKind::NotConnected) {
            raise_io_error(down.error());
          }
        }
        if (st.link) {
          (void)st.link->stop.send(true);
          (void)io::shutdown_fd(st.link->waker.get(), SHUT_RD);
          st.link->session->ended.set();
          st.link.reset();
        }
        if (st.stream) {
          cut_reply_in_progress(*st.stream);
          st.stream.reset();
        }
        return py::none();
      });
}

// A callback()'s hold on the connection it writes to, from the moment it took the
// connection under the object's use until its send has ended: one reply at a time per
// connection. Created and destroyed under the interpreter lock.
class ReplySlot {
 public:
  explicit ReplySlot(std::shared_ptr<Connection> conn) : conn_(std::move(conn)) {
    conn_->sending.store(true);
  }
  ReplySlot(ReplySlot&&) noexcept = default;
  ReplySlot& operator=(ReplySlot&&) = delete;
  ~ReplySlot() {
    if (conn_) conn_->sending.store(false);
  }
  Connection& conn() const { return *conn_; }

 private:
  std::shared_ptr<Connection> conn_;
};

constexpr py::Params<3> kCallbackParams{"ComSocketServer.callback()", {"id", "status", "data"}};

// The object's use is taken only to check the call and take the connection; the send runs
// after it is given back, holding the connection alone. Meanwhile every other method may
// run: close() and open() end the send by cutting the connection, and a second callback()
// on the same connection is refused as a conflicting use ("Already borrowed"), since its
// bytes would land inside this reply's.
PyObject* ComSocketServer_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  struct Pending {
    ReplySlot slot;
    base::ResultFrame reply;
  };
  return py::run_method_then<ComSocketState, Use::Exclusive>(
      self, ComSocketServer_cell, kCallbackParams, args, nargs, kwnames,
      [&](ComSocketState& st, const py::Args<3>& a) {
        if (st.stream && st.stream->sending.load()) {
          py::throw_error(PyExc_RuntimeError, py::conflict_message(Use::Exclusive));
        }
        const uint8_t id = py::to_u8(a[0], "id");
        const base::ServerStatus status = models::server_status_from_arg(a[1], "status");
        // Built before the stream is looked at: a bad result object is reported even on a
        // server that was never opened.
        base::ResultFrame reply = models::result_frame_new(id, status, Ref::borrow(a[2]), "data");
        if (!st.stream) throw_state_error();
        if (st.stream->reply_cut.load()) throw_reply_cut();
        return Pending{ReplySlot(st.stream), std::move(reply)};
      },
      [&](Pending pending) {
        Connection& conn = pending.slot.conn();
        const base::EncodedReply encoded(pending.reply);
        const std::string_view bytes(encoded.data(), encoded.size());
        // A reply that went out only in part leaves the client unable to find the next one:
        // the write side is shut down so that it sees the stream end instead, and no later
        // reply is written. A send that fails before its first byte cuts nothing.
        std::size_t sent = 0;
        auto cut_if_partial = [&] {
          if (sent == 0 || sent == bytes.size()) return;
          conn.reply_cut.store(true);
          (void)io::shutdown_fd(conn.fd.get(), SHUT_WR);
        };
        auto outcome = [&] {
          try {
            return send_all(conn.fd.get(), bytes, sent);
          } catch (...) {
            cut_if_partial();
            throw;
          }
        }();
        if (!outcome) {
          cut_if_partial();
          raise_io_error(outcome.error());
        }
        return py::none();
      });
}

// How long wait_disconnected() may still wait: none for no limit, else what is left until
// `deadline` (zero or less when it has passed).
std::optional<std::chrono::nanoseconds> time_left(
    const std::optional<std::chrono::steady_clock::time_point>& deadline) {
  if (!deadline) return std::nullopt;
  return *deadline - std::chrono::steady_clock::now();
}

constexpr py::Params<1> kWaitDisconnectedParams{
    "ComSocketServer.wait_disconnected()", {"timeout"}, 0};

// Takes no use of the object: it only copies the session pointer, under the interpreter
// lock, and no method leaves that pointer half changed while it waits without the lock. So
// the wait runs beside any other call, a blocked open() or callback() included. It waits on
// the session's "ended" descriptor without the interpreter lock. After a signal the lock is
// taken back and the handlers run: one that raises ends the wait with its exception;
// otherwise the wait goes on for the time that remains.
PyObject* ComSocketServer_wait_disconnected(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
  struct Held {
    std::optional<double> timeout;
    std::shared_ptr<ServingSession> session;
  };
  return py::run_method_then<ComSocketState, Use::Unguarded>(
      self, ComSocketServer_cell, kWaitDisconnectedParams, args, nargs, kwnames,
      [&](ComSocketState& st, const py::Args<1>& a) {
        Held held{py::to_timeout(a[0], "timeout"), nullptr};
        if (!st.served) throw_state_error();
        if (st.link) held.session = st.link->session;
        return held;
      },
      [&](Held held) {
        const std::optional<double>& timeout = held.timeout;
        const std::shared_ptr<ServingSession>& session = held.session;
        if (!session || session->ended.is_set()) return py::boolean(true);
        std::optional<std::chrono::steady_clock::time_point> deadline;
        // Beyond about 30 years a limit means nothing to this wait (and would overflow).
        if (timeout && *timeout < 1e9) {
          deadline = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::duration<double>(*timeout));
        }
        for (;;) {
          auto left = time_left(deadline);
          if (left && left->count() <= 0) return py::boolean(session->ended.is_set());
          auto polled =
              py::without_gil([&] { return io::poll_readable(session->ended.fd(), left); });
          if (polled) {
            if (polled.value()) return py::boolean(true);
            continue;  // the time is up, or the cut-down wait of a very long timeout is
          }
          if (polled.error().kind != io::IoErrorKind::Interrupted) {
            raise_io_error(polled.error());
          }
          py::run_signal_handlers();
        }
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
      [&](ComSocketState& st) { return py::check(py::new_str(st.address)); });
}

PyObject* ComSocketServer_bound_address(PyObject* self, void*) {
  return py::run_method<ComSocketState, Use::Unguarded>(
      self, ComSocketServer_cell, [&](ComSocketState& st) {
        return st.bound_address.empty() ? py::none() : py::check(py::new_str(st.bound_address));
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

// ---- on(server): the decorator and the wrapper ----------------------------------------

constexpr const char* kCapsuleName = "velto_protocol.reference";

// A capsule owning one reference, released when the capsule is destroyed.
Ref reference_capsule(PyObject* obj) {
  Ref capsule = py::check(PyCapsule_New(obj, kCapsuleName, [](PyObject* cap) {
    Py_XDECREF(static_cast<PyObject*>(PyCapsule_GetPointer(cap, kCapsuleName)));
  }));
  Py_INCREF(obj);  // owned by the capsule from here on
  return capsule;
}

PyObject* capsule_target(PyObject* capsule,
                         std::source_location loc = std::source_location::current()) {
  auto* p = static_cast<PyObject*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (p == nullptr) {
    PyErr_Clear();
    throw base::Panic("a decorator or wrapper lost its reference", loc);
  }
  return p;
}

// Calls the decorated function with the very same arguments; its exception goes on
// unchanged (a PanicException as an internal failure).
PyObject* wrapper_call(PyObject* capsule, PyObject* args, PyObject* kwargs) {
  return py::run_entry([&] {
    PyObject* function = capsule_target(capsule);
    Ref result = Ref::steal(PyObject_Call(function, args, kwargs));
    if (!result) py::throw_pending();
    return result;
  });
}

PyMethodDef wrapper_def = {
    "wrapper", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(wrapper_call)),
    METH_VARARGS | METH_KEYWORDS, ""};

// Registers the function named "<Kind>_<id>[_...]" on the held server, returns its wrapper.
PyObject* decorator_call(PyObject* capsule, PyObject* args, PyObject*) {
  return py::run_entry([&] {
    PyObject* server = capsule_target(capsule);
    PyObject* function = PyTuple_GetItem(args, 0);  // IndexError when there is none
    if (function == nullptr) py::throw_pending();
    Ref name = Ref::steal(PyObject_GetAttrString(function, "__name__"));
    if (!name || !PyUnicode_Check(name.get())) {
      py::discard_pending();
      throw base::Panic("the decorated object has no string __name__");
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) {
      PyErr_Clear();
      throw base::Panic("the decorated object's __name__ is not valid UTF-8");
    }
    auto identity = base::extract_identity(std::string_view(text, static_cast<std::size_t>(size)));
    if (!identity) throw base::Panic(identity.error().message());
    auto [id, kind] = std::move(identity).value();
    Ref on = Ref::steal(PyObject_GetAttrString(server, "on"));
    Ref id_obj = on ? Ref::steal(PyLong_FromLong(id)) : Ref();
    Ref kind_obj = id_obj ? Ref::steal(py::new_str(kind)) : Ref();
    Ref registered;
    if (kind_obj) {
      registered = Ref::steal(
          PyObject_CallFunctionObjArgs(on.get(), id_obj.get(), kind_obj.get(), function, nullptr));
    }
    if (!registered) {
      py::PythonError error = py::PythonError::fetch();
      throw base::Panic("registering `" + std::string(text, static_cast<std::size_t>(size)) +
                        "` failed: " + error.describe());
    }
    Ref holder = reference_capsule(function);
    return py::check(PyCMethod_New(&wrapper_def, holder.get(), nullptr, nullptr));
  });
}

PyMethodDef decorator_def = {
    "wrapper", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(decorator_call)),
    METH_VARARGS | METH_KEYWORDS, ""};

constexpr py::Params<1> kModuleOnParams{"on()", {"server"}};
PyObject* module_on(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::run_entry([&] {
    auto a = py::match(kModuleOnParams, args, nargs, kwnames);
    if (!PyObject_TypeCheck(a[0], ComSocketServer_cell.require())) {
      py::throw_argument_error("server", py::cannot_convert(a[0], "ComSocketServer"));
    }
    Ref holder = reference_capsule(a[0]);
    return py::check(PyCMethod_New(&decorator_def, holder.get(), nullptr, nullptr));
  });
}

PyMethodDef module_on_def = {"on", py::as_pycfunction<module_on>(), METH_FASTCALL | METH_KEYWORDS,
                             py::function_doc<kModuleOnParams>};

}  // namespace

py::TypeCell ComSocketServer_cell{"ComSocketServer", &ComSocketServer_spec};

Ref new_com_socket_server(std::string address) {
  return py::new_instance<ComSocketState>(ComSocketServer_cell.require(), std::move(address));
}

Ref make_on_function(PyObject* module) {
  Ref module_name = py::check(PyObject_GetAttrString(module, "__name__"));
  return py::check(PyCMethod_New(&module_on_def, module, module_name.get(), nullptr));
}

}  // namespace velto::server
