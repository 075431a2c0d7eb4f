// The connection's state machine: every transition, its serving threads, replies, the end
// wait, and the failures of each system call it makes.
#include "server/io/connection.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "case_printer.h"
#include "frame_bytes.h"
#include "io_test_support.h"

namespace velto::server::io {
namespace {

using namespace std::chrono_literals;
using testing::kClick0;
using testing::kToggle1;
using velto::testing::PrintTo;

// ---- the system calls, each of which a test can make fail -----------------------------------

// The errno each call fails with while it is set (0: the real call). Sends follow a script
// first: a positive entry takes at most that many bytes, 0 takes none, a negative one fails
// with that errno; an empty script is the real send.
struct Faults {
  int listen = 0;
  int accept = 0;
  int accept_interruptions = 0;  // EINTRs before the real accept
  int shutdown_both_ways = 0;    // shutdown(SHUT_RDWR) only
  int poll = 0;
  int poll_interruptions = 0;
  int duplicate = 0;
  int event_fd = 0;
  int spawn = 0;
  std::deque<int> sends;
};
Faults faults;

base::Err<IoError> fail(int code) { return base::Err{IoError::from_errno(code)}; }

const SystemCalls kFaultyCalls = {
    .listen = [](std::string_view address) -> base::Result<UniqueFd, IoError> {
      if (faults.listen != 0) return fail(faults.listen);
      return kSystemCalls.listen(address);
    },
    .accept = [](const UniqueFd& listener) -> base::Result<UniqueFd, IoError> {
      if (faults.accept_interruptions > 0) {
        --faults.accept_interruptions;
        return fail(EINTR);
      }
      if (faults.accept != 0) return fail(faults.accept);
      return kSystemCalls.accept(listener);
    },
    .send = [](int fd, const char* data, std::size_t size,
               int flags) -> base::Result<std::size_t, IoError> {
      if (faults.sends.empty()) return kSystemCalls.send(fd, data, size, flags);
      const int step = faults.sends.front();
      faults.sends.pop_front();
      if (step < 0) return fail(-step);
      return kSystemCalls.send(fd, data, std::min<std::size_t>(size, step), flags);
    },
    .shutdown = [](int fd, int how) -> base::Result<base::Unit, IoError> {
      if (how == SHUT_RDWR && faults.shutdown_both_ways != 0)
        return fail(faults.shutdown_both_ways);
      return kSystemCalls.shutdown(fd, how);
    },
    .poll_readable =
        [](int fd, std::optional<std::chrono::nanoseconds> timeout) -> base::Result<bool, IoError> {
      if (faults.poll_interruptions > 0) {
        --faults.poll_interruptions;
        return fail(EINTR);
      }
      if (faults.poll != 0) return fail(faults.poll);
      return kSystemCalls.poll_readable(fd, timeout);
    },
    .duplicate = [](int fd) -> base::Result<UniqueFd, IoError> {
      if (faults.duplicate != 0) return fail(faults.duplicate);
      return kSystemCalls.duplicate(fd);
    },
    .make_event_fd = []() -> base::Result<UniqueFd, IoError> {
      if (faults.event_fd != 0) return fail(faults.event_fd);
      return kSystemCalls.make_event_fd();
    },
    .spawn = [](std::function<void()> body,
                std::size_t stack) -> base::Result<base::Unit, IoError> {
      if (faults.spawn != 0) return fail(faults.spawn);
      return kSystemCalls.spawn(std::move(body), stack);
    },
};

// ---- waiting, dispatching ---------------------------------------------------------------

// Tries again at once, as the binding does once it has checked for signals. `before` runs
// once ahead of the first try (a client connects there); `between` runs between tries, as a
// signal check does, and may throw to end the wait.
class TestWaiter final : public Waiter {
 public:
  std::function<void()> before;
  std::function<void()> between;
  int waits = 0;
  int tries = 0;

  void wait(std::optional<Deadline> deadline, Attempt attempt) override {
    ++waits;
    if (before) std::exchange(before, nullptr)();
    for (;;) {
      ++tries;
      std::optional<std::chrono::nanoseconds> left;
      if (deadline) left = *deadline - std::chrono::steady_clock::now();
      if (attempt(left)) return;
      if (between) between();
    }
  }
};

// What the serving threads dispatched, by identity ("ToggleButton_1"), and how many hosts
// are alive.
struct Dispatched {
  std::mutex mutex;
  std::vector<std::string> keys;
  std::atomic<int> hosts = 0;

