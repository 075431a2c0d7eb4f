// EndedFlag: a descriptor that becomes readable once, for good, when a connection has ended.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>

#include "base/result.h"
#include "server/io/io_error.h"
#include "server/io/unique_fd.h"

namespace velto::server::io {

/// A new eventfd for an EndedFlag; fails when none can be made.
base::Result<UniqueFd, IoError> make_event_fd();

/// Set once and never cleared: the eventfd behind it is written once and never drained, so
/// any number of threads polling it see it readable from then on. Whoever waits on it must
/// keep its owner alive for the wait, so that the descriptor stays open.
class EndedFlag {
 public:
  /// An unset flag on `fd`, from make_event_fd().
  explicit EndedFlag(UniqueFd fd) : fd_(std::move(fd)) {}
  EndedFlag(const EndedFlag&) = delete;
  EndedFlag& operator=(const EndedFlag&) = delete;

  /// Sets the flag; later calls do nothing. Any thread, no lock needed.
  void set() noexcept;
  bool is_set() const noexcept { return set_.load(std::memory_order_acquire); }
  int fd() const noexcept { return fd_.get(); }

 private:
  UniqueFd fd_;
  std::atomic<bool> set_ = false;
};

/// One poll of `fd` for readability, for at most `timeout` (none: without limit). True
/// when readable, false when the time passed. EINTR is reported as an error of kind
/// Interrupted, not retried: the caller checks for signals and waits for the time left.
base::Result<bool, IoError> poll_readable(int fd,
                                          std::optional<std::chrono::nanoseconds> timeout) noexcept;

}  // namespace velto::server::io
