// WsDecoder: what each WebSocket message becomes for the serving loop; and the loop's side of
// a decoder's answers, ends and farewell.
#include "server/ws/ws_decoder.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <deque>
#include <string>
#include <thread>
#include <variant>

#include "io_test_support.h"
#include "server/io/ended_flag.h"
#include "server/io/serving_loop.h"
#include "server/io/stop_channel.h"
#include "server/ws/frame_writer.h"

namespace velto::server::ws {
namespace {

using io::FrameDecoder;
using namespace std::string_literals;

// A client frame, FIN set unless `more`, masked with the key 00 00 00 00 (the payload then
// reads as it is).
std::string client_frame(int opcode, const std::string& payload, bool more = false) {
  std::string out;
  out += static_cast<char>((more ? 0x00 : 0x80) | opcode);
  if (payload.size() <= 125) {
    out += static_cast<char>(0x80 | payload.size());
  } else {
    out += static_cast<char>(0x80 | 126);
    out += static_cast<char>(payload.size() >> 8);
    out += static_cast<char>(payload.size() & 0xff);
  }
  out += "\0\0\0\0"s;
  return out + payload;
}

// ClickButton 0: [0, {"ClickButton": []}].
const std::string kClick =
    "\x92\x00\x81\xab"
    "ClickButton"
    "\x90"s;

std::string describe(const FrameDecoder::Next& next) {
  if (auto* f = std::get_if<base::Frame>(&next)) return "frame " + std::to_string(f->id);
  if (std::holds_alternative<FrameDecoder::Incomplete>(next)) return "incomplete";
  if (auto* bad = std::get_if<FrameDecoder::BadInput>(&next)) {
    return std::string(bad->undecoded ? "bad " : "dropped ") + std::to_string(bad->dropped) + ": " +
           bad->message;
  }
  if (auto* answer = std::get_if<FrameDecoder::Answer>(&next)) return "answer " + answer->bytes;
  const auto& end = std::get<FrameDecoder::End>(next);
  return "end " + end.bytes + (end.report.empty() ? "" : " | " + end.report);
}

struct Case {
  const char* name;
  std::string input;
  // What next() gives, in order, until incomplete: each the start of the event's description.
  std::vector<std::string> expected;
};

TEST(WsDecoder, EachMessageKind) {
  const std::string violation =
      "end " + close_frame(1002) + " | velto_protocol: closed the WebSocket connection: ";
  const Case cases[] = {
      {"one frame", client_frame(2, kClick), {"frame 0"}},
      {"two messages in one read",
       client_frame(2, kClick) + client_frame(2, kClick),
       {"frame 0", "frame 0"}},
      {"fragmented",
       client_frame(2, kClick.substr(0, 5), true) + client_frame(0, kClick.substr(5)),
       {"frame 0"}},
      {"bytes after the frame",
       client_frame(2, kClick + "\x01"),
       {"bad 17: message holds 1 bytes after its frame"}},
      {"empty message", client_frame(2, ""), {"bad 0: "}},
      {"text", client_frame(1, "hi"), {"dropped 2: text message (frames are binary messages)"}},
      {"ping", client_frame(9, "ab"), {"answer " + pong_frame("ab")}},
      {"pong then a frame", client_frame(10, "x") + client_frame(2, kClick), {"frame 0"}},
      {"close without code", client_frame(8, ""), {"end " + close_frame(1000)}},
      {"close 4000, then nothing",
       client_frame(8, "\x0f\xa0") + client_frame(2, kClick),
       {"end " + close_frame(4000)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WsDecoder decoder;
    decoder.append(c.input.data(), c.input.size());
    std::vector<std::string> got;
    for (auto next = decoder.next(); !std::holds_alternative<FrameDecoder::Incomplete>(next);
         next = decoder.next()) {
      got.push_back(describe(next));
    }
    ASSERT_EQ(got.size(), c.expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].rfind(c.expected[i], 0), 0u) << got[i] << " vs " << c.expected[i];
    }
    EXPECT_FALSE(decoder.end_pass().has_value());
  }
  // A violation ends with 1002 and its report; nothing is read after it.
  WsDecoder decoder;
  const std::string unmasked = "\x82\x01\x00"s + client_frame(2, kClick);
  decoder.append(unmasked.data(), unmasked.size());
  const std::string first = describe(decoder.next());
  EXPECT_EQ(first.rfind(violation, 0), 0u) << first;
  EXPECT_TRUE(first.ends_with("(1002)\n")) << first;
  EXPECT_TRUE(std::holds_alternative<FrameDecoder::Incomplete>(decoder.next()));
  EXPECT_EQ(decoder.farewell(), close_frame(1001));
}

// A decoder that answers, then ends the connection, at its first bytes.
class ScriptedDecoder final : public FrameDecoder {
 public:
  void append(const char*, std::size_t) override {
    if (script_.empty() && !used_) {
      script_ = {Answer{"pong"}, End{"bye", "velto_protocol: gone\n"}};
      used_ = true;
    }
  }
  Next next() override {
    if (script_.empty()) return Incomplete{};
    Next n = std::move(script_.front());
    script_.pop_front();
    return n;
  }
  std::optional<BadInput> end_pass() override { return std::nullopt; }
  std::string farewell() const override { return "farewell"; }

 private:
  std::deque<Next> script_;
  bool used_ = false;
};

struct NoDispatch : io::Dispatcher {
  base::Result<base::Unit, std::string> dispatch(const base::Frame&, io::ProgressLines&) override {
    ADD_FAILURE() << "no frame was sent";
    return base::Unit{};
  }
};

TEST(ServingLoop, WritesAnswersEndsAndThenWaitsForTheStopWithoutAFarewell) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  io::UniqueFd server(fds[0]), peer(fds[1]);
  io::testing::Pipe out, err;
  auto ended_fd = io::make_event_fd();
  ASSERT_TRUE(ended_fd.ok());
  io::EndedFlag ended(std::move(ended_fd).value());
  auto [sender, receiver] = io::make_stop_channel();
  ScriptedDecoder decoder;
  NoDispatch dispatcher;
  std::thread loop([&] {
    io::run_serving_loop(receiver, server, decoder, dispatcher,
                         {.pause = std::chrono::nanoseconds(0),
                          .out_fd = out.write_end.get(),
                          .err_fd = err.write_end.get(),
                          .ended = &ended,
                          .write = nullptr,
                          .wait_after_end = true});
  });
  ASSERT_EQ(::send(peer.get(), "x", 1, 0), 1);
  const std::string seen =
      io::testing::read_until(peer.get(), [](const std::string& t) { return t.size() >= 7; });
  EXPECT_EQ(seen, "pongbye");
  EXPECT_EQ(io::testing::read_until(err.read_end.get(),
                                    [](const std::string& t) { return t.ends_with("\n"); }),
            "velto_protocol: gone\n");
  const auto deadline = io::testing::deadline_after(std::chrono::milliseconds(3000));
  while (!ended.is_set() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_TRUE(ended.is_set());
  // It waits for the stop (no spinning on its end of file), then ends without a farewell.
  ASSERT_TRUE(sender.send(true).ok());
  loop.join();
  char rest[16];
  EXPECT_EQ(::recv(peer.get(), rest, sizeof rest, MSG_DONTWAIT), 0);  // shut down, nothing more
  out.write_end.reset();
  const std::string lines =
      io::testing::read_until(out.read_end.get(), [](const std::string&) { return false; });
  EXPECT_EQ(lines, "Received size : 1\nTerminating.\n");
}

}  // namespace
}  // namespace velto::server::ws