  std::size_t count() {
    std::lock_guard lock(mutex);
    return keys.size();
  }
};

class RecordingHost final : public DispatcherHost {
 public:
  explicit RecordingHost(std::shared_ptr<Dispatched> out) : out_(std::move(out)) { ++out_->hosts; }
  ~RecordingHost() override { --out_->hosts; }

  void run(base::FunctionRef<void(Dispatcher&)> serve) override {
    struct Recorder final : Dispatcher {
      Dispatched& out;
      explicit Recorder(Dispatched& o) : out(o) {}
      base::Result<base::Unit, std::string> dispatch(const base::Frame& frame,
                                                     ProgressLines&) override {
        std::lock_guard lock(out.mutex);
        out.keys.push_back(std::string(frame.data.name()) + "_" + std::to_string(frame.id));
        return base::Unit{};
      }
    } recorder(*out_);
    serve(recorder);
  }

 private:
  std::shared_ptr<Dispatched> out_;
};

template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = 3000ms) {
  const auto deadline = testing::deadline_after(timeout);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A client's end of a connection.
struct Client {
  UniqueFd fd;

  void send(const std::string& bytes) const {
    ASSERT_EQ(::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // Everything until the stream ends; none when it has not ended within the wait.
  std::optional<std::string> read_to_end(std::chrono::milliseconds timeout = 3000ms) const {
    std::string got;
    const auto deadline = testing::deadline_after(timeout);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{fd.get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0))) <= 0) {
        return std::nullopt;
      }
      char chunk[4096];
      const ssize_t n = ::recv(fd.get(), chunk, sizeof chunk, 0);
      if (n == 0 || (n < 0 && errno == ECONNRESET)) return got;
      if (n < 0) return std::nullopt;
      got.append(chunk, static_cast<std::size_t>(n));
    }
  }
  bool sees_end() const { return read_to_end().has_value(); }
  // True when nothing arrives and the stream does not end within `wait`.
  bool silent(std::chrono::milliseconds wait = 100ms) const {
    pollfd p{fd.get(), POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(wait.count())) == 0;
  }
  // Makes the peer's next read fail with ECONNRESET.
  void reset() {
    const linger hard{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    fd.reset();
  }
};

std::size_t open_descriptors() {
  std::size_t n = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) ++n;
    ::closedir(dir);
  }
  return n;
}

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override { faults = Faults{}; }
  void TearDown() override {
    faults = Faults{};
    // Every thread started is stopped (those orphaned on purpose end with their client).
    (void)conn_->close();
    clients_.clear();
    EXPECT_TRUE(eventually([&] { return dispatched_->hosts == 0; })) << "a serving thread lives on";
  }

  ConnectionConfig config() {
    return {
        .calls = &kFaultyCalls,
        .serving = {.pause = 2ms, .out_fd = out_.write_end.get(), .err_fd = err_.write_end.get()}};
  }

  // open(), with a client that connects once the listener is bound.
  Client& open() {
    auto& client = clients_.emplace_back();
    TestWaiter waiter;
    waiter.before = [&] { client.fd = connect_to(conn_->bound_address()); };
    auto opened = conn_->open(waiter);
    EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.error().error.diagnostic());
    return client;
  }

  static UniqueFd connect_to(const std::string& bound) {
    const auto colon = bound.rfind(':');
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::stoi(bound.substr(colon + 1))));
    ::inet_pton(AF_INET, bound.substr(0, colon).c_str(), &address.sin_addr);
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    return fd;
  }

  // serve(); `host_made` tells whether it asked for a host.
  base::Result<base::Unit, ServeError> serve(bool& host_made) {
    return conn_->serve([&] {
      host_made = true;
      return std::make_unique<RecordingHost>(dispatched_);
    });
  }
  base::Result<base::Unit, ServeError> serve() {
    bool host_made = false;
    return serve(host_made);
  }

  // The serving thread of the session has ended and released what it held.
  bool thread_ended(const std::shared_ptr<ServingSession>& session) {
    return eventually([&] { return session->thread_ended.load(); });
  }

  bool replies(Client& client) {
    auto slot = conn_->begin_reply();
    if (!slot.ok()) return false;
    TestWaiter waiter;
    if (!slot.value().send("reply", waiter).ok()) return false;
    char got[5];
    return ::recv(client.fd.get(), got, sizeof got, MSG_WAITALL) == 5;
  }

  bool is_created() const { return std::holds_alternative<state::Created>(conn_->state()); }

  testing::Pipe out_;
  testing::Pipe err_;
  testing::LineReader lines_{out_.read_end.get()};
  std::shared_ptr<Dispatched> dispatched_ = std::make_shared<Dispatched>();
  std::unique_ptr<Connection> conn_ = std::make_unique<Connection>("127.0.0.1:0", config());
  std::deque<Client> clients_;
};

