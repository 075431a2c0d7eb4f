// The parts of the server classes' bindings that do not depend on the transport.
#include "server/server_binding.h"

#include "base/widget_registry.h"
#include "server/dispatch.h"
#include "server/models/enums.h"
#include "server/models/result_frame.h"

namespace velto::server {

using py::Ref;

void throw_state_error() { throw py::Error(base::Error(base::ServerStateError::kText)); }

void throw_reply_cut() {
  throw py::Error(base::Error("an earlier reply was cut short; open a new connection"));
}

void raise_io_error(const io::IoError& error) { throw py::Error(base::Error(error.text())); }

void panic_on_io_error(std::string_view context, const io::IoError& error,
                       std::source_location loc) {
  throw base::Panic(std::string(context) + " " + error.diagnostic(), loc);
}

void raise_open_error(const io::OpenError& error, std::source_location loc) {
  if (error.step == io::OpenError::Step::Listen) {
    panic_on_io_error("Unable to intanstiate TCP Listener.", error.error, loc);
  }
  panic_on_io_error("Unable to get new TCP connection.", error.error, loc);
}

namespace {

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

}  // namespace

std::unique_ptr<io::DispatcherHost> make_action_host(models::ActionRegistry registry) {
  return std::make_unique<ActionHost>(std::move(registry));
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

namespace binding {

PendingReply begin_callback(ServerState& st, const py::Args<3>& a) {
  if (st.connection.reply_in_progress()) {
    py::throw_error(PyExc_RuntimeError, py::conflict_message(Use::Exclusive));
  }
  const uint8_t id = py::to_u8(a[0], "id");
  const base::ServerStatus status = models::server_status_from_arg(a[1], "status");
  // Built before the connection is looked at: a bad result object is reported even on a
  // server that was never opened.
  base::ResultFrame reply = models::result_frame_new(id, status, Ref::borrow(a[2]), "data");
  auto slot = st.connection.begin_reply();
  if (!slot) {
    if (slot.error() == io::ReplyRefusal::Cut) throw_reply_cut();
    throw_state_error();
  }
  return PendingReply{std::move(slot).value(), std::move(reply)};
}

// Waits on the session's "ended" descriptor without the interpreter lock; a signal handler
// that raises ends the wait with its exception, otherwise it goes on for the time that
// remains.
py::Ref wait_for_session(std::optional<double> timeout_seconds,
                         std::shared_ptr<io::ServingSession> session) {
  if (!session) return py::boolean(true);
  std::optional<std::chrono::nanoseconds> timeout;
  // Beyond about 30 years a limit means nothing to this wait (and would overflow).
  if (timeout_seconds && *timeout_seconds < 1e9) {
    timeout = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(*timeout_seconds));
  }
  LockReleasingWaiter waiter;
  auto ended = io::wait_ended(*session, timeout, waiter);
  if (!ended) raise_io_error(ended.error());
  return py::boolean(ended.value());
}

void register_action(ServerState& st, const py::Args<3>& a) {
  const uint8_t id = py::to_u8(a[0], "id");
  const std::string widget = py::to_text(a[1], "widget");
  std::string key = base::action_identity(id, widget);
  warn_about_registration(widget, key, a[2]);
  st.actions.insert_or_assign(std::move(key), models::Action{py::SharedRef::borrow(a[2])});
}

py::Ref find_action(ServerState& st, const py::Args<1>& a) {
  const std::string key = py::to_text(a[0], "key");
  auto it = st.actions.find(key);
  return it == st.actions.end() ? py::none() : Ref::borrow(it->second.callable.get());
}

int traverse(PyObject* self, visitproc visit, void* arg) {
  auto* inst = py::instance_of<ServerState>(self);
  if (!inst->flag.has_value()) return 0;
  for (const auto& [key, action] : inst->value.actions) Py_VISIT(action.callable.get());
  return 0;
}

int clear(PyObject* self) {
  auto* inst = py::instance_of<ServerState>(self);
  if (!inst->flag.has_value()) return 0;
  // Moved out first: releasing a callable can run Python code that reaches this object.
  models::ActionRegistry gone = std::move(inst->value.actions);
  inst->value.actions.clear();
  return 0;
}

}  // namespace binding

}  // namespace velto::server
