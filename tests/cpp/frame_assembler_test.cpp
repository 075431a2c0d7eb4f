// Cutting received bytes into frames: several per read, split frames, bad bytes, the bound.
#include "server/io/frame_assembler.h"

#include <gtest/gtest.h>

#include "frame_bytes.h"

namespace velto::server::io {
namespace {

using testing::describe;
using testing::kClick0;
using testing::kDirectional7;
using testing::kJoystick3;
using testing::kToggle1;

// Feeds the chunks one append at a time, draining after each as the serving loop does,
// and records what came out: a frame's description or "bad: <message>".
std::vector<std::string> feed(FrameAssembler& assembler, const std::vector<std::string>& chunks) {
  std::vector<std::string> out;
  for (const auto& chunk : chunks) {
    assembler.append(chunk.data(), chunk.size());
    for (;;) {
      auto next = assembler.next();
      if (auto* frame = std::get_if<base::Frame>(&next)) {
        out.push_back(describe(*frame));
      } else if (auto* bad = std::get_if<FrameAssembler::BadInput>(&next)) {
        out.push_back("bad: " + bad->message);
        break;
      } else {
        break;
      }
    }
  }
  return out;
}

// The decoder's own message for bytes that cannot become a frame.
std::string decode_message(const std::string& bytes) {
  auto parsed = base::Frame::parse(bytes.data(), bytes.size());
  return parsed.ok() ? "<decoded>" : parsed.error().message;
}

TEST(FrameAssemblerTest, SeveralFramesInOneAppendComeOutInOrder) {
  FrameAssembler assembler;
  EXPECT_EQ(feed(assembler, {kToggle1 + kClick0 + kJoystick3 + kDirectional7}),
            (std::vector<std::string>{"ToggleButton_1(true)", "ClickButton_0()",
                                      "Joystick_3(0.5,-1,0.75)", "DirectionalButton_7(2)"}));
  EXPECT_EQ(assembler.held(), 0u);
  EXPECT_TRUE(std::holds_alternative<FrameAssembler::Incomplete>(assembler.next()));
}

TEST(FrameAssemblerTest, FrameSplitAtEveryPositionIsCompleted) {
  const std::string bytes = kToggle1 + kJoystick3 + kDirectional7;
  const std::vector<std::string> expected = {"ToggleButton_1(true)", "Joystick_3(0.5,-1,0.75)",
                                             "DirectionalButton_7(2)"};
  for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
    FrameAssembler assembler;
    EXPECT_EQ(feed(assembler, {bytes.substr(0, cut), bytes.substr(cut)}), expected)
        << "cut at " << cut;
    EXPECT_EQ(assembler.held(), 0u) << "cut at " << cut;
  }
}

TEST(FrameAssemblerTest, ByteByByteGivesEachFrameOnItsLastByte) {
  const std::string bytes = kToggle1 + kClick0;
  FrameAssembler assembler;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    auto out = feed(assembler, {bytes.substr(i, 1)});
    const bool last_of_frame = i == kToggle1.size() - 1 || i == bytes.size() - 1;
    EXPECT_EQ(out.size(), last_of_frame ? 1u : 0u) << "byte " << i;
  }
}

TEST(FrameAssemblerTest, LongFrameOverTwoAppendsIsReceivedWhole) {
  const std::string frame = testing::padded_frame(1500);
  ASSERT_EQ(frame.size(), 1500u);
  FrameAssembler assembler;
  EXPECT_TRUE(feed(assembler, {frame.substr(0, 1024)}).empty());
  EXPECT_EQ(assembler.held(), 1024u);
  EXPECT_EQ(feed(assembler, {frame.substr(1024)}),
            std::vector<std::string>{"ToggleButton_1(true)"});
}

struct BadCase {
  std::string name;
  std::vector<std::string> chunks;
  std::vector<std::string> out;
  std::size_t held_after;
};

class FrameAssemblerBadInputTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(FrameAssemblerBadInputTest, DropsHeldBytesAndGoesOn) {
  const auto& c = GetParam();
  FrameAssembler assembler;
  EXPECT_EQ(feed(assembler, c.chunks), c.out);
  EXPECT_EQ(assembler.held(), c.held_after);
}

const std::string kReserved = "\xc1";
const std::string kBareJoystick("\x92\x01\xa8Joystick", 11);

