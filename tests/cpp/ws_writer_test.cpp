// Server frames: the length forms at their boundaries, and the control frames.
#include <gtest/gtest.h>

#include <string>

#include "server/ws/frame_reader.h"
#include "server/ws/frame_writer.h"

namespace velto::server::ws {
namespace {

class BinaryFrameTest : public ::testing::TestWithParam<std::tuple<std::size_t, std::string>> {};

TEST_P(BinaryFrameTest, HeaderHasTheShortestLengthForm) {
  const auto& [size, header] = GetParam();
  const std::string payload(size, 'p');
  const std::string out = binary_frame(payload);
  EXPECT_EQ(out.substr(0, header.size()), header);
  EXPECT_EQ(out.size(), header.size() + size);
  EXPECT_EQ(out.substr(header.size()), payload);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, BinaryFrameTest,
    ::testing::Values(std::tuple<std::size_t, std::string>{0, std::string("\x82\x00", 2)},
                      std::tuple<std::size_t, std::string>{125, "\x82\x7d"},
                      std::tuple<std::size_t, std::string>{126, std::string("\x82\x7e\x00\x7e", 4)},
                      std::tuple<std::size_t, std::string>{65535, "\x82\x7e\xff\xff"},
                      std::tuple<std::size_t, std::string>{
                          65536, std::string("\x82\x7f\x00\x00\x00\x00\x00\x01\x00\x00", 10)}),
    [](const auto& info) { return "Size" + std::to_string(std::get<0>(info.param)); });

TEST(ControlFrameTest, PongEchoesThePayload) {
  EXPECT_EQ(pong_frame("abc"),
            "\x8a\x03"
            "abc");
  EXPECT_EQ(pong_frame(""), std::string("\x8a\x00", 2));
}

TEST(ControlFrameTest, CloseCarriesCodeAndReason) {
  EXPECT_EQ(close_frame(1001), "\x88\x02\x03\xe9");
  EXPECT_EQ(close_frame(1002, "bad"),
            "\x88\x05\x03\xea"
            "bad");
}

// A control frame may carry 125 bytes: a long reason is cut, never inside a character.
TEST(ControlFrameTest, LongCloseReasonIsCutOnACharacterBoundary) {
  const std::string reason = std::string(122, 'r') + "\xc3\xa9" + "tail";
  const std::string out = close_frame(1000, reason);
  EXPECT_EQ(static_cast<unsigned char>(out[1]), 2 + 122);
  EXPECT_EQ(out.substr(4), std::string(122, 'r'));
}

}  // namespace
}  // namespace velto::server::ws
