// Connection: one server's TCP connection and serving thread as a state machine, with the
// reply send and the wait for the connection's end; no interpreter.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/function_ref.h"
#include "base/result.h"
#include "server/io/ended_flag.h"
#include "server/io/frame_decoder.h"
#include "server/io/io_error.h"
#include "server/io/serving_loop.h"
#include "server/io/stop_channel.h"
#include "server/io/unique_fd.h"

namespace velto::server::io {

/// The system calls a Connection makes, one table per process: the real ones in
/// kSystemCalls; a test gives a table of its own to make any of them fail. None retries
/// after EINTR.
struct SystemCalls {
  /// The listener on the first address the text resolves to (bind_listener).
  base::Result<UniqueFd, IoError> (*listen)(std::string_view address);
  /// One accept (accept_once).
  base::Result<UniqueFd, IoError> (*accept)(const UniqueFd& listener);
  /// One send with MSG_NOSIGNAL and the flags given (send_once).
  base::Result<std::size_t, IoError> (*send)(int fd, const char* data, std::size_t size, int flags);
  /// shutdown(2) (shutdown_fd).
  base::Result<base::Unit, IoError> (*shutdown)(int fd, int how);
  /// One poll for readability (poll_readable).
  base::Result<bool, IoError> (*poll_readable)(int fd,
                                               std::optional<std::chrono::nanoseconds> timeout);
  /// A close-on-exec duplicate (duplicate_fd).
  base::Result<UniqueFd, IoError> (*duplicate)(int fd);
  /// The descriptor of an EndedFlag (make_event_fd).
  base::Result<UniqueFd, IoError> (*make_event_fd)();
  /// A detached thread running `body` (spawn_detached).
  base::Result<base::Unit, IoError> (*spawn)(std::function<void()> body, std::size_t stack_size);
};

/// The system's own calls.
extern const SystemCalls kSystemCalls;

using Deadline = std::chrono::steady_clock::time_point;

/// How a Connection waits in a call that may block: the accept of open(), a reply's send
/// once the socket buffer is full, the poll of wait_ended(). The binding releases the
/// interpreter lock around each attempt and checks for signals between attempts.
class Waiter {
 public:
  /// One attempt, given the time left until the deadline (none: no limit; zero or less
  /// once it has passed). True when the call is over (it keeps its outcome itself); false
  /// when it must be tried again: a signal interrupted it, or it stopped short.
  using Attempt = base::FunctionRef<bool(std::optional<std::chrono::nanoseconds>)>;

  virtual ~Waiter() = default;
  /// Runs `attempt` until it returns true. Between attempts it may do what its caller's
  /// signals need, and end the wait by throwing.
  virtual void wait(std::optional<Deadline> deadline, Attempt attempt) = 0;
};

/// One accepted connection. The Connection holds it while it is its connection; a reply
/// holds it for as long as its send runs, so that the descriptor stays open under a send
/// that close() or open() has cut. Its flags are changed by one thread at a time (the
/// binding's lock), atomic for a sender that is unwound at exit without the lock.
struct Stream {
  UniqueFd fd;
  /// A reply went out only in part: nothing more is written on this connection.
  std::atomic<bool> reply_cut = false;
  /// A reply is being written on it (also while it waits).
  std::atomic<bool> sending = false;
  /// Held by whoever writes on it (a reply's send, the serving thread's own frames) for a
  /// whole write, so that writes never interleave. Never taken while holding the
  /// interpreter lock.
  std::mutex write_mutex;

  explicit Stream(UniqueFd f) : fd(std::move(f)) {}
};

/// What a Connection shares with the serving thread its latest serve() started.
struct ServingSession {
  /// Set once the connection served has ended: a read of 0 bytes or a failed read, the
  /// thread's end, or close(). A waiter polls its descriptor, holding the session.
  EndedFlag ended;
  /// Set by the thread as it ends, after it released its stop receiver (or by serve()
  /// when the thread could not start).
  std::atomic<bool> thread_ended = false;