// ---- transitions --------------------------------------------------------------------------

TEST_F(ConnectionTest, CreatedRefusesServeAndRepliesAndCloseChangesNothing) {
  bool host_made = false;
  auto served = serve(host_made);
  ASSERT_FALSE(served.ok());
  EXPECT_EQ(served.error().step, ServeError::Step::State);
  EXPECT_FALSE(host_made);
  EXPECT_FALSE(conn_->served());
  ASSERT_FALSE(conn_->begin_reply().ok());
  EXPECT_EQ(conn_->begin_reply().error(), ReplyRefusal::NoConnection);
  EXPECT_TRUE(conn_->close().ok());
  EXPECT_TRUE(conn_->close().ok());
  EXPECT_TRUE(is_created());
  EXPECT_EQ(conn_->session(), nullptr);
  EXPECT_EQ(conn_->bound_address(), "");
}

TEST_F(ConnectionTest, ConnectedCloseShutsTheConnectionAndReturnsToCreated) {
  Client& client = open();
  EXPECT_TRUE(replies(client));
  EXPECT_TRUE(conn_->close().ok());
  EXPECT_TRUE(client.sees_end());
  EXPECT_TRUE(is_created());
  EXPECT_FALSE(conn_->begin_reply().ok());
  EXPECT_FALSE(serve().ok());
  EXPECT_TRUE(conn_->close().ok());
  Client& again = open();
  EXPECT_TRUE(replies(again));
}

TEST_F(ConnectionTest, ConnectedOpenReplacesTheConnection) {
  Client& first = open();
  Client& second = open();
  EXPECT_TRUE(first.sees_end());
  EXPECT_TRUE(replies(second));
  ASSERT_TRUE(serve().ok());
  second.send(kToggle1);
  EXPECT_TRUE(eventually([&] { return dispatched_->count() == 1; }));
  EXPECT_EQ(dispatched_->keys, std::vector<std::string>{"ToggleButton_1"});
}

TEST_F(ConnectionTest, ServingCloseStopsTheThreadAndLaterClosesChangeNothing) {
  Client& client = open();
  ASSERT_TRUE(serve().ok());
  const auto session = conn_->session();
  ASSERT_NE(session, nullptr);
  EXPECT_FALSE(session->ended.is_set());
  EXPECT_TRUE(conn_->close().ok());
  EXPECT_TRUE(session->ended.is_set());  // at once, before the thread has seen the stop
  EXPECT_TRUE(is_created());
  EXPECT_TRUE(conn_->close().ok());
  EXPECT_FALSE(serve().ok());
  EXPECT_FALSE(conn_->begin_reply().ok());
  // The silent client's thread is woken from its read, and shuts the connection down.
  EXPECT_TRUE(client.sees_end());
  EXPECT_TRUE(thread_ended(session));
  EXPECT_EQ(lines_.rest().back(), "Terminating.");
  EXPECT_TRUE(conn_->close().ok());
  EXPECT_TRUE(conn_->served());
}

