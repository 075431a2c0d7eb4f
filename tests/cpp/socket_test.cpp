// Listener set-up, accept, send, duplicate and shutdown.
#include "server/io/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <thread>

#include "io_test_support.h"

namespace velto::server::io {
namespace {

using namespace std::chrono_literals;

SocketAddress loopback(uint16_t port, const char* host = "127.0.0.1") {
  SocketAddress a;
  auto* sin = reinterpret_cast<sockaddr_in*>(&a.storage);
  sin->sin_family = AF_INET;
  sin->sin_port = htons(port);
  ::inet_pton(AF_INET, host, &sin->sin_addr);
  a.length = sizeof(sockaddr_in);
  return a;
}

UniqueFd connect_to(uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const auto a = loopback(port);
  if (::connect(fd.get(), a.get(), a.length) != 0) return UniqueFd();
  return fd;
}

bool close_on_exec(const UniqueFd& fd) { return (::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC) != 0; }

// A listening socket bound without SO_REUSEADDR, holding its port.
class BusyPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    busy_.reset(::socket(AF_INET, SOCK_STREAM, 0));
    const auto a = loopback(0);
    ASSERT_EQ(::bind(busy_.get(), a.get(), a.length), 0);
    ASSERT_EQ(::listen(busy_.get(), 1), 0);
    port_ = local_port(busy_.get()).value();
  }

  UniqueFd busy_;
  uint16_t port_ = 0;
};

TEST_F(BusyPortTest, ListenerOnPortInUseFailsWithAddrInUse) {
  auto listener = bind_listener("127.0.0.1:" + std::to_string(port_));
  ASSERT_FALSE(listener.ok());
  EXPECT_EQ(listener.error().kind, IoErrorKind::AddrInUse);
  EXPECT_EQ(listener.error().diagnostic(), "AddrInUse: Address already in use (os error 98)");
}

TEST_F(BusyPortTest, FirstAddressThatWorksWins) {
  auto listener = bind_listener(std::vector<SocketAddress>{loopback(port_), loopback(0)});
  ASSERT_TRUE(listener.ok()) << listener.error().diagnostic();
  EXPECT_NE(local_port(listener.value().get()).value(), port_);
}

TEST_F(BusyPortTest, LastFailureCounts) {
  // 192.0.2.1 (a documentation address) is on no interface here: bind gives EADDRNOTAVAIL.
  const auto foreign = loopback(0, "192.0.2.1");
  auto in_use_last = bind_listener(std::vector<SocketAddress>{foreign, loopback(port_)});
  ASSERT_FALSE(in_use_last.ok());
  EXPECT_EQ(in_use_last.error().kind, IoErrorKind::AddrInUse);

  auto foreign_last = bind_listener(std::vector<SocketAddress>{loopback(port_), foreign});
  ASSERT_FALSE(foreign_last.ok());
  EXPECT_EQ(foreign_last.error().kind, IoErrorKind::AddrNotAvailable);
}

TEST(BindListenerTest, NoAddressesFails) {
  auto listener = bind_listener(std::vector<SocketAddress>{});
  ASSERT_FALSE(listener.ok());
  EXPECT_EQ(listener.error().text(), "could not resolve to any addresses");
}

TEST(BindListenerTest, AddressErrorsPassThrough) {
  auto listener = bind_listener("127.0.0.1:70000");
  ASSERT_FALSE(listener.ok());
  EXPECT_EQ(listener.error().diagnostic(), "InvalidInput: invalid port value");
}

TEST(BindListenerTest, AcceptsOneClientAndCarriesBytes) {
  auto listener = bind_listener("127.0.0.1:0");
  ASSERT_TRUE(listener.ok()) << listener.error().diagnostic();
  EXPECT_TRUE(close_on_exec(listener.value()));
  const uint16_t port = local_port(listener.value().get()).value();
  ASSERT_NE(port, 0);

  UniqueFd client = connect_to(port);
  ASSERT_TRUE(client);
  auto conn = accept_once(listener.value());
  ASSERT_TRUE(conn.ok()) << conn.error().diagnostic();
  EXPECT_TRUE(close_on_exec(conn.value()));

  auto sent = send_once(conn.value().get(), "hello", 5);
  ASSERT_TRUE(sent.ok()) << sent.error().text();
  EXPECT_EQ(sent.value(), 5u);
  EXPECT_EQ(testing::read_until(client.get(), [](const std::string& t) { return t.size() >= 5; }),
            "hello");
}

TEST(SendOnceTest, PeerGoneGivesBrokenPipeWithoutSignal) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  UniqueFd mine(fds[0]);
  UniqueFd(fds[1]).reset();  // the peer closes

  // Without MSG_NOSIGNAL the default SIGPIPE action would end the test binary here.
  auto sent = send_once(mine.get(), "x", 1);
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().text(), "Broken pipe (os error 32)");
}

TEST(DuplicateFdTest, CopyIsCloseOnExecAndSharesTheSocket) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  UniqueFd a(fds[0]), b(fds[1]);
  auto copy = duplicate_fd(a.get());
  ASSERT_TRUE(copy.ok());
  EXPECT_NE(copy.value().get(), a.get());
  EXPECT_TRUE(close_on_exec(copy.value()));

  // Shutting the copy down for reading ends reads on the original too.
  ASSERT_TRUE(shutdown_fd(copy.value().get(), SHUT_RD).ok());
  char c;
  EXPECT_EQ(::recv(a.get(), &c, 1, 0), 0);

  auto bad = duplicate_fd(-1);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().os_error, EBADF);
}

TEST(ShutdownFdTest, NonSocketFails) {
  testing::Pipe pipe;
  auto shut = shutdown_fd(pipe.read_end.get(), SHUT_RDWR);
  ASSERT_FALSE(shut.ok());
  EXPECT_EQ(shut.error().text(), "Socket operation on non-socket (os error 88)");
}

TEST(UniqueFdTest, ClosesOnResetAndNotAfterRelease) {
  testing::Pipe pipe;
  const int fd = pipe.read_end.get();
  UniqueFd moved = std::move(pipe.read_end);
  EXPECT_FALSE(pipe.read_end);
  EXPECT_EQ(moved.get(), fd);
  moved.reset();
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);

  const int w = pipe.write_end.release();
  EXPECT_FALSE(pipe.write_end);
  EXPECT_NE(::fcntl(w, F_GETFD), -1);
  ::close(w);
}

TEST(AcceptOnceTest, SignalReturnsInterrupted) {
  testing::InterruptingSignal signal;
  ASSERT_TRUE(signal.installed());

  auto listener = bind_listener("127.0.0.1:0");
  ASSERT_TRUE(listener.ok());
  std::atomic<bool> finished = false;
  std::optional<base::Result<UniqueFd, IoError>> outcome;
  std::thread waiter([&] {
    outcome.emplace(accept_once(listener.value()));
    finished = true;
  });
  // The signal may land before accept blocks; repeat until the call returns.
  const auto deadline = testing::deadline_after(3s);
  while (!finished && std::chrono::steady_clock::now() < deadline) {
    ::pthread_kill(waiter.native_handle(), signal.kSignal);
    std::this_thread::sleep_for(5ms);
  }
  if (!finished) ::shutdown(listener.value().get(), SHUT_RDWR);  // unblock before failing
  waiter.join();

  ASSERT_TRUE(finished);
  ASSERT_FALSE(outcome->ok());
  EXPECT_EQ(outcome->error().kind, IoErrorKind::Interrupted);
}

}  // namespace
}  // namespace velto::server::io
