// What the serving thread writes: progress lines and the reports of recovered events.
#include "server/io/output.h"

#include <charconv>
#include <cstring>

#include "base/panic.h"

namespace velto::server::io {

void ProgressLines::add(std::initializer_list<std::string_view> parts) {
  std::size_t length = 1;  // the line feed
  for (std::string_view part : parts) length += part.size();
  if (size_ + length > kCapacity) flush();
  if (length > kCapacity) {
    std::string line;
    line.reserve(length);
    for (std::string_view part : parts) line.append(part);
    line.push_back('\n');
    base::write_all_fd(fd_, line);
    return;
  }
  for (std::string_view part : parts) {
    if (part.empty()) continue;  // an empty view may have no data pointer at all
    std::memcpy(buffer_ + size_, part.data(), part.size());
    size_ += part.size();
  }
  buffer_[size_++] = '\n';
}

void ProgressLines::add_number(std::string_view prefix, std::uint64_t number) {
  char digits[20];
  const char* end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  add({prefix, std::string_view(digits, static_cast<std::size_t>(end - digits))});
}

void ProgressLines::flush() {
  if (size_ == 0) return;
  base::write_all_fd(fd_, std::string_view(buffer_, size_));
  size_ = 0;
}

std::string action_failed_report(std::string_view error) {
  std::string report = "velto_protocol: Action failed ";
  report.append(error);
  if (report.back() != '\n') report.push_back('\n');
  return report;
}

std::string dropped_bytes_report(std::size_t count, std::string_view message) {
  std::string text =
      "velto_protocol: dropped " + std::to_string(count) + " bytes that do not decode: ";
  text.append(message);
  text.push_back('\n');
  return text;
}

std::string dropped_unread_report(std::size_t count, std::string_view message) {
  std::string text = "velto_protocol: dropped " + std::to_string(count) + " bytes: ";
  text.append(message);
  text.push_back('\n');
  return text;
}

}  // namespace velto::server::io
