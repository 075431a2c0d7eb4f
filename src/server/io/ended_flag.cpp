// The "ended" descriptor of a connection and the wait on it.
#include "server/io/ended_flag.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace velto::server::io {

base::Result<UniqueFd, IoError> make_event_fd() {
  UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!fd) return base::Err(IoError::from_errno(errno));
  return fd;
}

void EndedFlag::set() noexcept {
  if (set_.exchange(true, std::memory_order_acq_rel)) return;
  const uint64_t one = 1;
  // Cannot block or fail short of a counter overflow, which one write never reaches.
  while (::write(fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

base::Result<bool, IoError> poll_readable(
    int fd, std::optional<std::chrono::nanoseconds> timeout) noexcept {
  pollfd entry{.fd = fd, .events = POLLIN, .revents = 0};
  timespec limit{};
  if (timeout) {
    // time_t is 32 bits on i386: a longer wait is cut to a day, and the caller, which
    // counts to its own deadline, simply waits again.
    constexpr int64_t kDay = 86'400;
    const int64_t ns = timeout->count() < 0 ? 0 : timeout->count();
    const int64_t seconds = ns / 1'000'000'000;
    limit.tv_sec = static_cast<time_t>(seconds < kDay ? seconds : kDay);
    limit.tv_nsec = seconds < kDay ? static_cast<long>(ns % 1'000'000'000) : 0;
  }
  const int n = ::ppoll(&entry, 1, timeout ? &limit : nullptr, nullptr);
  if (n < 0) return base::Err(IoError::from_errno(errno));
  return n > 0;
}

}  // namespace velto::server::io
