// Panic: an internal failure (a broken invariant or an unrecoverable condition).
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace velto::base {

/// Thrown for internal failures only, never for expected conditions. Records where it was
/// raised. Python callers receive it as PanicException; on a thread of ours it ends the thread.
class Panic : public std::exception {
 public:
  explicit Panic(std::string message,
                 std::source_location location = std::source_location::current())
      : message_(std::move(message)), location_(location) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }
  const std::source_location& location() const { return location_; }

 private:
  std::string message_;
  std::source_location location_;
};

/// Writes the report of an internal failure to standard error in one write: the thread
/// (its name, or "<unnamed>", and its id), the source location and the message.
void report_panic(const Panic& panic, std::string_view thread_name = {});

/// The same report for a message and location that are not (or no longer) a Panic.
void report_panic(std::string_view message, const std::source_location& location,
                  std::string_view thread_name = {});

/// Writes `text` to the descriptor in as many write(2) calls as it takes, retrying after
/// EINTR. Used for progress lines (fd 1) and reports (fd 2), so that each line leaves in
/// one piece when the descriptor accepts it whole.
void write_all_fd(int fd, std::string_view text);

}  // namespace velto::base
