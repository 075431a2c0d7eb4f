// The body of a serving thread: pause, stop check, read, frames, dispatch; and the
// detached thread that runs it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "base/frame.h"
#include "base/result.h"
#include "server/io/ended_flag.h"
#include "server/io/frame_decoder.h"
#include "server/io/io_error.h"
#include "server/io/output.h"
#include "server/io/stop_channel.h"
#include "server/io/unique_fd.h"

namespace velto::server::io {

/// Size of the receive buffer: one read takes at most this many bytes.
inline constexpr std::size_t kReceiveBufferBytes = 1024;

/// The most one pass reads: its blocking read, then reads that find bytes already waiting.
inline constexpr std::size_t kMaxBytesPerPass = 65536;

/// Stack size of a serving thread.
inline constexpr std::size_t kServingThreadStackBytes = 2 * 1024 * 1024;

/// What the serving loop does with each frame.
struct Dispatcher {
  virtual ~Dispatcher();
  /// Runs the frame's action, adding its progress lines to `lines` (and flushing them
  /// before it runs code of the program's). An error is the action's error text (its first
  /// line "<type>: <message>", then any traceback): it is reported as "velto_protocol: Action
  /// failed <text>" and serving goes on. A base::Panic thrown from here ends the loop.
  virtual base::Result<base::Unit, std::string> dispatch(const base::Frame& frame,
                                                         ProgressLines& lines) = 0;
};

struct ServingOptions {
  /// Sleep before each pass.
  std::chrono::nanoseconds pause = std::chrono::milliseconds(500);
  /// Where the progress lines go.
  int out_fd = 1;
  /// Where the reports of failed actions and dropped bytes go.
  int err_fd = 2;
  /// Set when the connection is seen to end: a read of 0 bytes or a failed read.
  EndedFlag* ended = nullptr;
  /// Writes the transport's own bytes (a decoder's answers and farewell) whole, on the
  /// connection's write path: true when all went out. None: a plain blocking send on the
  /// connection read.
  std::function<bool(std::string_view)> write = nullptr;
  /// Once the connection has ended, wait for the stop message instead of reading on: the
  /// shape of a loop that does not pause, which would otherwise spin on its end of file.
  bool wait_after_end = false;
};

/// Serves `conn` until a stop message arrives. Each pass: sleep `pause`; a stop message
/// prints "Terminating.", shuts the connection down both ways and returns; a disconnected
/// channel prints "Link broken" and serving goes on; then one blocking read of at most
/// 1024 bytes, followed by reads that do not wait for as long as bytes are waiting (at
/// most kMaxBytesPerPass in all). Every read that returns prints "Received size : N"
/// (one that finds nothing waiting prints nothing); after each, every frame completed is
/// dispatched in order ("done" on success). A read of 0 bytes ends the pass's reading.
/// The lines go out in as few writes as their order allows: those collected are flushed
/// before the dispatcher runs a handler, once the frames of a read are done, before the
/// pause and a read that waits, before a report and before the connection's end is
/// signalled.
/// Action errors ("velto_protocol: Action failed <text>") and bytes that do not decode
/// (`dropped_bytes_report`) are reported on `err_fd`, and serving goes on. The bytes
/// become frames through `decoder`.
///
/// Throws base::Panic on a failed read ("Failed to read frame : <text>"; a read
/// interrupted by a signal counts as failed), after the frames of the pass's earlier
/// reads were dispatched; on a failed shutdown ("Failed to shutdown server: <text>"),
/// except when the peer is already gone; and passes on a Panic thrown by the dispatcher.
///
/// A decoder's Answer is written through `options.write` and serving goes on; its End is
/// written, the connection shut down and seen as ended (its report, if any, on `err_fd`);
/// an answer that cannot be written whole ends the connection too. On a stop the
/// decoder's farewell goes out after "Terminating." unless the connection already ended
/// that way.
void run_serving_loop(StopReceiver& stop, const UniqueFd& conn, FrameDecoder& decoder,
                      Dispatcher& dispatcher, const ServingOptions& options = {});

/// The same with a FrameAssembler of its own: the loop of a TCP connection.
void run_serving_loop(StopReceiver& stop, const UniqueFd& conn, Dispatcher& dispatcher,
                      const ServingOptions& options = {});

/// Starts a detached, unnamed thread with the given stack size that runs `body`. A Panic
/// or any other exception leaving `body` is reported on standard error and ends the
/// thread. The thread starts with every asynchronous signal blocked, so that signals meant
/// for the interpreter's main thread are never taken (and their EINTR felt) here.
base::Result<base::Unit, IoError> spawn_detached(std::function<void()> body,
                                                 std::size_t stack_size);

}  // namespace velto::server::io
