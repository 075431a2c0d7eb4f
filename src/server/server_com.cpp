// Dispatch of one decoded frame to its registered Python callable.
#include "server/server_com.h"

#include <charconv>
#include <string_view>

#include "py/errors.h"
#include "server/io/output.h"
#include "server/models/widget_classes.h"

namespace velto::server {

namespace {

// "<Kind>_<id>" in `buf` (large enough for the longest kind name and three digits).
std::string_view frame_key(const base::Frame& frame, char (&buf)[40]) {
  std::string_view name = frame.data.name();
  name.copy(buf, name.size());
  char* p = buf + name.size();
  *p++ = '_';
  p = std::to_chars(p, buf + sizeof buf, frame.id).ptr;
  return {buf, static_cast<std::size_t>(p - buf)};
}

}  // namespace

base::Result<base::Unit, std::string> execute_action(const models::ActionRegistry& registry,
                                                     const base::Frame& frame,
                                                     py::ThreadState& thread, int out_fd) {
  char key_buf[40];
  const std::string_view key = frame_key(frame, key_buf);
  auto it = registry.find(key);
  if (it == registry.end()) {
    io::print_line("No key " + std::string(key) + " found", out_fd);
    return base::Unit{};
  }
  char id_line[32] = "Found frame ! ";
  char* end = std::to_chars(id_line + 14, id_line + sizeof id_line, frame.id).ptr;
  io::print_line(std::string_view(id_line, static_cast<std::size_t>(end - id_line)), out_fd);

  py::ThreadState::Hold hold(thread);
  io::print_line("running action", out_fd);
  py::Ref arg = models::widget_object(frame.data);
  PyObject* args[] = {arg.get()};
  py::Ref result = py::Ref::steal(PyObject_Vectorcall(it->second.callable.get(), args, 1, nullptr));
  if (!result) {
    // A PanicException is continued as an internal failure (fetch throws).
    py::PythonError error = py::PythonError::fetch();
    std::string text = error.describe();
    error.restore();
    PyErr_PrintEx(0);
    return base::Err{std::move(text)};
  }
  result = py::Ref();
  io::print_line("after function", out_fd);
  return base::Unit{};
}

}  // namespace velto::server
