// Reports of internal failures on standard error.
#include "base/panic.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace velto::base {

namespace {

// The path below the project's top folder ("src/server/com_socket.cpp"), whatever path
// the compiler was given: from the last of the top folders' names in it, so that a checkout
// inside a folder named like one ("/src/tests/python/ext/binding_probe.cpp") still gives
// "tests/python/ext/binding_probe.cpp".
std::string_view project_path(std::string_view file) {
  std::size_t start = std::string_view::npos;
  for (std::string_view top : {"/src/", "/tests/", "/tools/", "/fuzz/", "/bench/"}) {
    const auto pos = file.rfind(top);
    if (pos != std::string_view::npos && (start == std::string_view::npos || pos > start)) {
      start = pos;
    }
  }
  return start == std::string_view::npos ? file : file.substr(start + 1);
}

}  // namespace

void write_all_fd(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;  // a signal arrived before anything was written
      return;                        // nowhere left to report to
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

void report_panic(std::string_view message, const std::source_location& location,
                  std::string_view thread_name) {
  const long tid = ::syscall(SYS_gettid);
  std::string name(thread_name);
  if (name.empty()) name = tid == ::getpid() ? "main" : "<unnamed>";
  std::string report = "velto_protocol: internal failure in thread '" + name + "' (id " +
                       std::to_string(tid) + ") at " +
                       std::string(project_path(location.file_name())) + ":" +
                       std::to_string(location.line()) + ":\n" +
                       std::string(message.empty() ? "internal failure" : message) + "\n";
  write_all_fd(2, report);
}

void report_panic(const Panic& panic, std::string_view thread_name) {
  report_panic(panic.message(), panic.location(), thread_name);
}

}  // namespace velto::base