  explicit ServingSession(UniqueFd event_fd) : ended(std::move(event_fd)) {}
};

/// The hold on a serving thread, until close() stops it or a later serve() lets it go.
struct ServingLink {
  StopSender stop;
  /// A descriptor of the connection the thread reads: close() shuts its reading side down
  /// to wake the thread from its read.
  UniqueFd waker;
  std::shared_ptr<ServingSession> session;

  /// True while the thread may still be reading: it has not marked its end.
  bool thread_running() const { return !session->thread_ended.load(std::memory_order_acquire); }
};

/// The states. Each holds what it owns, and nothing else.
namespace state {
/// No connection: new, or after close().
struct Created {};
/// A connection that no thread of ours reads; `earlier` is the thread of a serve() on an
/// earlier connection, which close() still stops.
struct Connected {
  std::shared_ptr<Stream> stream;
  std::optional<ServingLink> earlier;
};
/// A thread of ours serves the connection held (running, or ended on its own).
struct Serving {
  std::shared_ptr<Stream> stream;
  ServingLink link;
};
}  // namespace state

using ConnectionState = std::variant<state::Created, state::Connected, state::Serving>;

/// What the serving thread dispatches with. Made by serve() on the caller's thread, then
/// run and released on the serving thread.
class DispatcherHost {
 public:
  virtual ~DispatcherHost() = default;
  /// Runs once on the serving thread: makes what dispatching needs there and calls `serve`
  /// with the dispatcher. A base::Panic from `serve` may be reported here; one that leaves
  /// is reported by the thread.
  virtual void run(base::FunctionRef<void(Dispatcher&)> serve) = 0;
};

/// The decoder a serving thread reads its connection with: one per thread.
using DecoderFactory = std::unique_ptr<FrameDecoder> (*)();

/// A FrameAssembler, the decoder of a TCP connection.
std::unique_ptr<FrameDecoder> make_frame_assembler();

/// How open() takes its client from the listener once it listens: by default one accept.
/// A transport with a handshake of its own answers what comes until a client is admitted.
class Door {
 public:
  virtual ~Door() = default;
  /// The connection admitted, waiting through `waiter`. An error or an exception leaves
  /// open() with the state unchanged.
  virtual base::Result<UniqueFd, IoError> admit(const UniqueFd& listener, Waiter& waiter) = 0;
};

struct ConnectionConfig {
  const SystemCalls* calls = &kSystemCalls;
  /// The pause and the output descriptors of every serving thread (each gets its own
  /// session's `ended`).
  ServingOptions serving;
  DecoderFactory make_decoder = make_frame_assembler;
};

/// Which step of open() failed.
struct OpenError {
  enum class Step { Listen, Accept };
  Step step;
  IoError error;
};

/// Why serve() did nothing, or failed once the thread was to start.
struct ServeError {
  enum class Step {
    /// No connection, or a thread of ours still reads it: nothing changed.
    State,
    /// A descriptor for the thread could not be made: nothing changed.
    Setup,
    /// The thread did not start: the state is Serving with that thread marked ended.
    Start,
  };
  Step step;
  IoError error;
};

/// Why a reply cannot be written.
enum class ReplyRefusal {
  NoConnection,
  /// An earlier reply went out only in part.
  Cut,
};

/// A reply's hold on the connection it writes to, from the moment it is taken until its
/// send has ended: one reply at a time per connection. Made and released by one thread at
/// a time, as the Connection is.
class ReplySlot {
 public:
  ReplySlot(std::shared_ptr<Stream> stream, const SystemCalls& calls);
  ReplySlot(ReplySlot&&) noexcept = default;
  ReplySlot& operator=(ReplySlot&&) = delete;
  ~ReplySlot();

  /// Writes all of `bytes`. The first try does not wait (it runs on the caller's terms:
  /// usually the socket buffer has room); after that the sends go through `waiter`, which
  /// gets another try after an EINTR and after a send that took only part of the rest (a
  /// signal that comes once some bytes went out cuts the send short instead of failing it).
  /// A reply that went out only in part, because a send failed or the waiter threw, leaves
  /// the client unable to find the next one: the writing side is shut down so that it sees
  /// the stream end instead, and the connection is marked cut. A failure before the first
  /// byte cuts nothing.
  base::Result<base::Unit, IoError> send(std::string_view bytes, Waiter& waiter);