TEST_F(ConnectionTest, ServingOpenLeavesTheThreadOnTheOldConnectionAndCloseStopsIt) {
  Client& old = open();
  ASSERT_TRUE(serve().ok());
  const auto session = conn_->session();
  Client& fresh = open();
  const auto* connected = std::get_if<state::Connected>(&conn_->state());
  ASSERT_NE(connected, nullptr);
  ASSERT_TRUE(connected->earlier.has_value());
  EXPECT_EQ(conn_->session(), session);  // the end wait still follows that thread
  fresh.send(kClick0);                   // nobody reads the new connection
  old.send(kToggle1);
  ASSERT_TRUE(eventually([&] { return dispatched_->count() == 1; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(dispatched_->keys, std::vector<std::string>{"ToggleButton_1"});
  EXPECT_TRUE(replies(fresh));
  EXPECT_TRUE(old.silent());
  EXPECT_TRUE(conn_->close().ok());
  EXPECT_TRUE(fresh.sees_end());
  EXPECT_TRUE(old.sees_end());
  EXPECT_TRUE(thread_ended(session));
}

struct RefusedServeCase {
  std::string name;
  bool client_leaves_first;
};

class ServeRefusedTest : public ConnectionTest,
                         public ::testing::WithParamInterface<RefusedServeCase> {};

TEST_P(ServeRefusedTest, WhileItsThreadRunsAndChangesNothing) {
  Client& client = open();
  ASSERT_TRUE(serve().ok());
  const auto session = conn_->session();
  if (GetParam().client_leaves_first) {
    ::shutdown(client.fd.get(), SHUT_WR);
    TestWaiter waiter;
    ASSERT_TRUE(wait_ended(*session, 3s, waiter).value());
  }
  auto again = serve();
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().step, ServeError::Step::State);
  EXPECT_EQ(conn_->session(), session);
  EXPECT_EQ(dispatched_->hosts, 1);
  // The first thread still takes the stop, and ends the connection.
  EXPECT_TRUE(conn_->close().ok());
  EXPECT_TRUE(client.sees_end());
  EXPECT_TRUE(thread_ended(session));
  for (const auto& line : lines_.rest()) EXPECT_NE(line, "Link broken");
}

INSTANTIATE_TEST_SUITE_P(Serve, ServeRefusedTest,
                         ::testing::ValuesIn(std::vector<RefusedServeCase>{
                             {"AtOnce", false}, {"AfterEndOfFile", true}}),
                         [](const auto& info) { return info.param.name; });

TEST_F(ConnectionTest, AThreadThatEndedOnItsOwnIsReplacedAndCloseLetsGoOfEverything) {
  const std::size_t before = open_descriptors();
  Client& client = open();
  ASSERT_TRUE(serve().ok());
  auto first = conn_->session();
  client.reset();
  ASSERT_TRUE(thread_ended(first));
  EXPECT_TRUE(first->ended.is_set());
  EXPECT_TRUE(eventually([&] { return dispatched_->hosts == 0; }));
  ASSERT_TRUE(serve().ok());  // no reader left on the connection: one more may start
  auto second = conn_->session();
  ASSERT_NE(second, first);
  ASSERT_TRUE(conn_->close().ok());
  EXPECT_TRUE(thread_ended(second));
  EXPECT_TRUE(eventually([&] { return dispatched_->hosts == 0; }));
  EXPECT_TRUE(second->ended.is_set());
  clients_.clear();
  first.reset();  // the sessions' own descriptors go with the last holder
  second.reset();
  // The connection, the threads' duplicates, their wakers and event descriptors are closed.
  EXPECT_TRUE(eventually([&] { return open_descriptors() == before; }))
      << open_descriptors() << " open, " << before << " before";
}

TEST_F(ConnectionTest, ServingANewConnectionOrphansTheEarlierThread) {
  Client& old = open();
  ASSERT_TRUE(serve().ok());
  Client& fresh = open();
  ASSERT_TRUE(serve().ok());
  old.send(kToggle1);  // the orphan goes on dispatching, and says so on every pass
  EXPECT_TRUE(eventually([&] { return dispatched_->count() == 1; }));
  bool broken = false;
  for (int i = 0; i < 50 && !broken; ++i) {
    for (const auto& line : lines_.next(1, 100ms)) broken |= line == "Link broken";
  }
  EXPECT_TRUE(broken);
  fresh.send(kClick0);
  EXPECT_TRUE(eventually([&] { return dispatched_->count() == 2; }));
  // close() reaches the newest thread only; the orphan ends with its client.
  EXPECT_TRUE(conn_->close().ok());
  EXPECT_TRUE(fresh.sees_end());
  EXPECT_TRUE(old.silent());
  old.reset();
}

TEST_F(ConnectionTest, DestroyedWhileServingLeavesAnOrphanThatKeepsDispatching) {
  Client& client = open();
  ASSERT_TRUE(serve().ok());
  const auto session = conn_->session();
  conn_ = std::make_unique<Connection>("127.0.0.1:0", config());
  client.send(kToggle1);
  EXPECT_TRUE(eventually([&] { return dispatched_->count() == 1; }));
  bool broken = false;
  for (int i = 0; i < 50 && !broken; ++i) {
    for (const auto& line : lines_.next(1, 100ms)) broken |= line == "Link broken";
  }
  EXPECT_TRUE(broken);
  client.reset();  // a failed read ends the orphan
  EXPECT_TRUE(thread_ended(session));
}

// close() in every state a program reaches: each row runs its steps on a new connection,
// closes, then serves a new client and closes again. Steps: "open" (a client connects),
// "serve", "leave" (the latest client closes its end), "reset" (it resets the connection,
// which ends the thread reading it), "serve!" (a serve() that must be refused).
struct CloseCase {
  std::string name;
  std::string steps;
};

class CloseInEveryStateTest : public ConnectionTest,
                              public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseInEveryStateTest, EndsEveryConnectionAndLeavesCreated) {
  const std::size_t before = open_descriptors();
  for (int round = 0; round < 2; ++round) {
    std::vector<Client*> session;
    std::string steps = round == 0 ? GetParam().steps : "open serve";
    std::size_t start = 0;
    while (start < steps.size()) {
      std::size_t end = steps.find(' ', start);
      if (end == std::string::npos) end = steps.size();
      const std::string step = steps.substr(start, end - start);
      start = end + 1;
      if (step == "open") {
        session.push_back(&open());
      } else if (step == "serve") {
        ASSERT_TRUE(serve().ok()) << step;
      } else if (step == "serve!") {
        ASSERT_FALSE(serve().ok()) << step;
      } else if (step == "leave") {
        ::shutdown(session.back()->fd.get(), SHUT_WR);
      } else if (step == "reset") {
        auto held = conn_->session();
        session.back()->reset();
        session.pop_back();
        ASSERT_TRUE(thread_ended(held));
      }
    }
    const auto held = conn_->session();
    ASSERT_TRUE(conn_->close().ok());
    EXPECT_TRUE(is_created());
    for (Client* client : session) EXPECT_TRUE(client->sees_end()) << GetParam().name;
    if (held) {
      EXPECT_TRUE(held->ended.is_set());
    }
    EXPECT_FALSE(conn_->begin_reply().ok());
    EXPECT_FALSE(serve().ok());
    EXPECT_TRUE(conn_->close().ok());
  }
  EXPECT_TRUE(eventually([&] { return dispatched_->hosts == 0; }));
  clients_.clear();
  EXPECT_TRUE(eventually([&] { return open_descriptors() == before; }))
      << open_descriptors() << " open, " << before << " before";
}

INSTANTIATE_TEST_SUITE_P(Close, CloseInEveryStateTest,
                         ::testing::ValuesIn(std::vector<CloseCase>{
                             {"Created", ""},
                             {"Connected", "open"},
                             {"ConnectedTwice", "open open"},
                             {"ConnectedClientLeft", "open leave"},
                             {"Serving", "open serve"},
                             {"ServingServeRefused", "open serve serve!"},
                             {"ServingClientLeft", "open serve leave"},
                             {"ServingThreadEnded", "open serve reset"},
                             {"ServingThenOpen", "open serve open"},
                         }),
                         [](const auto& info) { return info.param.name; });

// ---- the end wait ---------------------------------------------------------------------------

struct EndingCase {
  std::string name;
  std::function<void(Client&, Connection&)> end;
};

class WaitEndedTest : public ConnectionTest, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(WaitEndedTest, SeesTheConnectionEndAndKeepsSeeingIt) {
  Client& client = open();
  ASSERT_TRUE(serve().ok());
  const auto session = conn_->session();
  TestWaiter waiter;
  EXPECT_FALSE(wait_ended(*session, 0ms, waiter).value());
  EXPECT_FALSE(wait_ended(*session, 50ms, waiter).value());
  GetParam().end(client, *conn_);
  EXPECT_TRUE(wait_ended(*session, 3s, waiter).value());
  EXPECT_TRUE(wait_ended(*session, 0ms, waiter).value());
  EXPECT_TRUE(wait_ended(*session, std::nullopt, waiter).value());
}

INSTANTIATE_TEST_SUITE_P(
    Endings, WaitEndedTest,
    ::testing::ValuesIn(std::vector<EndingCase>{
        {"ClientCloses", [](Client& c, Connection&) { c.fd.reset(); }},
        {"ClientHalfCloses", [](Client& c, Connection&) { ::shutdown(c.fd.get(), SHUT_WR); }},
        {"ClientResets", [](Client& c, Connection&) { c.reset(); }},
        {"Close", [](Client&, Connection& conn) { ASSERT_TRUE(conn.close().ok()); }},
    }),
    [](const auto& info) { return info.param.name; });

TEST_F(ConnectionTest, WaitFollowsTheLatestServe) {
  Client& first = open();
  ASSERT_TRUE(serve().ok());
  const auto earlier = conn_->session();
  Client& second = open();
  EXPECT_EQ(conn_->session(), earlier);
  ASSERT_TRUE(serve().ok());
  const auto latest = conn_->session();
  ASSERT_NE(latest, earlier);
  first.reset();
  EXPECT_TRUE(thread_ended(earlier));
  TestWaiter waiter;
  EXPECT_FALSE(wait_ended(*latest, 50ms, waiter).value());
  second.fd.reset();
  EXPECT_TRUE(wait_ended(*latest, 3s, waiter).value());
}

// ---- failures of the system calls -------------------------------------------------------------

TEST_F(ConnectionTest, ListenerFailureLeavesTheStateAsItWas) {
  Client& client = open();
  faults.listen = EACCES;
  TestWaiter waiter;
  auto opened = conn_->open(waiter);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().step, OpenError::Step::Listen);
  EXPECT_EQ(opened.error().error.kind, IoErrorKind::PermissionDenied);
  EXPECT_EQ(waiter.waits, 0);
  EXPECT_EQ(conn_->bound_address(), "");
  EXPECT_TRUE(replies(client));  // still the connection held
}

