// UniqueFd: the one owner of a file descriptor.
#pragma once

#include <unistd.h>

#include <utility>

namespace velto::server::io {

/// Move-only owner of a descriptor; closes it when destroyed or reset. -1 means none.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

  /// Gives up ownership without closing; the caller owns the returned descriptor.
  int release() { return std::exchange(fd_, -1); }

  /// Closes the held descriptor, if any, and takes `fd` instead.
  void reset(int fd = -1) {
    const int old = std::exchange(fd_, fd);
    // Never retried on EINTR: Linux releases the descriptor whatever close returns, and a
    // retry could close a descriptor another thread has just been given.
    if (old >= 0) ::close(old);
  }

 private:
  int fd_ = -1;
};

}  // namespace velto::server::io
