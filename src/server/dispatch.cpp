// Dispatch of one decoded frame to its registered Python callable.
#include "server/dispatch.h"

#include <charconv>
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
                                                     py::ThreadState& thread, int out_fd) {
  char key_buf[base::kWidgetIdentityKeyMax];
  const std::string_view key = frame_key(frame, key_buf);
  auto it = registry.find(key);
  if (it == registry.end()) {
    io::print_line("No key " + std::string(key) + " found", out_fd);
    return base::Unit{};
  }
  char id_line[32] = "Found frame ! ";
  char* end = std::to_chars(id_line + 14, id_line + sizeof id_line, frame.id).ptr;
  io::print_line(std::string_view(id_line, static_cast<std::size_t>(end - id_line)), out_fd);

  // Nothing is written while the lock is held: a standard output or error that does not
  // drain then stalls this thread only, never the program's own threads.
  io::print_line("running action", out_fd);
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
  io::print_line("after function", out_fd);
  return base::Unit{};
}

}  // namespace velto::server