TEST_F(ConnectionTest, AcceptFailureLeavesTheStateAsItWasAndClosesTheListener) {
  Client& client = open();
  faults.accept = ECONNABORTED;
  TestWaiter waiter;
  auto opened = conn_->open(waiter);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().step, OpenError::Step::Accept);
  EXPECT_EQ(opened.error().error.diagnostic(),
            "ConnectionAborted: Software caused connection abort (os error 103)");
  const std::string bound = conn_->bound_address();
  EXPECT_NE(bound, "");  // told before the wait
  EXPECT_TRUE(replies(client));
  // The listener is gone: nothing listens on its port any more.
  const auto colon = bound.rfind(':');
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::stoi(bound.substr(colon + 1))));
  ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_NE(::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
}

TEST_F(ConnectionTest, InterruptedAcceptIsTriedAgainAfterTheSignalCheck) {
  faults.accept_interruptions = 2;
  int checks = 0;
  TestWaiter waiter;
  waiter.between = [&] { ++checks; };
  Client& client = clients_.emplace_back();
  waiter.before = [&] { client.fd = connect_to(conn_->bound_address()); };
  ASSERT_TRUE(conn_->open(waiter).ok());
  EXPECT_EQ(checks, 2);
  EXPECT_TRUE(replies(client));
}

