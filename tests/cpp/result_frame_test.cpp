// Encoding result frames: exact bytes, shortest headers, one exact allocation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/frame.h"

namespace velto::base {
namespace {

std::string hex(const std::vector<char>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (i != 0) out += ' ';
    out += kDigits[b >> 4];
    out += kDigits[b & 0xf];
  }
  return out;
}

struct ReplyCase {
  std::string name;
  ResultFrame frame;
  std::string hex;
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class BufferizeTest : public testing::TestWithParam<ReplyCase> {};

TEST_P(BufferizeTest, WritesExactBytes) {
  const auto& c = GetParam();
  const std::vector<char> bytes = c.frame.bufferize();
  EXPECT_EQ(hex(bytes), c.hex);
  EXPECT_EQ(bytes.capacity(), bytes.size());
}

ResultFrame confirm(uint8_t id, ServerStatus status, bool ok) {
  return {id, status, result::ConfirmResult{ok}};
}
ResultFrame error(uint8_t id, ServerStatus status, std::string text) {
  return {id, status, result::ErrorResult{std::move(text)}};
}

const std::vector<ReplyCase> kReplyCases = {
    {"IdleConfirmTrue", confirm(1, ServerStatus::Idle, true),
     "93 01 a4 49 64 6c 65 81 ad 43 6f 6e 66 69 72 6d 52 65 73 75 6c 74 91 c3"},
    {"ErrorStatusErrorText", error(2, ServerStatus::Error, "bad input"),
     "93 02 a5 45 72 72 6f 72 81 ab 45 72 72 6f 72 52 65 73 75 6c 74 91 a9 62 61 64 20 69 6e 70 "
     "75 74"},
    {"NotInitConfirmFalseUint8Id", confirm(200, ServerStatus::NotInit, false),
     "93 cc c8 a7 4e 6f 74 49 6e 69 74 81 ad 43 6f 6e 66 69 72 6d 52 65 73 75 6c 74 91 c2"},
    {"BusyStatus", confirm(0, ServerStatus::Busy, true),
     "93 00 a4 42 75 73 79 81 ad 43 6f 6e 66 69 72 6d 52 65 73 75 6c 74 91 c3"},
    {"Id127Fixint", confirm(127, ServerStatus::Busy, true),
     "93 7f a4 42 75 73 79 81 ad 43 6f 6e 66 69 72 6d 52 65 73 75 6c 74 91 c3"},
    {"Id128Uint8", confirm(128, ServerStatus::Busy, true),
     "93 cc 80 a4 42 75 73 79 81 ad 43 6f 6e 66 69 72 6d 52 65 73 75 6c 74 91 c3"},
    {"Id255Uint8", confirm(255, ServerStatus::Busy, true),
     "93 cc ff a4 42 75 73 79 81 ad 43 6f 6e 66 69 72 6d 52 65 73 75 6c 74 91 c3"},
    {"EmptyErrorText", error(1, ServerStatus::Idle, ""),
     "93 01 a4 49 64 6c 65 81 ab 45 72 72 6f 72 52 65 73 75 6c 74 91 a0"},
    {"NonAsciiErrorCountsBytes", error(1, ServerStatus::Idle, "\xc3\xa9t\xc3\xa9"),
     "93 01 a4 49 64 6c 65 81 ab 45 72 72 6f 72 52 65 73 75 6c 74 91 a5 c3 a9 74 c3 a9"},
};

INSTANTIATE_TEST_SUITE_P(ResultFrame, BufferizeTest, testing::ValuesIn(kReplyCases),
                         [](const auto& info) { return info.param.name; });

TEST(BufferizeTest, ReferenceRepliesHaveTheirByteLengths) {
  EXPECT_EQ(confirm(1, ServerStatus::Idle, true).bufferize().size(), 24u);
  EXPECT_EQ(error(2, ServerStatus::Error, "bad input").bufferize().size(), 32u);
  EXPECT_EQ(confirm(200, ServerStatus::NotInit, false).bufferize().size(), 28u);
}

// The reply as callback sends it: the same bytes, kept in place up to 64 bytes (an error
// text of 41 bytes with its str8 header) and on the heap beyond.
TEST(EncodedReplyTest, HoldsTheBytesOfBufferize) {
  std::vector<ResultFrame> replies = {confirm(1, ServerStatus::Idle, true),
                                      confirm(255, ServerStatus::NotInit, false)};
  for (std::size_t length : {0, 31, 40, 41, 42, 300, 70000}) {
    replies.push_back(error(7, ServerStatus::Error, std::string(length, 'e')));
  }
  for (const auto& reply : replies) {
    const std::vector<char> expected = reply.bufferize();
    const EncodedReply encoded(reply);
    EXPECT_EQ(std::string(encoded.data(), encoded.size()),
              std::string(expected.begin(), expected.end()))
        << expected.size() << " bytes";
  }
}

// The text header is the shortest that holds the byte length.
class ErrorTextHeaderTest : public testing::TestWithParam<std::tuple<std::size_t, std::string>> {};

TEST_P(ErrorTextHeaderTest, ShortestHeader) {
  const auto& [length, header] = GetParam();
  const std::string text(length, 'e');
  const std::vector<char> bytes = error(1, ServerStatus::Idle, text).bufferize();
  // 93 01, "Idle", 81, "ErrorResult", 91: 21 bytes before the text's header.
  constexpr std::size_t kPrefix = 21;
  const std::size_t header_size = (header.size() + 1) / 3;
  ASSERT_EQ(bytes.size(), kPrefix + header_size + length);
  EXPECT_EQ(hex(std::vector<char>(bytes.begin() + kPrefix, bytes.begin() + kPrefix + header_size)),
            header);
  EXPECT_EQ(std::string(bytes.begin() + kPrefix + header_size, bytes.end()), text);
  EXPECT_EQ(bytes.capacity(), bytes.size());
}

INSTANTIATE_TEST_SUITE_P(
    ResultFrame, ErrorTextHeaderTest,
    testing::Values(std::make_tuple(0, "a0"), std::make_tuple(31, "bf"),
                    std::make_tuple(32, "d9 20"), std::make_tuple(255, "d9 ff"),
                    std::make_tuple(256, "da 01 00"), std::make_tuple(65535, "da ff ff"),
                    std::make_tuple(65536, "db 00 01 00 00")),
    [](const auto& info) { return "Length" + std::to_string(std::get<0>(info.param)); });

}  // namespace
}  // namespace velto::base