const std::vector<BadCase> kBadCases = {
    // Everything held when the error shows is dropped, the good frame behind it too.
    {"BadAfterGoodInOneRead",
     {kToggle1 + kReserved + kClick0},
     {"ToggleButton_1(true)", "bad: " + decode_message(kReserved)},
     0},
    {"NextReadDecodesAfresh",
     {kToggle1 + kReserved, kClick0},
     {"ToggleButton_1(true)", "bad: " + decode_message(kReserved), "ClickButton_0()"},
     0},
    // A kept incomplete frame that turns out bad: the message is the decoder's for the
    // whole frame, not for the last read alone.
    {"KeptPartTurnsBad",
     {kBareJoystick.substr(0, 5), kBareJoystick.substr(5) + kClick0},
     {"bad: " + decode_message(kBareJoystick)},
     0},
    {"ExactlyTheBoundIsAccepted",
     {testing::padded_frame(kMaxFrameBytes)},
     {"ToggleButton_1(true)"},
     0},
    {"OneByteOverTheBound",
     {testing::padded_frame(kMaxFrameBytes + 1)},
     {"bad: frame exceeds 65536 bytes"},
     0},
};

INSTANTIATE_TEST_SUITE_P(Bytes, FrameAssemblerBadInputTest, ::testing::ValuesIn(kBadCases),
                         [](const auto& info) { return info.param.name; });

// Headers that announce more than the bound make the frame bad input as soon as they are
// held, and only what was held then is dropped.
struct AnnouncedCase {
  std::string name;
  std::string bytes;
  bool too_large;
};

class FrameAssemblerAnnouncedTest : public ::testing::TestWithParam<AnnouncedCase> {};

TEST_P(FrameAssemblerAnnouncedTest, TooLargeAtOnceOrWaits) {
  const auto& c = GetParam();
  FrameAssembler assembler;
  assembler.append(c.bytes.data(), c.bytes.size());
  auto next = assembler.next();
  if (!c.too_large) {
    EXPECT_TRUE(std::holds_alternative<FrameAssembler::Incomplete>(next));
    EXPECT_EQ(assembler.held(), c.bytes.size());
    return;
  }
  auto* bad = std::get_if<FrameAssembler::BadInput>(&next);
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(bad->message, "frame exceeds 65536 bytes");
  EXPECT_EQ(bad->dropped, c.bytes.size());
  // The frames that follow in later reads are not swallowed.
  EXPECT_EQ(feed(assembler, std::vector<std::string>(16, kToggle1)),
            std::vector<std::string>(16, "ToggleButton_1(true)"));
}

// Big-endian bytes of `n` in `width` bytes.
std::string be(uint64_t n, int width) {
  std::string out;
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
    out.push_back(static_cast<char>(n >> shift));
  }
  return out;
}

const std::string kArray2Id1("\x92\x01", 2);
const std::string kJoystickKey("\x81\xa8Joystick", 10);

const std::vector<AnnouncedCase> kAnnouncedCases = {
    {"String4GiB", kArray2Id1 + "\xdb" + be(0xffffffff, 4), true},
    {"StringJustFits", kArray2Id1 + "\x81\xdb" + be(kMaxFrameBytes - 9, 4), false},
    {"StringOneOver", kArray2Id1 + "\x81\xdb" + be(kMaxFrameBytes - 8, 4), true},
    {"Binary64KiBAsKind", kArray2Id1 + "\x81\xc6" + be(kMaxFrameBytes, 4), true},
    {"Str16Fits", kArray2Id1 + "\x81\xda" + be(0xff00, 2), false},
    {"MapOfPairsBeyond", "\xdf" + be(kMaxFrameBytes / 2, 4), true},
    {"MapOfPairsWithin", "\xdf" + be(kMaxFrameBytes / 2 - 3, 4), false},
    {"ArrayInRecordBeyond", kArray2Id1 + kJoystickKey + "\xdd" + be(kMaxFrameBytes, 4), true},
    {"ArrayInRecordWithin", kArray2Id1 + kJoystickKey + "\xdc" + be(0xff00, 2), false},
    // The header itself is cut: nothing is known yet.
    {"CutLengthField", kArray2Id1 + "\xdb\xff\xff", false},
};

