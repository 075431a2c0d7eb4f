// The WebSocket frame reader: one table of byte streams and the events each gives, every row
// fed whole, a byte at a time and in random pieces; then the bounds on what it holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "case_printer.h"
#include "server/ws/frame_reader.h"

namespace velto::server::ws {
namespace {

using testing::PrintTo;

constexpr unsigned char kMask[4] = {0x37, 0xfa, 0x21, 0x3d};

// The length field as a client may write it: the shortest form, or a forced wider one.
enum class Length { kShortest, k16, k64 };

// A client frame: first byte `b0`, masked with `mask`, payload length in the given form.
std::string frame(unsigned char b0, const std::string& payload, Length form = Length::kShortest,
                  const unsigned char* mask = kMask) {
  std::string out(1, static_cast<char>(b0));
  const std::uint64_t n = payload.size();
  if (form == Length::kShortest)
    form = n <= 125 ? Length::kShortest : n <= 0xffff ? Length::k16 : Length::k64;
  if (form == Length::kShortest) {
    out.push_back(static_cast<char>(0x80 | n));
  } else if (form == Length::k16) {
    out += {static_cast<char>(0xfe), static_cast<char>(n >> 8), static_cast<char>(n & 0xff)};
  } else {
    out.push_back(static_cast<char>(0xff));
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>(n >> shift));
  }
  out.append(reinterpret_cast<const char*>(mask), 4);
  for (std::size_t i = 0; i < payload.size(); ++i) {
    out.push_back(static_cast<char>(payload[i] ^ mask[i % 4]));
  }
  return out;
}

std::string close_payload(std::uint16_t code, const std::string& reason = {}) {
  return std::string{static_cast<char>(code >> 8), static_cast<char>(code & 0xff)} + reason;
}

// A header announcing `n` payload bytes with the 64-bit length field, the mask after it.
std::string header64(unsigned char b0, std::uint64_t n) {
  std::string out{static_cast<char>(b0), static_cast<char>(0xff)};
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>(n >> shift));
  out.append(reinterpret_cast<const char*>(kMask), 4);
  return out;
}

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + 1);
  return s;
}

std::string hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += {kDigits[c >> 4], kDigits[c & 15]};
  return out;
}

// "binary 3 010203", "text Hello", "oversized 70000", "ping 48", "pong", "close 1000 bye",
// "close", "violation 1002 unmasked frame". Long payloads show their size and a digest.
std::string describe(const Event& event) {
  struct {
    std::string operator()(const Message& m) const {
      std::string shown = m.payload.size() <= 32
                              ? (m.binary ? hex(m.payload) : m.payload)
                              : "#" + std::to_string(std::hash<std::string>{}(m.payload));
      return std::string(m.binary ? "binary " : "text ") + std::to_string(m.payload.size()) + " " +
             shown;
    }
    std::string operator()(const Oversized& o) const {
      return "oversized " + std::to_string(o.size);
    }
    std::string operator()(const Ping& p) const { return "ping " + hex(p.payload); }
    std::string operator()(const Pong&) const { return "pong"; }
    std::string operator()(const Close& c) const {
      return c.code ? "close " + std::to_string(*c.code) + " " + c.reason : "close";
    }
    std::string operator()(const Violation& v) const {
      return "violation " + std::to_string(v.code) + " " + v.why;
    }
  } visitor;
  return std::visit(visitor, event);
}

// Feeds the pieces in order, taking every event after each as the serving loop does, and
// checks the bound on what the reader holds between reads.
std::vector<std::string> read(const std::vector<std::string>& pieces) {
  FrameReader reader;
  std::vector<std::string> out;
  for (const auto& piece : pieces) {
    reader.feed(piece.data(), piece.size());
    while (auto event = reader.next()) out.push_back(describe(*event));
    EXPECT_LE(reader.held(), kMaxMessage + 14 + 125);
  }
  return out;
}

