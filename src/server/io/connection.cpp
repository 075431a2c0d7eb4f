// The connection's state machine, its serving thread, the reply send and the end wait.
#include "server/io/connection.h"

#include <sys/socket.h>

#include <utility>

#include "server/io/frame_assembler.h"
#include "server/io/socket.h"

namespace velto::server::io {

namespace {

base::Result<UniqueFd, IoError> listen_on_text(std::string_view address) {
  return bind_listener(address);
}

// Marks the session's thread ended, and its connection with it, when destroyed: that is
// after the rest of the thread's state, the stop receiver included, has been released.
struct EndMark {
  std::shared_ptr<ServingSession> session;
  explicit EndMark(std::shared_ptr<ServingSession> s) : session(std::move(s)) {}
  EndMark(EndMark&&) = default;
  ~EndMark() {
    if (!session) return;
    session->thread_ended.store(true, std::memory_order_release);
    session->ended.set();
  }
};

// What a serving thread owns; released in the order receiver, descriptor, host (and with
// it what the dispatch held), and then the session's end is marked.
struct ServingJob {
  EndMark end;
  std::unique_ptr<DispatcherHost> host;
  UniqueFd conn;
  StopReceiver receiver;
  std::shared_ptr<Stream> stream;
};

// The serving thread's own writes (a transport's control frames) on the stream's write
// path: whole, never inside a reply, nothing after a cut. One cut short cuts the stream.
bool write_on_stream(Stream& stream, int fd, std::string_view bytes) {
  std::lock_guard lock(stream.write_mutex);
  if (stream.reply_cut.load()) return false;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    auto r = send_once(fd, bytes.data() + sent, bytes.size() - sent);
    if (!r && r.error().kind == IoErrorKind::Interrupted) continue;
    if (!r || r.value() == 0) {
      if (sent > 0) {
        stream.reply_cut.store(true);
        (void)shutdown_fd(fd, SHUT_WR);
      }
      return false;
    }
    sent += r.value();
  }
  return true;
}

// The body of a serving thread: the loop over the job's connection, with the host's
// dispatcher and a decoder of its own.
void run_job(ServingJob& job, ServingOptions options, DecoderFactory make_decoder) {
  options.ended = &job.end.session->ended;
  options.write = [stream = job.stream, fd = job.conn.get()](std::string_view bytes) {
    return write_on_stream(*stream, fd, bytes);
  };
  job.host->run([&](Dispatcher& dispatcher) {
    const std::unique_ptr<FrameDecoder> decoder = make_decoder();
    run_serving_loop(job.receiver, job.conn, *decoder, dispatcher, options);
  });
}

}  // namespace

const SystemCalls kSystemCalls = {
    .listen = listen_on_text,
    .accept = accept_once,
    .send = send_once,
    .shutdown = shutdown_fd,
    .poll_readable = poll_readable,
    .duplicate = duplicate_fd,
    .make_event_fd = make_event_fd,
    .spawn = spawn_detached,
};

std::unique_ptr<FrameDecoder> make_frame_assembler() { return std::make_unique<FrameAssembler>(); }

// ---- replies ---------------------------------------------------------------------------

ReplySlot::ReplySlot(std::shared_ptr<Stream> stream, const SystemCalls& calls)
    : stream_(std::move(stream)), calls_(&calls) {
  stream_->sending.store(true);
}

ReplySlot::~ReplySlot() {
  if (stream_) stream_->sending.store(false);
}

base::Result<base::Unit, IoError> ReplySlot::send(std::string_view bytes, Waiter& waiter) {
  Stream& stream = *stream_;
  // The serving thread may be writing a frame of its own: waited for without the lock.
  std::unique_lock write_lock(stream.write_mutex, std::try_to_lock);
  if (!write_lock.owns_lock()) {
    waiter.wait(std::nullopt, [&](std::optional<std::chrono::nanoseconds>) {
      write_lock.lock();
      return true;
    });
  }
  const int fd = stream.fd.get();
  std::size_t sent = 0;
  std::optional<IoError> failed;
  auto cut_if_partial = [&] {
    if (sent == 0 || sent == bytes.size()) return;
    stream.reply_cut.store(true);
    (void)calls_->shutdown(fd, SHUT_WR);
  };
  // One send of what is left; true once the reply is over: all sent, or failed. An EINTR,
  // a full buffer on the try that must not wait, and a send that took part of the rest
  // leave it to another try.
  auto step = [&](int flags) {
    auto r = calls_->send(fd, bytes.data() + sent, bytes.size() - sent, flags);
    if (!r) {
      const IoErrorKind kind = r.error().kind;
      if (kind == IoErrorKind::Interrupted) return false;
      if (kind == IoErrorKind::WouldBlock && (flags & MSG_DONTWAIT) != 0) return false;
      failed = std::move(r).error();
      return true;
    }
    if (r.value() == 0) {
      failed = IoError::write_zero();
      return true;
    }
    sent += r.value();
    return sent == bytes.size();
  };
  if (!bytes.empty() && !step(MSG_DONTWAIT)) {
    try {
      waiter.wait(std::nullopt, [&](std::optional<std::chrono::nanoseconds>) { return step(0); });
    } catch (...) {
      cut_if_partial();
      throw;
    }
  }
  if (failed) {
    cut_if_partial();
    return base::Err{std::move(*failed)};
  }
  return base::Unit{};
}

