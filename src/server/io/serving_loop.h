// The body of a serving thread: pause, stop check, read, frames, dispatch; and the
// detached thread that runs it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "base/frame.h"
#include "base/result.h"
#include "server/io/io_error.h"
#include "server/io/stop_channel.h"
#include "server/io/unique_fd.h"

namespace velto::server::io {

/// Size of the receive buffer: one read takes at most this many bytes.
inline constexpr std::size_t kReceiveBufferBytes = 1024;

/// Stack size of a serving thread.
inline constexpr std::size_t kServingThreadStackBytes = 2 * 1024 * 1024;

/// What the serving loop does with each frame.
struct Dispatcher {
  virtual ~Dispatcher();
  /// Runs the frame's action. An error is the action's error text (its first line
  /// "<type>: <message>", then any traceback): it is reported as "velto_protocol: Action
  /// failed <text>" and serving goes on. A base::Panic thrown from here ends the loop.
  virtual base::Result<base::Unit, std::string> dispatch(const base::Frame& frame) = 0;
};

struct ServingOptions {
  /// Sleep before each pass.
  std::chrono::nanoseconds pause = std::chrono::milliseconds(500);
  /// Where the progress lines go.
  int out_fd = 1;
};

/// Serves `conn` until a stop message arrives. Each pass: sleep `pause`; a stop message
/// prints "Terminating.", shuts the connection down both ways and returns; a disconnected
/// channel prints "Link broken" and serving goes on; then one read of at most 1024 bytes
/// ("Received size : N"), and each complete frame it completes is dispatched ("done" on
/// success). Action errors ("Action failed <text>") and bytes that do not decode are
/// reported on standard error and serving goes on.
///
/// Throws base::Panic on a failed read ("Failed to read frame : <text>"; a read
/// interrupted by a signal counts as failed), on a failed shutdown ("Failed to shutdown
/// server: <text>"), and passes on a Panic thrown by the dispatcher.
void run_serving_loop(StopReceiver& stop, const UniqueFd& conn, Dispatcher& dispatcher,
                      const ServingOptions& options = {});

/// Starts a detached, unnamed thread with the given stack size that runs `body`. A Panic
/// or any other exception leaving `body` is reported on standard error and ends the
/// thread. The thread starts with every asynchronous signal blocked, so that signals meant
/// for the interpreter's main thread are never taken (and their EINTR felt) here.
base::Result<base::Unit, IoError> spawn_detached(std::function<void()> body,
                                                 std::size_t stack_size);

}  // namespace velto::server::io
