// The serving loop over a socket pair, with a fake dispatcher and captured output.
#include "server/io/serving_loop.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#include "base/panic.h"
#include "case_printer.h"
#include "frame_bytes.h"
#include "io_test_support.h"
#include "server/io/output.h"
#include "server/io/socket.h"

namespace velto::server::io {
namespace {

using velto::testing::PrintTo;

using namespace std::chrono_literals;
using testing::describe;
using testing::kClick0;
using testing::kJoystick3;
using testing::kToggle1;
using testing::toggle;

constexpr uint8_t kFailingId = 2;
constexpr uint8_t kPanickingId = 99;

// Prints each frame it gets among the loop's lines and writes them out, as a dispatcher does
// before it calls a handler. Frames with id 2 fail, frames with id 99 panic.
class FakeDispatcher : public Dispatcher {
 public:
  base::Result<base::Unit, std::string> dispatch(const base::Frame& frame,
                                                 ProgressLines& lines) override {
    lines.add({"dispatch ", describe(frame)});
    lines.flush();
    if (frame.id == kFailingId) return base::Err(std::string("ValueError: boom"));
    if (frame.id == kPanickingId) throw base::Panic("handler gave up");
    return base::Unit{};
  }
};

// Everything one loop run needs. Shared with the loop's thread, so that a loop which fails
// to end can be left behind without dangling references.
struct LoopRun {
  testing::Pipe out;
  UniqueFd conn;    // the loop's end of the connection
  UniqueFd client;  // the test's end
  StopSender sender;
  StopReceiver receiver;
  testing::Pipe err;  // reports of failed actions and dropped bytes
  EndedFlag ended{make_event_fd().value()};
  FakeDispatcher dispatcher;
  bool record_writes = false;  // progress lines to `recorder` instead of `out`
  testing::WriteRecorder recorder;
  std::optional<std::string> panic;  // the message of a Panic that ended the loop
  std::atomic<bool> finished = false;
  std::atomic<pid_t> tid = 0;  // the loop thread's kernel id
};

// The system call a thread is blocked in and its first argument, as
// /proc/self/task/<tid>/syscall shows them; nothing while the thread runs. The argument is as
// wide as the kernel's registers, which under emulation are wider than the program's.
struct BlockedCall {
  long number;
  unsigned long long first;
};

std::optional<BlockedCall> blocked_call(pid_t tid) {
  std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
  long number = 0;
  std::string first;
  if (!(file >> number >> first) || number < 0) return std::nullopt;
  return BlockedCall{number, std::stoull(first, nullptr, 16)};
}

// Whether `call`, made with the number of recv() (see read_number()), reads from `fd`: its
// first argument is `fd`, or it is socketcall(SYS_RECV or SYS_RECVFROM, ...), as a 32-bit x86
// C library may make recv(), with the descriptor in memory that the call only points to.
bool reads_from(const BlockedCall& call, int fd) {
  if (call.first == static_cast<unsigned long long>(fd)) return true;
#ifdef SYS_socketcall
  constexpr unsigned long long kRecv = 10;      // SYS_RECV of <linux/net.h>
  constexpr unsigned long long kRecvFrom = 12;  // SYS_RECVFROM
  return call.number == SYS_socketcall && (call.first == kRecv || call.first == kRecvFrom);
#else
  return false;
#endif
}

// The number of the system call that a thread blocked in recv() shows. Under user-mode
// emulation the kernel sees the host's call that the emulator makes on the program's behalf,
// whose number the program cannot know beforehand: so a thread blocks in recv() on a socket
// of its own, and the call it shows reading from that socket gives the number.
std::optional<long> read_number() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return std::nullopt;
  UniqueFd reader(fds[0]);
  UniqueFd writer(fds[1]);
  std::atomic<pid_t> tid = 0;
  std::thread thread([&] {
    tid = static_cast<pid_t>(::syscall(SYS_gettid));
    char c;
    (void)::recv(reader.get(), &c, 1, 0);
  });
  std::optional<long> found;
  const auto deadline = testing::deadline_after(3000ms);
  while (!found && std::chrono::steady_clock::now() < deadline) {
    const auto call = tid != 0 ? blocked_call(tid) : std::nullopt;
    if (call && reads_from(*call, reader.get())) {
      found = call->number;
    } else {
      std::this_thread::sleep_for(1ms);
    }
  }
  (void)::write(writer.get(), "x", 1);
  thread.join();
  return found;
}

class ServingLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    run_->conn.reset(fds[0]);
    run_->client.reset(fds[1]);
    auto [tx, rx] = make_stop_channel();
    run_->sender = std::move(tx);
    run_->receiver = std::move(rx);
  }

  void TearDown() override {
    if (!thread_.joinable()) return;
    if (!run_->finished) close_like_server();
    if (!wait_finished()) {
      ADD_FAILURE() << "serving loop did not end";
      thread_.detach();
      return;
    }
    thread_.join();
  }

  void start(std::chrono::milliseconds pause = 2ms) {
    thread_ = std::thread([run = run_, pause] {
      run->tid = static_cast<pid_t>(::syscall(SYS_gettid));
      try {
        run_serving_loop(run->receiver, run->conn, run->dispatcher,
                         {.pause = pause,
                          .out_fd = run->record_writes ? run->recorder.write_end.get()
                                                       : run->out.write_end.get(),
                          .err_fd = run->err.write_end.get(),
                          .ended = &run->ended});
      } catch (const base::Panic& panic) {
        run->panic = panic.message();
      }
      run->finished = true;
    });
  }

  void send(const std::string& bytes) {
    ASSERT_EQ(::write(run_->client.get(), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }

  std::vector<std::string> lines(std::size_t count) { return lines_.next(count); }

  // The next `count` lines that mark reads and passes ("Received size", "Link broken"),
  // skipping the dispatcher's lines in between.
  std::vector<std::string> read_lines(std::size_t count) {
    std::vector<std::string> out;
    while (out.size() < count) {
      auto line = lines_.next(1);
      if (line.empty()) break;
      if (line[0].starts_with("Received size") || line[0] == "Link broken") out.push_back(line[0]);
    }
    return out;
  }

  std::string reports(std::string_view needle) {
    return testing::read_until(run_->err.read_end.get(), [&](const std::string& t) {
      return t.find(needle) != std::string::npos;
    });
  }

  // What the server's close() does: a stop message, then the reading side of its own
  // descriptor of the connection shut down.
  void close_like_server() {
    ASSERT_TRUE(run_->sender.send(true).ok());
    auto own = duplicate_fd(run_->conn.get());
    ASSERT_TRUE(own.ok());
    ASSERT_TRUE(shutdown_fd(own.value().get(), SHUT_RD).ok());
  }

  // Waits until the loop thread is blocked in its read of the connection, as the kernel
  // reports it: in recv(), with the connection as the descriptor where the call shows it.
  bool wait_in_read(std::chrono::milliseconds timeout = 3000ms) {
    const auto recv_number = read_number();
    if (!recv_number) {
      ADD_FAILURE() << "a thread blocked in recv() did not show so in /proc";
      return false;
    }
    const auto deadline = testing::deadline_after(timeout);
    while (std::chrono::steady_clock::now() < deadline) {
      const auto call = run_->tid != 0 ? blocked_call(run_->tid) : std::nullopt;
      if (call && call->number == *recv_number && reads_from(*call, run_->conn.get())) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }

  bool wait_finished(std::chrono::milliseconds timeout = 3000ms) {
    const auto deadline = testing::deadline_after(timeout);
    while (!run_->finished && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    return run_->finished;
  }

  std::shared_ptr<LoopRun> run_ = std::make_shared<LoopRun>();
  std::thread thread_;
  testing::LineReader lines_{run_->out.read_end.get()};
};

using Lines = std::vector<std::string>;

TEST_F(ServingLoopTest, DispatchesOneFrame) {
  send(kToggle1);
  start();
  EXPECT_EQ(lines(3), (Lines{"Received size : 18", "dispatch ToggleButton_1(true)", "done"}));
}

TEST_F(ServingLoopTest, DispatchesEveryFrameOfOneRead) {
  send(kToggle1 + kClick0 + kJoystick3);
  start();
  EXPECT_EQ(lines(7), (Lines{"Received size : 63", "dispatch ToggleButton_1(true)", "done",
                             "dispatch ClickButton_0()", "done", "dispatch Joystick_3(0.5,-1,0.75)",
                             "done"}));
}

TEST_F(ServingLoopTest, CompletesFrameSplitOverReads) {
  start();
  send(kJoystick3.substr(0, 7));
  EXPECT_EQ(lines(1), Lines{"Received size : 7"});
  send(kJoystick3.substr(7));
  EXPECT_EQ(lines(3), (Lines{"Received size : 22", "dispatch Joystick_3(0.5,-1,0.75)", "done"}));
}

TEST_F(ServingLoopTest, BadBytesAreReportedAsDroppedAndServingGoesOn) {
  start();
  send("\xc1");
  EXPECT_EQ(lines(1), Lines{"Received size : 1"});
  EXPECT_EQ(reports("\n"),
            "velto_protocol: dropped 1 bytes that do not decode: wrong msgpack marker Reserved\n");
  send(kToggle1);
  EXPECT_EQ(lines(3), (Lines{"Received size : 18", "dispatch ToggleButton_1(true)", "done"}));
  EXPECT_FALSE(run_->finished);
}

// How the lines are cut into writes: everything up to a handler call in one, then what
// follows it together with what leads to the next call.
struct WritesCase {
  std::string name;
  std::string bytes;  // waiting before the loop starts: all taken by its first read
  Lines writes;
};

class ServingLoopWritesTest : public ServingLoopTest,
                              public ::testing::WithParamInterface<WritesCase> {};

TEST_P(ServingLoopWritesTest, WritesTheLinesBetweenTwoCallsAtOnce) {
  const auto& c = GetParam();
  run_->record_writes = true;
  send(c.bytes);
  start();
  EXPECT_EQ(run_->recorder.writes(c.writes.size()), c.writes);
  close_like_server();
  ASSERT_TRUE(wait_finished());
}

const std::vector<WritesCase> kWritesCases = {
    {"OneFrame", kToggle1, {"Received size : 18\ndispatch ToggleButton_1(true)\n", "done\n"}},
    {"ThreeFrames",
     kToggle1 + kClick0 + kJoystick3,
     {"Received size : 63\ndispatch ToggleButton_1(true)\n", "done\ndispatch ClickButton_0()\n",
      "done\ndispatch Joystick_3(0.5,-1,0.75)\n", "done\n"}},
    // A failed action has no lines after its call.
    {"FailedAction",
     toggle(kFailingId) + kToggle1,
     {"Received size : 36\ndispatch ToggleButton_2(true)\n", "dispatch ToggleButton_1(true)\n",
      "done\n"}},
};

INSTANTIATE_TEST_SUITE_P(Lines, ServingLoopWritesTest, ::testing::ValuesIn(kWritesCases),
                         [](const auto& info) { return info.param.name; });

// What one pass reads of the bytes waiting when it starts: its blocking read, then reads
// that do not wait, 1024 bytes each, at most 64 KiB in all. The channel is disconnected so
// that "Link broken" marks the start of each pass.
struct PassCase {
  std::string name;
  std::size_t frames;  // ToggleButton frames of 18 bytes, written before the loop starts
  Lines lines;
};

class ServingLoopPassTest : public ServingLoopTest,
                            public ::testing::WithParamInterface<PassCase> {};

Lines received(std::initializer_list<std::pair<std::size_t, std::size_t>> reads) {
  Lines out;
  for (auto [size, times] : reads) {
    for (std::size_t i = 0; i < times; ++i) {
      out.push_back("Received size : " + std::to_string(size));
    }
  }
  return out;
}

Lines concat(std::initializer_list<Lines> parts) {
  Lines out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST_P(ServingLoopPassTest, TakesWhatIsWaiting) {
  const auto& c = GetParam();
  { StopSender gone = std::move(run_->sender); }
  std::string bytes;
  for (std::size_t i = 0; i < c.frames; ++i) bytes += kToggle1;
  // The writer runs beside the loop: the bytes may exceed what the socket holds at once.
  std::thread writer([&] {
    std::size_t at = 0;
    while (at < bytes.size()) {
      const ssize_t n = ::write(run_->client.get(), bytes.data() + at, bytes.size() - at);
      if (n <= 0) return;
      at += static_cast<std::size_t>(n);
    }
  });
  writer.join();
  start();
  EXPECT_EQ(read_lines(c.lines.size()), c.lines);
  send(toggle(kPanickingId));  // nothing else ends an orphaned loop
  ASSERT_TRUE(wait_finished());
}

const std::vector<PassCase> kPassCases = {
    {"OneRead", 1, concat({{"Link broken"}, received({{18, 1}}), {"Link broken"}})},
    {"ThreeReads", 170,
     concat({{"Link broken"}, received({{1024, 2}, {1012, 1}}), {"Link broken"}})},
    {"ExactlyOneBuffer", 1024 * 9 / 18,
     concat({{"Link broken"}, received({{1024, 9}}), {"Link broken"}})},
    // 70002 bytes: 64 KiB in the first pass, the rest in the next.
    {"CappedAt64KiB", 3889,
     concat({{"Link broken"},
             received({{1024, 64}}),
             {"Link broken"},
             received({{1024, 4}, {370, 1}}),
             {"Link broken"}})},
};

INSTANTIATE_TEST_SUITE_P(Reads, ServingLoopPassTest, ::testing::ValuesIn(kPassCases),
                         [](const auto& info) { return info.param.name; });

TEST_F(ServingLoopTest, EndOfFileEndsThePassAndMarksTheConnectionEnded) {
  send(kToggle1);
  ASSERT_EQ(::shutdown(run_->client.get(), SHUT_WR), 0);
  start();
  EXPECT_EQ(lines(4), (Lines{"Received size : 18", "dispatch ToggleButton_1(true)", "done",
                             "Received size : 0"}));
  EXPECT_EQ(lines(1), Lines{"Received size : 0"});  // the next pass: one read, no more
  EXPECT_TRUE(run_->ended.is_set());
  EXPECT_FALSE(run_->finished);
}

TEST_F(ServingLoopTest, FramesOfThePassRunBeforeAFailedReadEndsIt) {
  // A peer that goes away with bytes of ours unread resets the connection: the loop first
  // reads what the peer sent, then its next read fails.
  send(kToggle1 + kClick0);
  ASSERT_EQ(::write(run_->conn.get(), "x", 1), 1);
  run_->client.reset();
  start();
  EXPECT_EQ(lines(5), (Lines{"Received size : 34", "dispatch ToggleButton_1(true)", "done",
                             "dispatch ClickButton_0()", "done"}));
  ASSERT_TRUE(wait_finished());
  EXPECT_EQ(run_->panic, "Failed to read frame : Connection reset by peer (os error 104)");
  EXPECT_TRUE(run_->ended.is_set());
}

TEST_F(ServingLoopTest, FailingActionIsReportedAndNextFrameRuns) {
  testing::StderrCapture errors;
  send(toggle(kFailingId) + kToggle1);
  start();
  EXPECT_EQ(lines(4), (Lines{"Received size : 36", "dispatch ToggleButton_2(true)",
                             "dispatch ToggleButton_1(true)", "done"}));
  const std::string report = reports("Action failed ValueError: boom\n");
  EXPECT_NE(report.find("velto_protocol: Action failed ValueError: boom\n"), std::string::npos)
      << report;
  const std::string on_stderr = errors.drain();
  EXPECT_EQ(on_stderr.find("internal failure"), std::string::npos) << on_stderr;
  EXPECT_FALSE(run_->finished);
}

TEST_F(ServingLoopTest, StopsAfterReadSideShutdown) {
  start();
  send(kToggle1);
  EXPECT_EQ(lines(3), (Lines{"Received size : 18", "dispatch ToggleButton_1(true)", "done"}));
  // Only the shutdown can wake a loop blocked in its read.
  ASSERT_TRUE(wait_in_read());
  close_like_server();
  EXPECT_EQ(lines(2), (Lines{"Received size : 0", "Terminating."}));
  ASSERT_TRUE(wait_finished());
  EXPECT_FALSE(run_->panic) << *run_->panic;
  // The loop shut the connection down both ways: the client reads the end of the stream.
  EXPECT_EQ(testing::read_until(
                run_->client.get(), [](const std::string&) { return false; }, 1000ms),
            "");
  char c;
  EXPECT_EQ(::recv(run_->client.get(), &c, 1, MSG_DONTWAIT), 0);
}

TEST_F(ServingLoopTest, FrameReadAfterStopIsNotDispatched) {
  start();
  ASSERT_TRUE(wait_in_read());
  // The stop comes while the read waits; the frame that the read then returns stays
  // undispatched.
  ASSERT_TRUE(run_->sender.send(true).ok());
  send(kToggle1);
  EXPECT_EQ(lines(2), (Lines{"Received size : 18", "Terminating."}));
  ASSERT_TRUE(wait_finished());
  EXPECT_EQ(lines_.rest(), Lines{}) << "the frame after the stop was dispatched";
}

TEST_F(ServingLoopTest, QueuedStopEndsBeforeAnyRead) {
  send(kToggle1);
  ASSERT_TRUE(run_->sender.send(true).ok());
  start();
  EXPECT_EQ(lines(1), Lines{"Terminating."});
  ASSERT_TRUE(wait_finished());
  EXPECT_EQ(lines_.rest(), Lines{}) << "nothing after Terminating.";
}

TEST_F(ServingLoopTest, PanicInDispatchEndsLoop) {
  send(toggle(kPanickingId) + kToggle1);
  start();
  EXPECT_EQ(lines(2), (Lines{"Received size : 36", "dispatch ToggleButton_99(true)"}));
  ASSERT_TRUE(wait_finished());
  EXPECT_EQ(run_->panic, "handler gave up");
  EXPECT_EQ(lines_.rest(), Lines{}) << "the frame after the panic was dispatched";
}

TEST_F(ServingLoopTest, DisconnectedChannelPrintsLinkBrokenEveryPass) {
  { StopSender gone = std::move(run_->sender); }
  send(kToggle1);
  start();
  EXPECT_EQ(lines(5), (Lines{"Link broken", "Received size : 18", "dispatch ToggleButton_1(true)",
                             "done", "Link broken"}));
  send(toggle(kPanickingId));  // nothing else can end an orphaned loop
  EXPECT_EQ(lines(2), (Lines{"Received size : 18", "dispatch ToggleButton_99(true)"}));
  ASSERT_TRUE(wait_finished());
}

TEST_F(ServingLoopTest, SignalDoesNotShortenPauseButFailsRead) {
  testing::InterruptingSignal signal;
  ASSERT_TRUE(signal.installed());

  send(kToggle1);
  const auto started = std::chrono::steady_clock::now();
  start(150ms);
  // Signals all through the first pause, which must still last its full time; once the
  // loop blocks in its read, a signal ends it.
  std::atomic<bool> stop_signals = false;
  std::thread storm([&] {
    while (!stop_signals && !run_->finished) {
      ::pthread_kill(thread_.native_handle(), signal.kSignal);
      std::this_thread::sleep_for(2ms);
    }
  });
  const auto first = lines(1);
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(first, Lines{"Received size : 18"});
  EXPECT_GE(waited, 150ms);
  const bool ended = wait_finished();
  stop_signals = true;
  storm.join();
  ASSERT_TRUE(ended);
  EXPECT_EQ(run_->panic, "Failed to read frame : Interrupted system call (os error 4)");
}

// A descriptor that is no socket makes both the read and the shutdown fail.
struct FailureCase {
  std::string name;
  bool stop_first;
  bool unconnected_socket;  // else a pipe
  Lines lines;
  std::optional<std::string> panic;
};

class ServingLoopFailureTest : public ServingLoopTest,
                               public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ServingLoopFailureTest, EndsWithPanic) {
  const auto& c = GetParam();
  testing::Pipe pipe;
  run_->conn = c.unconnected_socket ? UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
                                    : std::move(pipe.read_end);
  if (c.stop_first) {
    ASSERT_TRUE(run_->sender.send(true).ok());
  }
  start();
  ASSERT_TRUE(wait_finished());
  EXPECT_EQ(run_->panic, c.panic);
  EXPECT_EQ(lines(c.lines.size()), c.lines);
}

const std::vector<FailureCase> kFailureCases = {
    {"Read",
     false,
     false,
     {},
     "Failed to read frame : Socket operation on non-socket (os error 88)"},
    {"Shutdown",
     true,
     false,
     {"Terminating."},
     "Failed to shutdown server: Socket operation on non-socket (os error 88)"},
    // A connection whose peer is already gone has nothing to shut down: no failure.
    {"ShutdownOfAGoneConnection", true, true, {"Terminating."}, std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Descriptor, ServingLoopFailureTest, ::testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return info.param.name; });

// What a spawned thread reports back through a pipe.
struct ThreadFacts {
  std::size_t stack_size = 0;
  int detach_state = -1;
  bool sigint_blocked = false;
};

TEST(SpawnDetachedTest, RunsDetachedWithStackAndSignalsBlocked) {
  testing::Pipe pipe;
  auto write_end = std::make_shared<UniqueFd>(std::move(pipe.write_end));
  auto spawned = spawn_detached(
      [write_end] {
        ThreadFacts facts;
        pthread_attr_t attr;
        ::pthread_getattr_np(::pthread_self(), &attr);
        ::pthread_attr_getstacksize(&attr, &facts.stack_size);
        ::pthread_attr_getdetachstate(&attr, &facts.detach_state);
        ::pthread_attr_destroy(&attr);
        sigset_t mask;
        ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        facts.sigint_blocked = ::sigismember(&mask, SIGINT) == 1;
        ::write(write_end->get(), &facts, sizeof facts);
      },
      kServingThreadStackBytes);
  ASSERT_TRUE(spawned.ok()) << spawned.error().text();
  write_end.reset();

  // The facts, then end of file once the thread has let go of its body.
  const std::string got = testing::read_until(
      pipe.read_end.get(), [](const std::string&) { return false; }, 3000ms);
  ASSERT_EQ(got.size(), sizeof(ThreadFacts));
  ThreadFacts facts;
  std::memcpy(&facts, got.data(), sizeof facts);
  EXPECT_GE(facts.stack_size, kServingThreadStackBytes);
  EXPECT_EQ(facts.detach_state, PTHREAD_CREATE_DETACHED);
  EXPECT_TRUE(facts.sigint_blocked);
}

struct EscapeCase {
  std::string name;
  std::function<void()> body;
  std::string reported;
};

class SpawnDetachedEscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(SpawnDetachedEscapeTest, ReportsAndEndsThread) {
  const auto& c = GetParam();
  testing::StderrCapture errors;
  testing::Pipe pipe;
  auto write_end = std::make_shared<UniqueFd>(std::move(pipe.write_end));
  auto spawned = spawn_detached([write_end, body = c.body] { body(); }, kServingThreadStackBytes);
  ASSERT_TRUE(spawned.ok());
  write_end.reset();
  // End of file: the body is gone, so the thread survived its exception and finished.
  EXPECT_EQ(testing::read_until(
                pipe.read_end.get(), [](const std::string&) { return false; }, 3000ms),
            "");
  const std::string report = errors.wait_for(c.reported);
  EXPECT_NE(report.find("thread '<unnamed>'"), std::string::npos) << report;
  EXPECT_NE(report.find(":\n" + c.reported + "\n"), std::string::npos) << report;
}

const std::vector<EscapeCase> kEscapeCases = {
    {"Panic", [] { throw base::Panic("Failed to read frame : broken"); },
     "Failed to read frame : broken"},
    {"OtherException", [] { throw std::runtime_error("not ours"); }, "not ours"},
};

INSTANTIATE_TEST_SUITE_P(Escapes, SpawnDetachedEscapeTest, ::testing::ValuesIn(kEscapeCases),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace velto::server::io