 private:
  std::shared_ptr<Stream> stream_;
  const SystemCalls* calls_;
};

/// One server's connection: what the server object holds (address, state, whether it ever
/// served) and every transition between its states. Used by one thread at a time.
///
/// | state     | open()                  | serve()                          | close()  |
/// |-----------|-------------------------|----------------------------------|----------|
/// | Created   | Connected               | State error                      | nothing  |
/// | Connected | Connected (new stream)  | Serving (`earlier` let go of)    | Created  |
/// | Serving   | Connected, `earlier` =  | State error while the thread     | Created  |
/// |           | the thread              | runs; else Serving, a new thread |          |
class Connection {
 public:
  explicit Connection(std::string address, ConnectionConfig config = {});
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  /// The address given, unchanged.
  const std::string& address() const { return address_; }
  /// Where the latest open() listens or listened ("127.0.0.1:40123"); empty before an
  /// open() has bound its listener.
  const std::string& bound_address() const { return bound_address_; }
  /// serve() has started (or tried to start) a thread at least once.
  bool served() const { return served_; }
  const ConnectionState& state() const { return state_; }
  const SystemCalls& calls() const { return *calls_; }

  /// Listens on the address, waits through `waiter` for one client (admitted by `door`
  /// when given) and makes its
  /// connection the one held; the listener is closed on every path. A reply blocked on the
  /// connection given up ends; a thread of ours reading it goes on, as `earlier`. On an
  /// error (or an exception from the waiter) the state is unchanged.
  base::Result<base::Unit, OpenError> open(Waiter& waiter, Door* door = nullptr);

  /// Starts a serving thread on the connection held, with a duplicate descriptor and the
  /// host `make_host` makes (called only once the state allows a thread). An earlier
  /// thread is let go of first: one still running is orphaned ("Link broken").
  base::Result<base::Unit, ServeError> serve(
      base::FunctionRef<std::unique_ptr<DispatcherHost>()> make_host);

  /// Gives up the connection and stops the thread held, from every state, to Created:
  ///  1. The connection, unless a running thread of ours reads it, is shut down both ways
  ///     at once (a peer that has already gone is no error). A running thread shuts it
  ///     down itself when it sees the stop, after "Terminating.".
  ///  2. The thread held gets the stop message and is woken from its read; one that has
  ///     ended on its own has nothing left to stop.
  ///  3. The session's end is set: a waiter sees it from now on.
  ///  4. A reply blocked in its send on the connection is cut (its writing side is shut
  ///     down), so that it returns instead of waiting for a peer that may never read.
  /// The only error is a shutdown in step 1 that fails for another reason than a peer
  /// already gone; nothing has changed then.
  base::Result<base::Unit, IoError> close();

  /// A reply is being written on the connection held.
  bool reply_in_progress() const;
  /// The connection held, for one reply.
  base::Result<ReplySlot, ReplyRefusal> begin_reply();

  /// The session of the thread held: the one wait_ended() waits on; none in Created and in
  /// Connected without `earlier`.
  std::shared_ptr<ServingSession> session() const;

 private:
  std::shared_ptr<Stream> stream() const;
  void cut_reply_in_progress(Stream& stream) const;
  void stop(ServingLink& link) const;

  std::string address_;
  const SystemCalls* calls_;
  ServingOptions serving_;
  DecoderFactory make_decoder_;
  ConnectionState state_;
  std::string bound_address_;
  bool served_ = false;
};

/// Waits, through `waiter`, until the session has ended or `timeout` has passed (none: no
/// limit): true when it has ended. Fails only when the poll fails for another reason than
/// a signal.
base::Result<bool, IoError> wait_ended(const ServingSession& session,
                                       std::optional<std::chrono::nanoseconds> timeout,
                                       Waiter& waiter, const SystemCalls& calls = kSystemCalls);

}  // namespace velto::server::io