std::vector<std::string> one_byte_each(const std::string& bytes) {
  std::vector<std::string> pieces;
  for (char c : bytes) pieces.emplace_back(1, c);
  return pieces;
}

std::vector<std::string> random_pieces(const std::string& bytes, std::mt19937& rng) {
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 40)(rng);
    pieces.push_back(bytes.substr(at, n));
    at += n;
  }
  return pieces;
}

struct Case {
  const char* name;
  std::string bytes;
  std::vector<std::string> events;
};

const std::string kHello = "Hello";

std::vector<Case> cases() {
  std::vector<Case> c = {
      // The examples of the protocol's definition, masked where a client must mask.
      {"MaskedTextHello",
       std::string("\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58", 11),
       {"text 5 Hello"}},
      {"UnmaskedTextIsRefused", std::string("\x81\x05Hello", 7), {"violation 1002 unmasked frame"}},
      {"FragmentedText", frame(0x01, "Hel") + frame(0x80, "lo"), {"text 5 Hello"}},
      {"PingWithPayload", frame(0x89, kHello), {"ping 48656c6c6f"}},
      {"Binary256",
       frame(0x82, pattern(256)),
       {"binary 256 #" + std::to_string(std::hash<std::string>{}(pattern(256)))}},
      // Every length boundary: the 7-bit, 16-bit and 64-bit forms and the bound itself.
      {"Length0", frame(0x82, ""), {"binary 0 "}},
      {"Length1Text", frame(0x81, "a"), {"text 1 a"}},
      {"Length125",
       frame(0x82, pattern(125)),
       {"binary 125 #" + std::to_string(std::hash<std::string>{}(pattern(125)))}},
      {"Length126",
       frame(0x82, pattern(126)),
       {"binary 126 #" + std::to_string(std::hash<std::string>{}(pattern(126)))}},
      {"Length65535",
       frame(0x82, pattern(65535)),
       {"binary 65535 #" + std::to_string(std::hash<std::string>{}(pattern(65535)))}},
      {"Length65536",
       frame(0x82, pattern(65536)),
       {"binary 65536 #" + std::to_string(std::hash<std::string>{}(pattern(65536)))}},
      {"Length65537IsSkipped",
       frame(0x82, pattern(65537)) + frame(0x82, "ok"),
       {"oversized 65537", "binary 2 6f6b"}},
      {"FragmentsOverTheBoundAreSkipped",
       frame(0x02, pattern(40000)) + frame(0x89, "") + frame(0x80, pattern(30000)) +
           frame(0x82, "x"),
       {"ping ", "oversized 70000", "binary 1 78"}},
      {"OversizedTextIsStillChecked",
       frame(0x01, pattern(65537)) + frame(0x80, "\xff"),
       {"violation 1007 text message that is not UTF-8"}},
      {"NonMinimal16BitLength",
       frame(0x82, "abc", Length::k16),
       {"violation 1002 length not in its shortest form"}},
      {"NonMinimal64BitLength",
       frame(0x82, pattern(65535), Length::k64),
       {"violation 1002 length not in its shortest form"}},
      {"TopBitOf64BitLength",
       header64(0x82, 0x8000000000000000ull),
       {"violation 1002 64-bit length with its top bit set"}},
      {"Rsv1", frame(0xc2, "a"), {"violation 1002 reserved bits set"}},
      {"Rsv2", frame(0xa2, "a"), {"violation 1002 reserved bits set"}},
      {"Rsv3", frame(0x92, "a"), {"violation 1002 reserved bits set"}},
      {"ControlFrameOf126Bytes",
       frame(0x89, pattern(126)),
       {"violation 1002 control frame longer than 125 bytes"}},
      {"ControlFrameOf125Bytes", frame(0x8a, pattern(125)), {"pong"}},
      {"FragmentedPing", frame(0x09, "a"), {"violation 1002 fragmented control frame"}},
      {"ContinuationFirst",
       frame(0x80, "a"),
       {"violation 1002 continuation frame without a message to continue"}},
      {"DataFrameInsideAMessage",
       frame(0x01, "a") + frame(0x82, "b"),
       {"violation 1002 data frame inside a fragmented message"}},
      {"ControlFramesBetweenFragments",
       frame(0x02, "ab") + frame(0x89, "p") + frame(0x00, "cd") + frame(0x8a, "") +
           frame(0x80, "e"),
       {"ping 70", "pong", "binary 5 6162636465"}},
      // Each fragment may have its own mask; the phase restarts with each frame.
      {"FragmentsWithOtherMasks",
       frame(0x01, "Hello, ", Length::kShortest,
             reinterpret_cast<const unsigned char*>("\x01\x02\x03\x04")) +
           frame(0x80, "wide world", Length::kShortest,
                 reinterpret_cast<const unsigned char*>("\xf0\x0f\xaa\x55")),
       {"text 17 Hello, wide world"}},
      {"SeveralMessagesInARow",
       frame(0x82, "a") + frame(0x81, "b") + frame(0x8a, "c"),
       {"binary 1 61", "text 1 b", "pong"}},
      // Text is UTF-8, checked across fragment boundaries, whole at the message's end.
      {"TextSplitInsideACharacter",
       frame(0x01, "caf\xc3") + frame(0x80, "\xa9!"),
       {"text 6 caf\xc3\xa9!"}},
      {"FourByteCharacterOverThreeFragments",
       frame(0x01, "\xf0\x9f") + frame(0x00, "\x98") + frame(0x80, "\x80"),
       {"text 4 \xf0\x9f\x98\x80"}},
      {"InvalidByteInText",
       frame(0x81, "ab\xff"),
       {"violation 1007 text message that is not UTF-8"}},
      {"BadContinuationAcrossFragments",
       frame(0x01, "\xc3") + frame(0x80, "("),
       {"violation 1007 text message that is not UTF-8"}},
      {"TextEndingInsideACharacter",
       frame(0x01, "a") + frame(0x80, "\xe2\x82"),
       {"violation 1007 text message that is not UTF-8"}},
      {"SurrogateInText",
       frame(0x81, "\xed\xa0\x80"),
       {"violation 1007 text message that is not UTF-8"}},
      {"BinaryIsNotChecked", frame(0x82, "\xff\xfe"), {"binary 2 fffe"}},
      // Close frames: the code, the reason, and the reader stops after them.
      {"CloseWithoutPayload", frame(0x88, "") + frame(0x82, "late"), {"close"}},
      {"CloseWithReason", frame(0x88, close_payload(1000, "bye")), {"close 1000 bye"}},
      {"CloseOfOneByte", frame(0x88, "\x03"), {"violation 1002 close frame with a 1-byte payload"}},
      {"CloseReasonNotUtf8",
       frame(0x88, close_payload(1000, "\xc3(")),
       {"violation 1007 close reason that is not UTF-8"}},
      {"CloseReasonCutInsideACharacter",
       frame(0x88, close_payload(1001, "\xe2\x82")),
       {"violation 1007 close reason that is not UTF-8"}},
      {"BytesAfterAViolationAreDropped",
       frame(0x82, "a", Length::k16) + frame(0x82, "b"),
       {"violation 1002 length not in its shortest form"}},
  };
  for (int opcode : {3, 4, 5, 6, 7, 0xb, 0xc, 0xd, 0xe, 0xf}) {
    static const char* kHex = "0123456789ABCDEF";
    c.push_back({"Opcode",
                 frame(static_cast<unsigned char>(0x80 | opcode), "a"),
                 {std::string("violation 1002 unknown opcode 0x") + kHex[opcode]}});
  }
  for (int code : {1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011, 1012, 1013, 1014, 3000,
                   3999, 4000, 4999}) {
    c.push_back({"ValidCloseCode",
                 frame(0x88, close_payload(static_cast<std::uint16_t>(code))),
                 {"close " + std::to_string(code) + " "}});
  }
  for (int code : {0, 999, 1004, 1005, 1006, 1015, 1016, 1100, 2000, 2999, 5000, 65535}) {
    c.push_back({"InvalidCloseCode",
                 frame(0x88, close_payload(static_cast<std::uint16_t>(code), "x")),
                 {"violation 1002 invalid close code " + std::to_string(code)}});
  }
  return c;
}

