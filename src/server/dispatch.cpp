// Dispatch of one decoded frame to its registered Python callable.
#include "server/dispatch.h"

#include <string_view>

#include "base/panic.h"
#include "py/errors.h"
#include "server/io/output.h"
#include "server/models/widget_classes.h"

namespace velto::server {

namespace {

// The frame's identity key, written in `buf`.
std::string_view frame_key(const base::Frame& frame, char (&buf)[base::kWidgetIdentityKeyMax]) {
  const char* end = base::write_identity_key(buf, frame.data.name(), frame.id);
  return {buf, static_cast<std::size_t>(end - buf)};
}

}  // namespace

base::Result<base::Unit, std::string> execute_action(const models::ActionRegistry& registry,
                                                     const base::Frame& frame,
                                                     py::ThreadState& thread,
                                                     io::ProgressLines& lines) {
  char key_buf[base::kWidgetIdentityKeyMax];
  const std::string_view key = frame_key(frame, key_buf);
  auto it = registry.find(key);
  if (it == registry.end()) {
    lines.add({"No key ", key, " found"});
    return base::Unit{};
  }
  lines.add_number("Found frame ! ", frame.id);
  lines.add({"running action"});
  // Nothing is written while the lock is held: a standard output or error that does not
  // drain then stalls this thread only, never the program's own threads. And what the
  // handler prints comes after the lines above.
  lines.flush();
  std::string failure;    // "<type>: <message>" when the action raised; empty otherwise
  std::string traceback;  // its traceback module text
  std::string panic;      // the message of a PanicException it raised
  bool panicked = false;
  {
    py::ThreadState::Hold hold(thread);
    py::Ref result = models::call_handler(it->second.callable.get(), frame.data);
    if (!result) {
      // Any exception, SystemExit and KeyboardInterrupt too, is only reported: nothing here
      // may end the interpreter (as in a thread of the interpreter's own).
      py::PythonError error = py::PythonError::fetch_raw();
      panicked = error.is_panic();
      if (panicked) panic = error.panic_message();
      failure = error.describe();
      traceback = error.format();
    }
  }
  if (panicked) {
    base::write_all_fd(2, py::continued_panic_notice(traceback));
    throw base::Panic(std::move(panic));
  }
  if (!failure.empty()) return base::Err{failure + "\n" + traceback};
  lines.add({"after function"});
  return base::Unit{};
}

}  // namespace velto::server