// ---- the state machine -----------------------------------------------------------------

Connection::Connection(std::string address, ConnectionConfig config)
    : address_(std::move(address)),
      calls_(config.calls),
      serving_(config.serving),
      make_decoder_(config.make_decoder) {}

std::shared_ptr<Stream> Connection::stream() const {
  if (const auto* c = std::get_if<state::Connected>(&state_)) return c->stream;
  if (const auto* s = std::get_if<state::Serving>(&state_)) return s->stream;
  return nullptr;
}

std::shared_ptr<ServingSession> Connection::session() const {
  if (const auto* c = std::get_if<state::Connected>(&state_)) {
    return c->earlier ? c->earlier->session : nullptr;
  }
  if (const auto* s = std::get_if<state::Serving>(&state_)) return s->link.session;
  return nullptr;
}

// Ends a reply being written on `stream` as the connection lets it go: the writing side is
// shut down, so the blocked send returns with its error (EPIPE) instead of waiting for a
// peer that may never read.
void Connection::cut_reply_in_progress(Stream& stream) const {
  if (stream.sending.load()) (void)calls_->shutdown(stream.fd.get(), SHUT_WR);
}

// The stop message stays queued for the thread after the sender is released with the link;
// a thread that has ended on its own has released its receiver, and the send fails unseen.
void Connection::stop(ServingLink& link) const {
  (void)link.stop.send(true);
  (void)calls_->shutdown(link.waker.get(), SHUT_RD);
  link.session->ended.set();
}

base::Result<base::Unit, OpenError> Connection::open(Waiter& waiter, Door* door) {
  bound_address_.clear();
  auto listener = calls_->listen(address_);
  if (!listener) return base::Err{OpenError{OpenError::Step::Listen, std::move(listener).error()}};
  // Known before the wait, so that a program that asked for port 0 can learn the port, and
  // a thread of its own can connect to wake this open().
  if (auto bound = local_address(listener.value().get())) {
    bound_address_ = bound.value().to_string();
  }
  // EINTR: the waiter checks for signals, and the accept is tried again.
  std::optional<base::Result<UniqueFd, IoError>> accepted;
  if (door != nullptr) {
    accepted.emplace(door->admit(listener.value(), waiter));
  } else {
    waiter.wait(std::nullopt, [&](std::optional<std::chrono::nanoseconds>) {
      auto r = calls_->accept(listener.value());
      if (!r && r.error().kind == IoErrorKind::Interrupted) return false;
      accepted.emplace(std::move(r));
      return true;
    });
  }
  if (!accepted->ok()) {
    return base::Err{OpenError{OpenError::Step::Accept, std::move(*accepted).error()}};
  }
  auto stream = std::make_shared<Stream>(std::move(*accepted).value());
  // The earlier connection is let go of without a shutdown (a thread of ours may still
  // read it); a reply blocked on it ends. A thread of ours stays `earlier`.
  std::optional<ServingLink> earlier;
  if (auto* c = std::get_if<state::Connected>(&state_)) {
    cut_reply_in_progress(*c->stream);
    earlier = std::move(c->earlier);
  } else if (auto* s = std::get_if<state::Serving>(&state_)) {
    cut_reply_in_progress(*s->stream);
    earlier = std::move(s->link);
  }
  state_ = state::Connected{std::move(stream), std::move(earlier)};
  return base::Unit{};
}