TEST_F(ConnectionTest, SignalCheckThatThrowsEndsOpenAndChangesNothing) {
  faults.accept_interruptions = 1;
  TestWaiter waiter;
  waiter.between = [] { throw std::runtime_error("KeyboardInterrupt"); };
  EXPECT_THROW((void)conn_->open(waiter), std::runtime_error);
  EXPECT_TRUE(is_created());
}

struct ShutdownCase {
  std::string name;
  int code;
  bool closes;
};

class CloseShutdownTest : public ConnectionTest,
                          public ::testing::WithParamInterface<ShutdownCase> {};

TEST_P(CloseShutdownTest, FailureOtherThanAGonePeerChangesNothing) {
  Client& client = open();
  faults.shutdown_both_ways = GetParam().code;
  auto closed = conn_->close();
  EXPECT_EQ(closed.ok(), GetParam().closes);
  EXPECT_EQ(is_created(), GetParam().closes);
  if (!GetParam().closes) {
    EXPECT_EQ(closed.error().os_error, GetParam().code);
    EXPECT_TRUE(replies(client));  // still held, still open
    ASSERT_TRUE(serve().ok());     // and still served
    faults.shutdown_both_ways = 0;
    EXPECT_TRUE(conn_->close().ok());
    EXPECT_TRUE(client.sees_end());
  }
}

