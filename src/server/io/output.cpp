// Progress lines on the process's standard output.
#include "server/io/output.h"

#include <cstring>
#include <string>

#include "base/panic.h"

namespace velto::server::io {

void print_line(std::string_view text, int fd) {
  char buffer[256];
  if (text.size() < sizeof buffer) {
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\n';
    base::write_all_fd(fd, std::string_view(buffer, text.size() + 1));
    return;
  }
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  base::write_all_fd(fd, line);
}

}  // namespace velto::server::io