base::Result<base::Unit, ServeError> Connection::serve(
    base::FunctionRef<std::unique_ptr<DispatcherHost>()> make_host) {
  // One reader per connection: a thread of ours still serving this one (also one that has
  // seen its end of file, also the thread this is called from) refuses another.
  const auto* serving = std::get_if<state::Serving>(&state_);
  std::shared_ptr<Stream> stream = this->stream();
  if (!stream || (serving && serving->link.thread_running())) {
    return base::Err{ServeError{ServeError::Step::State, {}}};
  }
  auto setup_failed = [](IoError error) {
    return base::Err{ServeError{ServeError::Step::Setup, std::move(error)}};
  };
  auto dup = calls_->duplicate(stream->fd.get());
  if (!dup) return setup_failed(std::move(dup).error());
  auto waker = calls_->duplicate(stream->fd.get());
  if (!waker) return setup_failed(std::move(waker).error());
  auto event_fd = calls_->make_event_fd();
  if (!event_fd) return setup_failed(std::move(event_fd).error());
  auto session = std::make_shared<ServingSession>(std::move(event_fd).value());
  auto job = std::make_shared<ServingJob>(
      ServingJob{EndMark(session), make_host(), std::move(dup).value(), {}, stream});
  auto [sender, receiver] = make_stop_channel();
  job->receiver = std::move(receiver);
  // An earlier thread is let go of here: one still running is orphaned ("Link broken") and
  // no close() reaches it any more.
  state_ = state::Serving{std::move(stream),
                          ServingLink{std::move(sender), std::move(waker).value(), session}};
  served_ = true;
  // A thread that cannot start leaves its session ended (the job's end mark runs as the job
  // is released here): close() then finds nothing to stop.
  auto started =
      calls_->spawn([job, options = serving_,
                     make_decoder = make_decoder_] { run_job(*job, options, make_decoder); },
                    kServingThreadStackBytes);
  if (!started) return base::Err{ServeError{ServeError::Step::Start, std::move(started).error()}};
  return base::Unit{};
}

base::Result<base::Unit, IoError> Connection::close() {
  Stream* stream = nullptr;
  ServingLink* link = nullptr;
  bool thread_reads_stream = false;
  if (auto* c = std::get_if<state::Connected>(&state_)) {
    stream = c->stream.get();
    if (c->earlier) link = &*c->earlier;
  } else if (auto* s = std::get_if<state::Serving>(&state_)) {
    stream = s->stream.get();
    link = &s->link;
    thread_reads_stream = s->link.thread_running();
  } else {
    return base::Unit{};
  }
  if (!thread_reads_stream) {
    auto down = calls_->shutdown(stream->fd.get(), SHUT_RDWR);
    if (!down && down.error().kind != IoErrorKind::NotConnected) {
      return base::Err{std::move(down).error()};
    }
  }
  if (link != nullptr) stop(*link);
  cut_reply_in_progress(*stream);
  state_ = state::Created{};
  return base::Unit{};
}

bool Connection::reply_in_progress() const {
  const auto held = stream();
  return held && held->sending.load();
}

base::Result<ReplySlot, ReplyRefusal> Connection::begin_reply() {
  auto held = stream();
  if (!held) return base::Err{ReplyRefusal::NoConnection};
  if (held->reply_cut.load()) return base::Err{ReplyRefusal::Cut};
  return ReplySlot(std::move(held), *calls_);
}

// ---- the end of a connection -------------------------------------------------------------

base::Result<bool, IoError> wait_ended(const ServingSession& session,
                                       std::optional<std::chrono::nanoseconds> timeout,
                                       Waiter& waiter, const SystemCalls& calls) {
  if (session.ended.is_set()) return true;
  std::optional<Deadline> deadline;
  if (timeout) deadline = std::chrono::steady_clock::now() + *timeout;
  std::optional<base::Result<bool, IoError>> outcome;
  waiter.wait(deadline, [&](std::optional<std::chrono::nanoseconds> left) {
    if (left && left->count() <= 0) {
      outcome.emplace(session.ended.is_set());
      return true;
    }
    auto polled = calls.poll_readable(session.ended.fd(), left);
    if (!polled) {
      if (polled.error().kind == IoErrorKind::Interrupted) return false;
      outcome.emplace(base::Err{std::move(polled).error()});
      return true;
    }
    if (!polled.value()) {
      // The time is up, or a long wait was cut down to a day: then it goes on.
      if (!deadline || std::chrono::steady_clock::now() < *deadline) return false;
      outcome.emplace(session.ended.is_set());
      return true;
    }
    outcome.emplace(true);
    return true;
  });
  return std::move(*outcome);
}

}  // namespace velto::server::io