INSTANTIATE_TEST_SUITE_P(Headers, FrameAssemblerAnnouncedTest, ::testing::ValuesIn(kAnnouncedCases),
                         [](const auto& info) { return info.param.name; });

// A frame may take a pass for its first bytes and at most two further passes that bring
// more; passes that bring nothing do not count. Each pass is a list of chunks ("" for a
// pass without bytes); the result is what came out, with "|" at each end of a pass.
struct PassCase {
  std::string name;
  std::vector<std::vector<std::string>> passes;
  std::string out;
};

class FrameAssemblerPassTest : public ::testing::TestWithParam<PassCase> {};

TEST_P(FrameAssemblerPassTest, IncompleteFrameAgesByPassesWithBytes) {
  FrameAssembler assembler;
  std::string out;
  for (const auto& pass : GetParam().passes) {
    for (const auto& chunk : pass) {
      for (const auto& o : feed(assembler, {chunk})) out += o + " ";
    }
    if (auto stale = assembler.end_pass()) {
      out += "bad(" + std::to_string(stale->dropped) + "): " + stale->message + " ";
    }
    out += "|";
  }
  EXPECT_EQ(out, GetParam().out);
}

const std::string kJ = kJoystick3;  // 29 bytes

const std::vector<PassCase> kPassCases = {
    {"CompletedInSecondFurtherPass",
     {{kJ.substr(0, 5)}, {kJ.substr(5, 5)}, {kJ.substr(10)}},
     "||Joystick_3(0.5,-1,0.75) |"},
    {"StillIncompleteAfterTwoFurther",
     {{kJ.substr(0, 5)}, {kJ.substr(5, 5)}, {kJ.substr(10, 5)}, {kJ.substr(15)}},
     "||bad(15): frame still incomplete after 2 further passes that brought more bytes |"
     "bad: " +
         decode_message(kJ.substr(15)) + " |"},
    {"SilentPassesDoNotCount",
     {{kJ.substr(0, 5)}, {""}, {""}, {kJ.substr(5, 5)}, {""}, {kJ.substr(10)}},
     "|||||Joystick_3(0.5,-1,0.75) |"},
    {"ANewFrameStartsYoung",
     {{kToggle1 + kJ.substr(0, 5)},
      {kJ.substr(5) + kToggle1.substr(0, 3)},
      {kToggle1.substr(3, 3)},
      {kToggle1.substr(6)}},
     "ToggleButton_1(true) |Joystick_3(0.5,-1,0.75) ||ToggleButton_1(true) |"},
    {"SeveralReadsInOnePassCountOnce",
     {{kJ.substr(0, 3), kJ.substr(3, 3)}, {kJ.substr(6, 3), kJ.substr(9, 3)}, {kJ.substr(12)}},
     "||Joystick_3(0.5,-1,0.75) |"},
};

INSTANTIATE_TEST_SUITE_P(Passes, FrameAssemblerPassTest, ::testing::ValuesIn(kPassCases),
                         [](const auto& info) { return info.param.name; });

TEST(FrameAssemblerTest, BoundHoldsWhenFrameArrivesInReads) {
  // As the serving loop delivers it: 1024 bytes per append. The frame is reported as too
  // large as soon as 65536 bytes are held, and the tail that follows is not a frame.
  const std::string frame = testing::padded_frame(kMaxFrameBytes + 2000);
  std::vector<std::string> chunks;
  for (std::size_t at = 0; at < frame.size(); at += 1024) chunks.push_back(frame.substr(at, 1024));
  FrameAssembler assembler;
  auto out = feed(assembler, chunks);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.front(), "bad: frame exceeds 65536 bytes");
  for (const auto& o : out) EXPECT_NE(o, "ToggleButton_1(true)");
  EXPECT_LT(assembler.held(), kMaxFrameBytes);
}

TEST(FrameAssemblerTest, FramesBeyondTheBoundInOneAppendStillComeOut) {
  // Held bytes above the bound are fine when each frame in them is within it.
  std::string bytes;
  while (bytes.size() <= kMaxFrameBytes) bytes += kToggle1;
  FrameAssembler assembler;
  auto out = feed(assembler, {bytes});
  EXPECT_EQ(out.size(), bytes.size() / kToggle1.size());
  EXPECT_EQ(assembler.held(), 0u);
}

}  // namespace
}  // namespace velto::server::io
