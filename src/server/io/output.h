// What the serving thread writes: its progress lines on standard output, and the reports of
// the events it recovers from (an action that raised, bytes that do not decode).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace velto::server::io {

/// Progress lines collected and written together, one `write` for all the lines collected
/// since the last flush. A write holds whole lines only, at most kCapacity bytes (below the
/// size up to which a pipe takes a write whole), so lines of different threads never
/// interleave. Whoever collects lines flushes them before anything that waits or runs other
/// code (a handler call, a read that waits, the pause), and before telling anyone that the
/// connection ended; the destructor writes what is left.
class ProgressLines {
 public:
  static constexpr std::size_t kCapacity = 1024;

  explicit ProgressLines(int fd) : fd_(fd) {}
  ProgressLines(const ProgressLines&) = delete;
  ProgressLines& operator=(const ProgressLines&) = delete;
  ~ProgressLines() { flush(); }

  /// Adds the line made of `parts` and a line feed. The lines collected so far are written
  /// first when it does not fit beside them; a line longer than kCapacity then goes out in
  /// a write of its own.
  void add(std::initializer_list<std::string_view> parts);
  /// Adds "<prefix><number>" (the number in decimal).
  void add_number(std::string_view prefix, std::uint64_t number);
  /// Writes the lines collected, if any, in one write.
  void flush();

 private:
  int fd_;
  std::size_t size_ = 0;
  char buffer_[kCapacity];
};

// An action that raised and bytes that do not decode are expected events, not internal
// failures: serving goes on, and a source location would point into this module for a fault
// of the handler or of the peer. Their reports still begin with "velto_protocol: ", as an
// internal failure's does, so that one filter on standard error finds everything the module
// reports there, apart from the program's own output.

/// "velto_protocol: Action failed <error>", ending in a line feed (`error` is the action's
/// "<type>: <message>", then any traceback).
std::string action_failed_report(std::string_view error);

/// "velto_protocol: dropped <count> bytes that do not decode: <message>", with a line feed.
std::string dropped_bytes_report(std::size_t count, std::string_view message);

/// "velto_protocol: dropped <count> bytes: <message>", with a line feed: bytes dropped for
/// what they are rather than for failing to decode.
std::string dropped_unread_report(std::size_t count, std::string_view message);

}  // namespace velto::server::io