INSTANTIATE_TEST_SUITE_P(Close, CloseShutdownTest,
                         ::testing::ValuesIn(std::vector<ShutdownCase>{
                             {"PeerGoneIsQuiet", ENOTCONN, true},
                             {"NoBuffersFails", ENOBUFS, false},
                             {"BadDescriptorFails", EBADF, false},
                         }),
                         [](const auto& info) { return info.param.name; });

TEST_F(ConnectionTest, CloseLeavesTheShutdownToARunningThread) {
  Client& client = open();
  ASSERT_TRUE(serve().ok());
  const auto session = conn_->session();
  ::shutdown(client.fd.get(), SHUT_WR);  // the thread reads end of file, and runs on
  faults.shutdown_both_ways = ENOBUFS;   // a shutdown of close() would fail
  EXPECT_TRUE(conn_->close().ok());
  EXPECT_TRUE(is_created());
  EXPECT_TRUE(thread_ended(session));
  EXPECT_TRUE(client.sees_end());
}

TEST_F(ConnectionTest, PollFailureEndsTheWaitWithItsErrorAndInterruptionsAreRetried) {
  open();
  ASSERT_TRUE(serve().ok());
  const auto session = conn_->session();
  int checks = 0;
  TestWaiter waiter;
  waiter.between = [&] { ++checks; };
  faults.poll_interruptions = 3;
  EXPECT_FALSE(wait_ended(*session, 20ms, waiter, kFaultyCalls).value());
  EXPECT_EQ(checks, 3 + 0);
  faults.poll = EINVAL;
  auto failed = wait_ended(*session, 1s, waiter, kFaultyCalls);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind, IoErrorKind::InvalidInput);
  EXPECT_EQ(failed.error().text(), "Invalid argument (os error 22)");
}

struct SetupCase {
  std::string name;
  int Faults::*call;
};

class ServeSetupTest : public ConnectionTest, public ::testing::WithParamInterface<SetupCase> {};

TEST_P(ServeSetupTest, FailureChangesNothingAndMakesNoHost) {
  Client& client = open();
  faults.*GetParam().call = EMFILE;
  bool host_made = false;
  auto served = serve(host_made);
  ASSERT_FALSE(served.ok());
  EXPECT_EQ(served.error().step, ServeError::Step::Setup);
  EXPECT_EQ(served.error().error.kind, IoErrorKind::Other);
  EXPECT_FALSE(host_made);
  EXPECT_FALSE(conn_->served());
  EXPECT_TRUE(std::holds_alternative<state::Connected>(conn_->state()));
  faults.*GetParam().call = 0;
  ASSERT_TRUE(serve().ok());
  client.send(kToggle1);
  EXPECT_TRUE(eventually([&] { return dispatched_->count() == 1; }));
}

INSTANTIATE_TEST_SUITE_P(Serve, ServeSetupTest,
                         ::testing::ValuesIn(std::vector<SetupCase>{
                             {"Duplicate", &Faults::duplicate}, {"EventFd", &Faults::event_fd}}),
                         [](const auto& info) { return info.param.name; });

TEST_F(ConnectionTest, ThreadStartFailureLeavesAnEndedSessionThatCloseLetsGo) {
  Client& client = open();
  faults.spawn = EAGAIN;
  auto served = serve();
  ASSERT_FALSE(served.ok());
  EXPECT_EQ(served.error().step, ServeError::Step::Start);
  EXPECT_EQ(served.error().error.diagnostic(),
            "WouldBlock: Resource temporarily unavailable (os error 11)");
  EXPECT_TRUE(conn_->served());
  const auto session = conn_->session();
  ASSERT_NE(session, nullptr);
  EXPECT_TRUE(session->thread_ended.load());
  EXPECT_TRUE(session->ended.is_set());
  EXPECT_EQ(dispatched_->hosts, 0);  // released at once
  faults.spawn = 0;
  ASSERT_TRUE(serve().ok());  // no reader on the connection: a thread may start
  ASSERT_TRUE(conn_->close().ok());
  EXPECT_TRUE(client.sees_end());
}

