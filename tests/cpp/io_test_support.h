// Helpers for the socket-server tests: pipes, bounded reads, standard-error capture.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "server/io/unique_fd.h"

namespace velto::server::io::testing {

using namespace std::chrono_literals;

/// How many times longer than natively a bounded wait may last: VELTO_WAIT_FACTOR, a positive
/// number (the i386 root sets it where it runs under user-mode emulation), else 1.
inline double wait_factor() {
  static const double factor = [] {
    const char* text = std::getenv("VELTO_WAIT_FACTOR");
    const double value = text ? std::strtod(text, nullptr) : 1.0;
    return value > 0 ? value : 1.0;
  }();
  return factor;
}

/// When a wait bounded by `timeout`, a native figure, gives up: every wait of the tests
/// takes its deadline from here.
inline std::chrono::steady_clock::time_point deadline_after(std::chrono::milliseconds timeout) {
  return std::chrono::steady_clock::now() +
         std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout * wait_factor());
}

/// Both ends of a pipe.
struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;

  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
      read_end.reset(fds[0]);
      write_end.reset(fds[1]);
    }
  }
};

/// Reads what `fd` offers until `done(text)` holds or `timeout` passes; returns the text.
template <typename Done>
std::string read_until(int fd, Done done, std::chrono::milliseconds timeout = 3000ms) {
  std::string text;
  const auto deadline = deadline_after(timeout);
  while (!done(text)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0))) <= 0) break;
    char chunk[4096];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  return text;
}

/// Two connected SOCK_SEQPACKET sockets: each write on `write_end` arrives as one record on
/// `read_end`, so a test sees how its text was cut into writes.
struct WriteRecorder {
  UniqueFd read_end;
  UniqueFd write_end;

  WriteRecorder() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) == 0) {
      read_end.reset(fds[0]);
      write_end.reset(fds[1]);
    }
  }

  /// The next `count` writes, or fewer if they do not all arrive within `timeout`.
  std::vector<std::string> writes(std::size_t count, std::chrono::milliseconds timeout = 3000ms) {
    std::vector<std::string> out;
    const auto deadline = deadline_after(timeout);
    while (out.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{read_end.get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0))) <= 0) break;
      char record[8192];
      const ssize_t n = ::recv(read_end.get(), record, sizeof record, 0);
      if (n <= 0) break;
      out.emplace_back(record, static_cast<std::size_t>(n));
    }
    return out;
  }

  /// Every write already made, without waiting for more.
  std::vector<std::string> rest() { return writes(SIZE_MAX, 0ms); }
};

/// Reads the lines written to a descriptor, a given number at a time; lines that arrive
/// early are kept for the next call.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}

  /// The next `count` lines, or fewer if they do not all arrive within `timeout`.
  std::vector<std::string> next(std::size_t count, std::chrono::milliseconds timeout = 3000ms) {
    auto complete = [count](const std::string& t) {
      std::size_t n = 0;
      for (char c : t) n += c == '\n';
      return n >= count;
    };
    if (!complete(pending_)) {
      pending_ += read_until(
          fd_, [&](const std::string& t) { return complete(pending_ + t); }, timeout);
    }
    std::vector<std::string> lines;
    while (lines.size() < count) {
      const auto nl = pending_.find('\n');
      if (nl == std::string::npos) break;
      lines.push_back(pending_.substr(0, nl));
      pending_.erase(0, nl + 1);
    }
    return lines;
  }

  /// Every line already written, without waiting for more.
  std::vector<std::string> rest() {
    pending_ += read_until(
        fd_, [](const std::string&) { return false; }, 0ms);
    std::size_t count = 0;
    for (char c : pending_) count += c == '\n';
    return next(count, 0ms);
  }

 private:
  int fd_;
  std::string pending_;
};

/// Points file descriptor 2 at a pipe while alive, so reports can be read back.
class StderrCapture {
 public:
  StderrCapture() : saved_(::dup(2)) { ::dup2(pipe_.write_end.get(), 2); }
  ~StderrCapture() { ::dup2(saved_.get(), 2); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  /// Everything reported so far, waiting (bounded) until `needle` has appeared.
  std::string wait_for(std::string_view needle, std::chrono::milliseconds timeout = 3000ms) {
    text_ += read_until(
        pipe_.read_end.get(),
        [&](const std::string& t) { return (text_ + t).find(needle) != std::string::npos; },
        timeout);
    return text_;
  }

  /// Everything reported so far, without waiting.
  std::string drain() { return wait_for("\x01never\x01", 0ms); }

 private:
  Pipe pipe_;
  UniqueFd saved_;
  std::string text_;
};

/// While alive, SIGUSR1 runs a handler that does nothing, installed without SA_RESTART: a
/// blocking call in a thread that receives the signal fails with EINTR.
class InterruptingSignal {
 public:
  static constexpr int kSignal = SIGUSR1;

  InterruptingSignal() {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    ::sigemptyset(&action.sa_mask);
    installed_ = ::sigaction(kSignal, &action, &previous_) == 0;
  }
  ~InterruptingSignal() {
    if (installed_) ::sigaction(kSignal, &previous_, nullptr);
  }
  InterruptingSignal(const InterruptingSignal&) = delete;
  InterruptingSignal& operator=(const InterruptingSignal&) = delete;

  bool installed() const { return installed_; }

 private:
  struct sigaction previous_ {};
  bool installed_ = false;
};

}  // namespace velto::server::io::testing
