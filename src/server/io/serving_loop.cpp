// The serving loop and the detached thread that runs it.
#include "server/io/serving_loop.h"

#include <cxxabi.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <memory>
#include <source_location>
#include <string_view>

#include "base/forced_unwind.h"
#include "base/panic.h"
#include "server/io/frame_assembler.h"
#include "server/io/output.h"
#include "server/io/socket.h"

namespace velto::server::io {

Dispatcher::~Dispatcher() = default;

namespace {

// Sleeps for `duration`. A signal does not shorten the pause: the sleep is to an absolute
// deadline, so after EINTR it simply resumes for the time that remains.
void pause_for(std::chrono::nanoseconds duration) {
  if (duration.count() <= 0) return;
  timespec deadline{};
  ::clock_gettime(CLOCK_MONOTONIC, &deadline);
  const auto total = deadline.tv_nsec + duration.count() % 1'000'000'000;
  deadline.tv_sec += static_cast<time_t>(duration.count() / 1'000'000'000 + total / 1'000'000'000);
  deadline.tv_nsec = static_cast<long>(total % 1'000'000'000);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

void report(ProgressLines& lines, int err_fd, std::string_view text) {
  lines.flush();  // what was printed before the event comes before its report
  base::write_all_fd(err_fd, text);
}

void report_dropped(ProgressLines& lines, const FrameDecoder::BadInput& bad, int err_fd) {
  // The bytes are gone; the client is not told, and serving goes on.
  report(lines, err_fd,
         bad.undecoded ? dropped_bytes_report(bad.dropped, bad.message)
                       : dropped_unread_report(bad.dropped, bad.message));
}

// Writes all of `bytes` with blocking sends (the socket's send timeout, if any, bounds
// each): the write path of a loop given none.
bool send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    auto sent = send_once(fd, bytes.data(), bytes.size());
    if (!sent) {
      if (sent.error().kind == IoErrorKind::Interrupted) continue;
      return false;
    }
    if (sent.value() == 0) return false;
    bytes.remove_prefix(sent.value());
  }
  return true;
}

// Dispatches every complete frame the decoder holds, in order, and writes its answers.
// The lines after one frame's handler call go out with those before the next frame's.
// False when the connection is to end: a decoder's End, or an answer not written whole.
bool drain(FrameDecoder& decoder, Dispatcher& dispatcher, ProgressLines& lines,
           const ServingOptions& options, const std::function<bool(std::string_view)>& write) {
  for (;;) {
    auto next = decoder.next();
    if (auto* frame = std::get_if<base::Frame>(&next)) {
      auto outcome = dispatcher.dispatch(*frame, lines);
      if (outcome.ok()) {
        lines.add({"done"});
      } else {
        // The action raised: what it raised, with its traceback; serving goes on.
        report(lines, options.err_fd, action_failed_report(outcome.error()));
      }
      continue;
    }
    if (auto* bad = std::get_if<FrameDecoder::BadInput>(&next)) {
      // Bytes after the dropped ones may already hold whole frames.
      report_dropped(lines, *bad, options.err_fd);
      continue;
    }
    if (auto* answer = std::get_if<FrameDecoder::Answer>(&next)) {
      if (!write(answer->bytes)) return false;
      continue;
    }
    if (auto* end = std::get_if<FrameDecoder::End>(&next)) {
      if (!end->bytes.empty()) (void)write(end->bytes);
      if (!end->report.empty()) report(lines, options.err_fd, end->report);
      return false;
    }
    // The lines of the last frame go out as soon as it is done, as they did when each
    // line had a write of its own.
    lines.flush();
    return true;
  }
}

}  // namespace

void run_serving_loop(StopReceiver& stop, const UniqueFd& conn, Dispatcher& dispatcher,
                      const ServingOptions& options) {
  FrameAssembler assembler;
  run_serving_loop(stop, conn, assembler, dispatcher, options);
}

void run_serving_loop(StopReceiver& stop, const UniqueFd& conn, FrameDecoder& decoder,
                      Dispatcher& dispatcher, const ServingOptions& options) {
  ProgressLines lines(options.out_fd);
  const std::function<bool(std::string_view)> write =
      options.write
          ? options.write
          : std::function<bool(std::string_view)>(
                [fd = conn.get()](std::string_view bytes) { return send_all(fd, bytes); });
  // The connection was ended from this side (a decoder's End, an answer not written):
  // nothing more is written on it.
  bool ended_here = false;
  bool ended = false;
  auto shut_down = [&] {
    auto shut = shutdown_fd(conn.get(), SHUT_RDWR);
    // A peer that has already gone leaves nothing to shut down.
    if (!shut.ok() && shut.error().kind != IoErrorKind::NotConnected) {
      throw base::Panic("Failed to shutdown server: " + shut.error().text());
    }
  };
  auto terminate = [&] {
    lines.add({"Terminating."});
    lines.flush();
    if (!ended_here) {
      const std::string farewell = decoder.farewell();
      if (!farewell.empty()) (void)write(farewell);
    }
    shut_down();
  };
  auto connection_ended = [&] {
    ended = true;
    lines.flush();  // whoever waits for the end may end the process
    if (options.ended != nullptr) options.ended->set();
  };
  for (;;) {
    lines.flush();
    if (ended && options.wait_after_end) {
      const auto received = stop.receive();
      if (received.state == StopReceived::State::Message) return terminate();
      // Nobody can stop this thread any more, and its connection is over.
      lines.add({"Link broken"});
      return;
    }
    pause_for(options.pause);

    const auto received = stop.try_receive();
    if (received.state == StopReceived::State::Message) return terminate();
    if (received.state == StopReceived::State::Disconnected) {
      lines.add({"Link broken"});
    }

    // One blocking read per pass, then reads that take what is already waiting. EINTR is
    // not retried: an interrupted read is a failed read, and nothing else ends a thread
    // blocked here.
    std::size_t taken = 0;
    for (int flags = 0; taken < kMaxBytesPerPass; flags = MSG_DONTWAIT) {
      char buffer[kReceiveBufferBytes] = {};
      if (flags == 0) lines.flush();
      const ssize_t size = ::recv(conn.get(), buffer, sizeof buffer, flags);
      if (size < 0) {
        const int error = errno;
        if (flags != 0 && (error == EAGAIN || error == EWOULDBLOCK)) break;  // nothing waiting
        connection_ended();
        throw base::Panic("Failed to read frame : " + IoError::from_errno(error).text());
      }
      lines.add_number("Received size : ", static_cast<std::size_t>(size));
      if (size == 0) {
        connection_ended();
        break;
      }
      // A stop that came while the read waited: what arrived with or after it is not
      // dispatched.
      if (stop.try_receive().state == StopReceived::State::Message) return terminate();
      decoder.append(buffer, static_cast<std::size_t>(size));
      if (!drain(decoder, dispatcher, lines, options, write)) {
        ended_here = true;
        shut_down();
        connection_ended();
        break;
      }
      taken += static_cast<std::size_t>(size);
    }
    if (auto stale = decoder.end_pass()) report_dropped(lines, *stale, options.err_fd);
  }
}

namespace {

// Runs the body; nothing leaves this function but the forced unwind of a thread that is
// being ended (the interpreter ends its threads so at exit).
VELTO_CATCHES_FORCED_UNWIND void* thread_main(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  try {
    (*body)();
    body.reset();
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation must unwind through
  } catch (const base::Panic& panic) {
    base::report_panic(panic);
  } catch (const std::exception& e) {
    base::report_panic(e.what(), std::source_location::current());
  } catch (...) {
    base::report_panic("unknown exception on a serving thread", std::source_location::current());
  }
  return nullptr;
}

// Signals that mark a fault of the thread itself: blocking them would only turn them
// into an immediate kill.
constexpr int kSynchronousSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};

}  // namespace

base::Result<base::Unit, IoError> spawn_detached(std::function<void()> body,
                                                 std::size_t stack_size) {
  pthread_attr_t attr;
  int rc = ::pthread_attr_init(&attr);
  if (rc != 0) return base::Err(IoError::from_errno(rc));
  rc = ::pthread_attr_setstacksize(&attr, stack_size);
  if (rc == 0) rc = ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (rc != 0) {
    ::pthread_attr_destroy(&attr);
    return base::Err(IoError::from_errno(rc));
  }

  // The new thread inherits the mask in force while it is created.
  sigset_t all, previous;
  ::sigfillset(&all);
  for (int sig : kSynchronousSignals) ::sigdelset(&all, sig);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);

  auto* arg = new std::function<void()>(std::move(body));
  pthread_t thread;
  rc = ::pthread_create(&thread, &attr, thread_main, arg);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ::pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete arg;
    return base::Err(IoError::from_errno(rc));
  }
  return base::Unit{};
}

}  // namespace velto::server::io