// ---- replies ----------------------------------------------------------------------------------

struct ReplyCase {
  std::string name;
  std::deque<int> sends;
  bool check_throws;  // the signal check between tries throws
  std::string arrives;
  std::optional<IoErrorKind> error;
  bool cut;
};

class ReplyTest : public ConnectionTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyTest, SendsOrCutsAsItMust) {
  const auto& c = GetParam();
  Client& client = open();
  faults.sends = c.sends;
  auto slot = conn_->begin_reply();
  ASSERT_TRUE(slot.ok());
  EXPECT_TRUE(conn_->reply_in_progress());
  TestWaiter waiter;
  if (c.check_throws) waiter.between = [] { throw std::runtime_error("KeyboardInterrupt"); };
  std::optional<base::Result<base::Unit, IoError>> sent;
  if (c.check_throws) {
    EXPECT_THROW((void)slot.value().send("0123456789", waiter), std::runtime_error);
  } else {
    sent.emplace(slot.value().send("0123456789", waiter));
  }
  { auto done = std::move(slot).value(); }
  EXPECT_FALSE(conn_->reply_in_progress());
  if (sent) {
    EXPECT_EQ(sent->ok(), !c.error);
    if (c.error && !sent->ok()) {
      EXPECT_EQ(sent->error().kind, *c.error);
    }
  }
  auto next = conn_->begin_reply();
  EXPECT_EQ(!next.ok(), c.cut);
  if (c.cut) {
    EXPECT_EQ(next.error(), ReplyRefusal::Cut);
    // The client sees the part that went out, then the end: never a later reply glued on.
    EXPECT_EQ(client.read_to_end(), c.arrives);
  } else {
    std::string got(c.arrives.size(), '\0');
    if (!got.empty()) {
      ASSERT_EQ(::recv(client.fd.get(), got.data(), got.size(), MSG_WAITALL),
                static_cast<ssize_t>(got.size()));
    }
    EXPECT_EQ(got, c.arrives);
    EXPECT_TRUE(client.silent(20ms));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyTest,
    ::testing::ValuesIn(std::vector<ReplyCase>{
        {"WholeAtOnce", {}, false, "0123456789", std::nullopt, false},
        {"FullBufferThenWaits", {-EAGAIN}, false, "0123456789", std::nullopt, false},
        {"InPartsAndInterrupted", {4, -EINTR, 3}, false, "0123456789", std::nullopt, false},
        {"FailsBeforeTheFirstByte", {-EPIPE}, false, "", IoErrorKind::BrokenPipe, false},
        {"FailsAfterPart", {4, -ECONNRESET}, false, "0123", IoErrorKind::ConnectionReset, true},
        {"TakesNothing", {0}, false, "", IoErrorKind::WriteZero, false},
        {"SignalCheckThrowsAfterPart", {4, -EINTR}, true, "0123", std::nullopt, true},
        {"SignalCheckThrowsBeforeAnyByte", {-EAGAIN, -EINTR}, true, "", std::nullopt, false},
    }),
    [](const auto& info) { return info.param.name; });

TEST_F(ConnectionTest, OpenAndCloseCutAReplyBlockedOnAPeerThatNeverReads) {
  for (const bool by_open : {false, true}) {
    open();
    auto slot = conn_->begin_reply();
    ASSERT_TRUE(slot.ok());
    std::atomic<bool> returned = false;
    base::Result<base::Unit, IoError> outcome = base::Unit{};
    std::thread sender([&] {
      TestWaiter waiter;
      outcome = slot.value().send(std::string(16 << 20, 'x'), waiter);
      returned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned);
    if (by_open) {
      open();
    } else {
      EXPECT_TRUE(conn_->close().ok());
    }
    EXPECT_TRUE(eventually([&] { return returned.load(); })) << (by_open ? "open" : "close");
    sender.join();
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().kind, IoErrorKind::BrokenPipe);
  }
}

}  // namespace
}  // namespace velto::server::io