class ReaderTest : public ::testing::TestWithParam<Case> {};

TEST_P(ReaderTest, GivesTheSameEventsHoweverTheBytesAreSplit) {
  const Case& c = GetParam();
  EXPECT_EQ(read({c.bytes}), c.events) << "whole";
  EXPECT_EQ(read(one_byte_each(c.bytes)), c.events) << "one byte at a time";
  for (unsigned seed = 1; seed <= 3; ++seed) {
    std::mt19937 rng(seed);
    EXPECT_EQ(read(random_pieces(c.bytes, rng)), c.events) << "random pieces, seed " << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(Frames, ReaderTest, ::testing::ValuesIn(cases()), [](const auto& info) {
  return std::string(info.param.name) + "_" + std::to_string(info.index);
});

// A message announced far over the bound is skipped as it comes: nothing of it is held, and
// it is reported once, after its last byte.
TEST(ReaderBoundsTest, HugeAnnouncedMessageIsSkippedWithoutHoldingIt) {
  constexpr std::uint64_t kSize = 16u << 20;
  FrameReader reader;
  const std::string head = header64(0x82, kSize);
  reader.feed(head.data(), head.size());
  EXPECT_FALSE(reader.next());
  const std::string chunk(1024, 'z');
  for (std::uint64_t sent = 0; sent + chunk.size() < kSize; sent += chunk.size()) {
    reader.feed(chunk.data(), chunk.size());
    ASSERT_FALSE(reader.next()) << "at " << sent;
    ASSERT_EQ(reader.held(), 0u) << "at " << sent;
  }
  const std::string last = chunk + frame(0x82, "ok");
  reader.feed(last.data(), last.size());
  auto event = reader.next();
  ASSERT_TRUE(event);
  EXPECT_EQ(describe(*event), "oversized 16777216");
  event = reader.next();
  ASSERT_TRUE(event);
  EXPECT_EQ(describe(*event), "binary 2 6f6b");
}

// Bad text ends the connection at the byte that breaks it, not at the end of its frame.
TEST(ReaderBoundsTest, BadTextFailsBeforeItsFrameEnds) {
  FrameReader reader;
  const std::string bytes = frame(0x81, "ok\xff" + std::string(1000, 'a')).substr(0, 11);
  reader.feed(bytes.data(), bytes.size());
  auto event = reader.next();
  ASSERT_TRUE(event);
  EXPECT_EQ(describe(*event), "violation 1007 text message that is not UTF-8");
  EXPECT_EQ(reader.held(), 0u);
}

// A fragmented message within the bound is held whole until its last fragment, and the
// reader lets go of it once given out.
TEST(ReaderBoundsTest, MessageIsHeldUntilWholeThenReleased) {
  FrameReader reader;
  const std::string first = frame(0x02, pattern(30000));
  reader.feed(first.data(), first.size());
  EXPECT_FALSE(reader.next());
  EXPECT_EQ(reader.held(), 30000u);
  const std::string last = frame(0x80, pattern(35536));
  reader.feed(last.data(), last.size());
  auto event = reader.next();
  ASSERT_TRUE(event);
  ASSERT_TRUE(std::holds_alternative<Message>(*event));
  EXPECT_EQ(std::get<Message>(*event).payload, pattern(30000) + pattern(35536));
  EXPECT_EQ(reader.held(), 0u);
}

}  // namespace
}  // namespace velto::server::ws
