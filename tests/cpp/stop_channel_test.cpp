// States of the stop channel.
#include "server/io/stop_channel.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <thread>

#include "case_printer.h"
#include "io_test_support.h"

namespace velto::server::io {
namespace {

using velto::testing::PrintTo;

using State = StopReceived::State;

// A channel whose ends a case may release.
struct Ends {
  std::optional<StopSender> sender;
  std::optional<StopReceiver> receiver;
};

struct ChannelCase {
  std::string name;
  std::function<void(Ends&)> act;
  // What successive receive attempts give: the state, and the value for a message.
  std::vector<std::pair<State, bool>> receives;
};

class StopChannelTest : public ::testing::TestWithParam<ChannelCase> {};

TEST_P(StopChannelTest, ReceivesInOrder) {
  const auto& c = GetParam();
  auto [tx, rx] = make_stop_channel();
  Ends ends{std::move(tx), std::move(rx)};
  c.act(ends);
  for (const auto& [state, value] : c.receives) {
    const auto got = ends.receiver->try_receive();
    ASSERT_EQ(got.state, state);
    if (state == State::Message) {
      EXPECT_EQ(got.value, value);
    }
  }
}

void send(Ends& e, bool v) { ASSERT_TRUE(e.sender->send(v).ok()); }

const std::vector<ChannelCase> kChannelCases = {
    {"FreshIsEmpty", [](Ends&) {}, {{State::Empty, false}, {State::Empty, false}}},
    {"MessagesInOrderThenEmpty",
     [](Ends& e) {
       send(e, true);
       send(e, false);
     },
     {{State::Message, true}, {State::Message, false}, {State::Empty, false}}},
    {"ReleasedSenderDisconnects",
     [](Ends& e) { e.sender.reset(); },
     {{State::Disconnected, false}, {State::Disconnected, false}}},
    {"QueuedMessageOutlivesSender",
     [](Ends& e) {
       send(e, true);
       e.sender.reset();
     },
     {{State::Message, true}, {State::Disconnected, false}}},
    {"SenderReplacedByMoveDisconnects",
     [](Ends& e) {
       auto [other_tx, other_rx] = make_stop_channel();
       *e.sender = std::move(other_tx);
     },
     {{State::Disconnected, false}}},
    {"MovedSenderKeepsChannel",
     [](Ends& e) {
       StopSender moved = std::move(*e.sender);
       e.sender.reset();
       ASSERT_TRUE(moved.send(true).ok());
       e.sender.emplace(std::move(moved));
     },
     {{State::Message, true}, {State::Empty, false}}},
};

INSTANTIATE_TEST_SUITE_P(Channel, StopChannelTest, ::testing::ValuesIn(kChannelCases),
                         [](const auto& info) { return info.param.name; });

TEST(StopSenderTest, SendFailsOnceReceiverIsReleased) {
  auto [tx, rx] = make_stop_channel();
  ASSERT_TRUE(tx.send(true).ok());
  { StopReceiver gone = std::move(rx); }
  auto sent = tx.send(true);
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().message(), "sending on a closed channel");
  EXPECT_TRUE(sent.error().causes().empty());
}

TEST(StopSenderTest, EmptySenderCannotSend) {
  StopSender empty;
  auto sent = empty.send(true);
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().message(), "sending on a closed channel");
}

TEST(StopChannelThreadsTest, EveryMessageCrossesInOrder) {
  auto [tx, rx] = make_stop_channel();
  constexpr int kCount = 10000;
  std::thread sender([tx = std::move(tx)]() mutable {
    for (int i = 0; i < kCount; ++i) ASSERT_TRUE(tx.send(i % 3 == 0).ok());
  });
  int received = 0;
  const auto deadline = testing::deadline_after(std::chrono::seconds(5));
  for (;;) {
    const auto got = rx.try_receive();
    if (got.state == State::Disconnected) break;
    if (got.state == State::Message) {
      ASSERT_EQ(got.value, received % 3 == 0) << "message " << received;
      ++received;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
  }
  sender.join();
  EXPECT_EQ(received, kCount);
}

}  // namespace
}  // namespace velto::server::io
