// Progress lines on the process's standard output.
#pragma once

#include <string_view>

namespace velto::server::io {

/// Writes `text` and a line feed to `fd` (standard output by default) in one write, so
/// that lines printed by different threads never interleave. Lines up to 255 bytes are
/// built on the stack.
void print_line(std::string_view text, int fd = 1);

}  // namespace velto::server::io
