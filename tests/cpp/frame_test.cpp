// Decoding frames: accepted forms, every failure message, end of input and the depth budget.
#include "base/frame.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "base/mp_reader.h"

namespace velto::base {
namespace {

// Bytes from hex digits; spaces are ignored.
std::string bytes(std::string_view hex) {
  std::string out;
  int high = -1;
  for (char c : hex) {
    if (c == ' ') continue;
    const int v = c <= '9' ? c - '0' : c - 'a' + 10;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<char>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

std::string hex_of(std::string_view raw) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : raw) {
    out += ' ';
    out += kDigits[c >> 4];
    out += kDigits[c & 0xf];
  }
  return out;
}

// A fixstr (below 32 bytes) as hex.
std::string s(std::string_view text) {
  std::string header(1, static_cast<char>(0xa0 | text.size()));
  return hex_of(header + std::string(text));
}

std::string float_text(float v) {
  char buf[64];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

// A readable form of a frame for comparisons.
std::string render(const Frame& frame) {
  std::string out = std::to_string(frame.id) + " " + std::string(frame.data.name());
  if (auto* t = std::get_if<widget::ToggleButton>(&frame.data.value)) {
    out += t->value ? " true" : " false";
  } else if (auto* p = std::get_if<widget::PressButton>(&frame.data.value)) {
    out += p->pressed ? " true" : " false";
  } else if (auto* d = std::get_if<widget::DirectionalButton>(&frame.data.value)) {
    out += " " + std::to_string(d->direction);
  } else if (auto* j = std::get_if<widget::Joystick>(&frame.data.value)) {
    out += " " + float_text(j->delta.x) + " " + float_text(j->delta.y) + " " +
           float_text(j->intensity);
  }
  return out;
}

const std::string kToggle = "92 01 81" + s("ToggleButton") + "91 c3";
const std::string kJoystick =
    "92 03 81" + s("Joystick") + "92 92 ca 3f 00 00 00 ca bf 80 00 00 ca 3f 40 00 00";
const std::string kClick = "92 00 81" + s("ClickButton") + "90";
const std::string kDirectionalMap = "82" + s("id") + "07" + s("data") + "81 04 91 02";
const std::string kToggleBodyMap = "92 01 81" + s("ToggleButton") + "81" + s("value") + "c3";

// A Joystick frame (id 0, delta 0, 0) whose intensity is the given value.
std::string intensity(std::string_view value) {
  return "92 00 81 05 92 92 00 00 " + std::string(value);
}

TEST(FrameTest, ReferenceFramesHaveTheirByteLengths) {
  EXPECT_EQ(bytes(kToggle).size(), 18u);
  EXPECT_EQ(bytes(kJoystick).size(), 29u);
  EXPECT_EQ(bytes(kClick).size(), 16u);
  EXPECT_EQ(bytes(kDirectionalMap), bytes("82 a2 69 64 07 a4 64 61 74 61 81 04 91 02"));
}

// ---------------------------------------------------------------------------------------
// Accepted forms.

struct DecodeCase {
  std::string name;
  std::string hex;
  std::string frame;  // render() of the expected frame
  std::size_t used;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class DecodesTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodesTest, GivesFrameAndBytesUsed) {
  const DecodeCase& c = GetParam();
  const std::string input = bytes(c.hex);
  auto parsed = Frame::parse(input.data(), input.size());
  ASSERT_TRUE(parsed.ok()) << parsed.error().message;
  EXPECT_EQ(render(parsed.value().frame), c.frame);
  EXPECT_EQ(parsed.value().used, c.used);
}

const std::vector<DecodeCase> kDecodeCases = {
    {"ToggleByNameArrayBody", kToggle, "1 ToggleButton true", 18},
    {"JoystickFloat32Coords", kJoystick, "3 Joystick 0.5 -1 0.75", 29},
    {"ClickByNameEmptyBody", kClick, "0 ClickButton", 16},
    {"DirectionalFrameMapKindIndex", kDirectionalMap, "7 DirectionalButton 2", 14},
    {"ToggleBodyAsMap", kToggleBodyMap, "1 ToggleButton true", 24},
    {"TrailingGarbageIgnored", kClick + "c1 ff 00", "0 ClickButton", 16},
    {"SecondFrameInSameReadIgnored", kClick + kToggle, "0 ClickButton", 16},
    {"FrameArray16", "dc 00 02 01 81 00 90", "1 ClickButton", 7},
    {"FrameArray32", "dd 00 00 00 02 01 81 00 90", "1 ClickButton", 9},
    {"FrameMapReversed", "82" + s("data") + "81 02 90" + s("id") + "09", "9 ConfirmButton", 13},
    {"FrameMapBinaryKeys", "82 c4 02 69 64 09 c4 04 64 61 74 61 81 02 90", "9 ConfirmButton", 15},
    {"FrameMapPositionKeys", "82 01 81 03 91 c2 00 cc 80", "128 PressButton false", 9},
    {"FrameMapUnknownKeysSkipped",
     "85" + s("extra") + "92 81 a1 61 c0 c7 02 05 aa bb" + "c4 01 7a cb 00 00 00 00 00 00 00 00" +
         "07 d4 01 ff" + s("id") + "02" + s("data") + "81 00 90",
     "2 ClickButton", 45},
    {"FrameMapNonUtf8KeySkipped", "83 a2 69 ff 01" + s("id") + "02" + s("data") + "81 00 90",
     "2 ClickButton", 17},
    {"MapKeyLongerThanScratchInline",
     "83 d9 c8" + hex_of(std::string(200, 'k')) + "c0" + s("id") + "02" + s("data") + "81 00 90",
     "2 ClickButton", 216},
    {"KindByBinaryName", "92 04 81 c4 08" + hex_of("Joystick") + "92 92 01 02 03",
     "4 Joystick 1 2 3", 18},
    {"KindByStr8Name", "92 04 81 d9 08" + hex_of("Joystick") + "92 92 01 02 03", "4 Joystick 1 2 3",
     18},
    {"KindIndexAsUint64", "92 04 81 cf 00 00 00 00 00 00 00 05 92 92 01 02 03", "4 Joystick 1 2 3",
     17},
    {"KindMapAsMap16", "92 04 de 00 01 04 91 05", "4 DirectionalButton 5", 8},
    {"PressButtonTrue", "92 05 81" + s("PressButton") + "91 c3", "5 PressButton true", 17},
    {"IdAsUint8", "92 cc ff 81 00 90", "255 ClickButton", 6},
    {"IdAsUint64", "92 cf 00 00 00 00 00 00 00 ff 81 00 90", "255 ClickButton", 13},
    {"IdAsInt8", "92 d0 05 81 00 90", "5 ClickButton", 6},
    {"IdAsInt64", "92 d3 00 00 00 00 00 00 00 ff 81 00 90", "255 ClickButton", 13},
    {"DirectionAsInt16", "92 01 81 04 91 d1 00 ff", "1 DirectionalButton 255", 8},
    {"DirectionalBodyAsBinary", "92 01 81 04 c4 01 09", "1 DirectionalButton 9", 7},
    {"DirectionalBinaryExtraBytesIgnored", "92 01 81 04 c4 03 09 c1 c1", "1 DirectionalButton 9",
     9},
    {"ClickBodyAsEmptyBinary", "92 01 81 00 c4 00", "1 ClickButton", 6},
    {"ConfirmBodyAsBinary", "92 01 81 02 c4 02 01 02", "1 ConfirmButton", 8},
    {"ClickBodyMapEntriesDiscarded", "92 01 81 00 83" + s("x") + "01 00 92 c3 c2 c4 01 00 81 a0 c0",
     "1 ClickButton", 18},
    {"DirectionalBodyAsMapByPosition", "92 01 81 04 81 00 07", "1 DirectionalButton 7", 7},
    {"JoystickBodyAsMap",
     "92 01 81 05 82" + s("intensity") + "03" + s("delta") + "82" + s("y") + "02" + s("x") + "01",
     "1 Joystick 1 2 3", 29},
    {"CoordAsBinary", "92 01 81 05 92 c4 02 05 07 04", "1 Joystick 5 7 4", 10},
    {"CoordAsMapByPosition", "92 01 81 05 92 82 01 02 00 01 04", "1 Joystick 1 2 4", 11},
    {"IntensityFromPositiveInt", intensity("02"), "0 Joystick 0 0 2", 9},
    {"IntensityFromNegativeInt", intensity("fd"), "0 Joystick 0 0 -3", 9},
    {"IntensityFromUint64Max", intensity("cf ff ff ff ff ff ff ff ff"),
     "0 Joystick 0 0 1.8446744e+19", 17},
    {"IntensityFromInt64Min", intensity("d3 80 00 00 00 00 00 00 00"),
     "0 Joystick 0 0 -9.223372e+18", 17},
    {"IntensityFromFloat64Rounded", intensity("cb 3f b9 99 99 99 99 99 9a"), "0 Joystick 0 0 0.1",
     17},
    {"IntensityFloat64Overflow", intensity("cb 7e 37 e4 3c 88 00 75 9c"), "0 Joystick 0 0 inf", 17},
    {"IntensityFloat64NegativeOverflow", intensity("cb fe 37 e4 3c 88 00 75 9c"),
     "0 Joystick 0 0 -inf", 17},
    // 0x47efffffe8000000 is FLT_MAX plus a quarter ulp: it rounds down to FLT_MAX.
    {"IntensityFloat64JustAboveFltMax", intensity("cb 47 ef ff ff e8 00 00 00"),
     "0 Joystick 0 0 3.4028235e+38", 17},
    // 0x47effffff0000000 is FLT_MAX plus half an ulp: the tie rounds to infinity.
    {"IntensityFloat64HalfUlpAboveFltMax", intensity("cb 47 ef ff ff f0 00 00 00"),
     "0 Joystick 0 0 inf", 17},
    {"IntensityFloat32Infinity", intensity("ca ff 80 00 00"), "0 Joystick 0 0 -inf", 13},
};

INSTANTIATE_TEST_SUITE_P(Frame, DecodesTest, testing::ValuesIn(kDecodeCases),
                         [](const auto& info) { return info.param.name; });

TEST(FrameTest, Float64NanKeepsItsSign) {
  for (const char* hex : {"cb 7f f8 00 00 00 00 00 00", "cb ff f8 00 00 00 00 00 01"}) {
    const std::string input = bytes(intensity(hex));
    auto parsed = Frame::parse(input.data(), input.size());
    ASSERT_TRUE(parsed.ok()) << parsed.error().message;
    const float v = std::get<widget::Joystick>(parsed.value().frame.data.value).intensity;
    EXPECT_TRUE(std::isnan(v));
    EXPECT_EQ(std::signbit(v), hex[3] == 'f') << hex;
  }
}

// A frame must not depend on what follows it: every proper prefix is incomplete, and the
// whole frame decodes alike with anything after it.
TEST(FrameTest, EveryProperPrefixIsIncomplete) {
  for (const std::string& hex : {kToggle, kJoystick, kClick, kDirectionalMap, kToggleBodyMap}) {
    const std::string input = bytes(hex);
    for (std::size_t n = 0; n < input.size(); ++n) {
      auto parsed = Frame::parse(input.data(), n);
      ASSERT_FALSE(parsed.ok()) << hex << " cut at " << n;
      EXPECT_TRUE(parsed.error().incomplete)
          << hex << " cut at " << n << ": " << parsed.error().message;
    }
    const std::string longer = input + bytes("c1 92 dc ff");
    auto parsed = Frame::parse(longer.data(), longer.size());
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(parsed.value().used, input.size());
  }
}

// ---------------------------------------------------------------------------------------
// Failures: every message, in input order.

struct RejectCase {
  std::string name;
  std::string hex;
  std::string message;
};

void PrintTo(const RejectCase& c, std::ostream* os) { *os << c.name; }

class RejectsTest : public testing::TestWithParam<RejectCase> {};

TEST_P(RejectsTest, GivesMessage) {
  const RejectCase& c = GetParam();
  const std::string input = bytes(c.hex);
  auto parsed = Frame::parse(input.data(), input.size());
  ASSERT_FALSE(parsed.ok()) << "decoded: " << render(parsed.value().frame);
  EXPECT_EQ(parsed.error().message, c.message);
  // Only the end of the input leaves the frame open to more bytes.
  const bool end_of_input = c.message.starts_with("IO error while reading ");
  EXPECT_EQ(parsed.error().incomplete, end_of_input);
}

constexpr const char* kMarkerEnd = "IO error while reading marker: failed to fill whole buffer";
constexpr const char* kDataEnd = "IO error while reading data: failed to fill whole buffer";
constexpr const char* kContentEnd = "IO error while reading data: unexpected end of file";
const std::string kAllKinds =
    ", expected one of `ClickButton`, `ToggleButton`, `ConfirmButton`, `PressButton`, "
    "`DirectionalButton`, `Joystick`";

const std::vector<RejectCase> kRejectCases = {
    // End of input.
    {"EmptyInput", "", kMarkerEnd},
    {"CutAfterFirstByte", "92", kMarkerEnd},
    {"MapKeyWithoutValue", "81" + s("id"), kMarkerEnd},
    {"CutInsideUint16", "92 cd 01", kDataEnd},
    {"CutInsideFloat32", intensity("ca 3f 00"), kDataEnd},
    {"CutInsideStr8Length", "92 01 81 d9", kDataEnd},
    {"CutInsideArray16Length", "dc 00", kDataEnd},
    {"CutInsideMap16Length", "92 01 de 00", kDataEnd},
    {"CutBeforeSkippedExtType", "83" + s("x") + "d4", kDataEnd},
    {"CutInsideSkippedExt8Length", "83" + s("x") + "c7", kDataEnd},
    {"KindNameCutShort", "92 01 81 ac 54 6f 67", kContentEnd},
    {"BinaryContentCut", "92 01 81 04 c4 05 01", kContentEnd},
    {"Str32AnnouncingFourGigabytes", "92 01 81 db ff ff ff ff 41 42 43", kContentEnd},
    {"SkippedStringCut", "81" + s("zz") + "a5 61", kContentEnd},
    {"SkippedExtPayloadCut", "81" + s("zz") + "d8 01 00 00", kContentEnd},
    // Frame forms.
    {"FrameNil", "c0", "invalid type: unit value, expected struct Frame"},
    {"FrameFalse", "c2", "invalid type: boolean `false`, expected struct Frame"},
    {"FrameTrue", "c3", "invalid type: boolean `true`, expected struct Frame"},
    {"FrameInteger", "cd 01 2c", "invalid type: integer `300`, expected struct Frame"},
    {"FrameNegativeInteger", "d1 ff 38", "invalid type: integer `-200`, expected struct Frame"},
    {"FrameFloat32", "ca 3d cc cc cd",
     "invalid type: floating point `0.10000000149011612`, expected struct Frame"},
    {"FrameString", s("abc"), "invalid type: string \"abc\", expected struct Frame"},
    {"FrameStringEscaped", "ab 22 5c 0a 0d 09 00 01 7f 1f c3 a9",
     R"(invalid type: string "\"\\\n\r\t\0\u{1}\u{7f}\u{1f}é", expected struct Frame)"},
    {"FrameStringNonPrintableUnicode", "a7 c2 a0 e2 80 8b c2 85",
     R"(invalid type: string "\u{a0}\u{200b}\u{85}", expected struct Frame)"},
    {"FrameFixExt", "d4 01 00", "invalid type: newtype struct, expected struct Frame"},
    {"FrameExt16Cut", "c8 00", kDataEnd},
    {"FrameReserved", "c1", "wrong msgpack marker Reserved"},
    {"FrameEmptyArray", "90", "invalid length 0, expected struct Frame with 2 elements"},
    {"FrameArrayOfOne", "91 01", "invalid length 1, expected struct Frame with 2 elements"},
    {"FrameArrayOfOneBadIdFirst", "91 c0", "invalid type: unit value, expected u8"},
    {"FrameArrayOfThree", "93 01 81 00 90 c1", "array had incorrect length, expected 2"},
    {"FrameArrayOfThreeBadSecond", "93 01 c0 00",
     "invalid type: unit value, expected variant identifier"},
    {"FrameEmptyBinary", "c4 00", "invalid length 0, expected struct Frame with 2 elements"},
    {"FrameBinaryOfOne", "c4 01 07", "invalid length 1, expected struct Frame with 2 elements"},
    {"FrameBinaryOfTwo", "c4 02 07 03", "invalid type: integer `3`, expected enum WidgetRegistry"},
    {"FrameMapMissingData", "81" + s("id") + "01", "missing field `data`"},
    {"FrameMapMissingBothIdFirst", "80", "missing field `id`"},
    {"FrameMapNearMissKeysSkipped", "83" + s("iD") + "01" + s("datA") + "c0" + s("id") + "01",
     "missing field `data`"},
    {"FrameMapDuplicateId", "83" + s("id") + "01" + s("id") + "c1", "duplicate field `id`"},
    {"FrameMapDuplicateByPosition", "83" + s("data") + "81 00 90 01 81 00 90",
     "duplicate field `data`"},
    {"FrameMapSignedKey", "81 ff 01", "invalid type: integer `-1`, expected field identifier"},
    {"FrameMapInt8PositiveKey", "81 d0 00 01",
     "invalid type: integer `0`, expected field identifier"},
    {"FrameMapNilKey", "81 c0 01", "invalid type: unit value, expected field identifier"},
    {"FrameMapBoolKey", "81 c3 01", "invalid type: boolean `true`, expected field identifier"},
    {"FrameMapFloat64Key", "81 cb 40 00 00 00 00 00 00 00 01",
     "invalid type: floating point `2.0`, expected field identifier"},
    {"FrameMapArrayKey", "81 90 01", "invalid type: sequence, expected field identifier"},
    {"FrameMapMapKey", "81 80 01", "invalid type: map, expected field identifier"},
    {"FrameMapExtKey", "81 c7 00 05 01", "invalid type: newtype struct, expected field identifier"},
    {"FrameMapReservedKey", "81 c1 01", "wrong msgpack marker Reserved"},
    {"SkippedValueReserved", "82" + s("zz") + "92 01 c1", "wrong msgpack marker Reserved"},
    // id.
    {"Id256AsUint16", "92 cd 01 00", "invalid value: integer `256`, expected u8"},
    {"IdMinusOne", "92 ff", "invalid value: integer `-1`, expected u8"},
    {"IdUint64Max", "92 cf ff ff ff ff ff ff ff ff",
     "invalid value: integer `18446744073709551615`, expected u8"},
    {"IdInt64Min", "92 d3 80 00 00 00 00 00 00 00",
     "invalid value: integer `-9223372036854775808`, expected u8"},
    {"IdFloat64One", "92 cb 3f f0 00 00 00 00 00 00",
     "invalid type: floating point `1.0`, expected u8"},
    {"IdNil", "92 c0", "invalid type: unit value, expected u8"},
    {"IdBoolean", "92 c2", "invalid type: boolean `false`, expected u8"},
    {"IdOneCharString", "92 a1 31", "wrong msgpack marker FixStr(1)"},
    // Kind map and kind identifier.
    {"KindMapTwoEntries", "92 01 82 00 90 01 91 c3", "array had incorrect length, expected 2"},
    {"KindMapEmpty", "92 01 80", "array had incorrect length, expected 0"},
    {"KindMap32Huge", "92 01 df ff ff ff ff", "array had incorrect length, expected 4294967295"},
    {"BareKindName", "92 01" + s("Joystick"),
     "invalid type: unit variant, expected struct variant"},
    {"BareKindIndex", "92 01 00", "invalid type: unit variant, expected struct variant"},
    {"BareKindBinary", "92 01 c4 0b" + hex_of("ClickButton"),
     "invalid type: unit variant, expected struct variant"},
    {"BareUnknownName", "92 01" + s("Slider"), "unknown variant `Slider`" + kAllKinds},
    {"BareNil", "92 01 c0", "invalid type: unit value, expected variant identifier"},
    {"BareArray", "92 01 90", "invalid type: sequence, expected variant identifier"},
    {"BareReserved", "92 01 c1", "wrong msgpack marker Reserved"},
    {"KindNameWrongCase", "92 01 81" + s("joystick") + "90",
     "unknown variant `joystick`" + kAllKinds},
    {"KindNameBinaryInvalidUtf8", "92 01 81 c4 03 61 ff 62 90",
     "unknown variant `a\xef\xbf\xbd"
     "b`" +
         kAllKinds},
    {"KindNameBinaryCutSequence", "92 01 81 c4 03 61 e2 82 90",
     "unknown variant `a\xef\xbf\xbd`" + kAllKinds},
    {"KindNameLongerThanScratchInline", "92 01 81 d9 c8" + hex_of(std::string(200, 'Q')) + "90",
     "unknown variant `" + std::string(200, 'Q') + "`" + kAllKinds},
    {"KindNameLastByteDiffers", "92 01 81" + s("ToggleButtoN") + "90",
     "unknown variant `ToggleButtoN`" + kAllKinds},
    {"KindNameLongLastByteDiffers", "92 01 81" + s("DirectionalButtoN") + "90",
     "unknown variant `DirectionalButtoN`" + kAllKinds},
    {"KindNamePrefix", "92 01 81" + s("Joystic") + "90", "unknown variant `Joystic`" + kAllKinds},
    {"KindNameLonger", "92 01 81" + s("Joysticks") + "90",
     "unknown variant `Joysticks`" + kAllKinds},
    {"KindIndexSix", "92 01 81 06 90",
     "invalid value: integer `6`, expected variant index 0 <= i < 6"},
    {"KindIndexUint32", "92 01 81 ce 00 01 00 00 90",
     "invalid value: integer `65536`, expected variant index 0 <= i < 6"},
    {"KindIndexInt8", "92 01 81 d0 01 90",
     "invalid type: integer `1`, expected variant identifier"},
    {"KindIndexNegative", "92 01 81 e0 90",
     "invalid type: integer `-32`, expected variant identifier"},
    {"KindKeyFloat32", "92 01 81 ca 00 00 00 00 90",
     "invalid type: floating point `0.0`, expected variant identifier"},
    {"KindKeyMap", "92 01 81 80 90", "invalid type: map, expected variant identifier"},
    {"KindKeyExt", "92 01 81 d5 01 00 00 90",
     "invalid type: newtype struct, expected variant identifier"},
    // Invalid UTF-8 in a string kind name or in a string where a record is due.
    {"KindNameInvalidByte", "92 01 81 a3 61 ff 62 90",
     "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 1"},
    {"KindNameLoneContinuation", "92 01 81 a2 80 61 90",
     "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
    {"KindNameOverlong", "92 01 81 a2 c0 80 90",
     "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
    {"KindNameSurrogate", "92 01 81 a4 61 ed a0 80 90",
     "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 1"},
    {"KindNameTwoByteError", "92 01 81 a5 61 62 e2 82 41 90",
     "string found to be invalid utf8: invalid utf-8 sequence of 2 bytes from index 2"},
    {"KindNameThreeByteError", "92 01 81 a4 f0 90 80 41 90",
     "string found to be invalid utf8: invalid utf-8 sequence of 3 bytes from index 0"},
    {"KindNameAboveMaxCodePoint", "92 01 81 a4 f4 90 80 80 90",
     "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
    {"KindNameIncompleteSequence", "92 01 81 a3 61 f0 9f 90",
     "string found to be invalid utf8: incomplete utf-8 byte sequence from index 1"},
    {"FrameInvalidUtf8String", "a2 61 e2",
     "string found to be invalid utf8: incomplete utf-8 byte sequence from index 1"},
    // Bodies.
    {"ClickBodyNil", "92 01 81 00 c0",
     "invalid type: unit value, expected struct variant WidgetRegistry::ClickButton"},
    {"ClickBodyNotEmpty", "92 01 81 00 91 c1", "array had incorrect length, expected 0"},
    {"ClickBodyMapSignedKey", "92 01 81 00 81 ff 00",
     "invalid type: integer `-1`, expected field identifier"},
    {"ConfirmBodyString", "92 01 81 02" + s("x"),
     "invalid type: string \"x\", expected struct variant WidgetRegistry::ConfirmButton"},
    {"ToggleBodyNil", "92 01 81 01 c0",
     "invalid type: unit value, expected struct variant WidgetRegistry::ToggleButton"},
    {"ToggleBodyEmpty", "92 01 81 01 90",
     "invalid length 0, expected struct variant WidgetRegistry::ToggleButton with 1 element"},
    {"ToggleBodyTooLong", "92 01 81 01 92 c3 c3", "array had incorrect length, expected 1"},
    {"ToggleBodyBinary", "92 01 81 01 c4 01 01", "invalid type: integer `1`, expected a boolean"},
    {"ToggleBodyMapMissingValue", "92 01 81 01 80", "missing field `value`"},
    {"ToggleValueInteger", "92 01 81 01 91 01", "invalid type: integer `1`, expected a boolean"},
    {"ToggleValueNil", "92 01 81 01 91 c0", "invalid type: unit value, expected a boolean"},
    {"ToggleValueFloat", "92 01 81 01 91 ca 3f 00 00 00",
     "invalid type: floating point `0.5`, expected a boolean"},
    {"ToggleValueString", "92 01 81 01 91 a0", "wrong msgpack marker FixStr(0)"},
    {"PressBodyNil", "92 01 81 03 c0",
     "invalid type: unit value, expected struct variant WidgetRegistry::PressButton"},
    {"PressBodyEmpty", "92 01 81 03 90",
     "invalid length 0, expected struct variant WidgetRegistry::PressButton with 1 element"},
    {"PressBodyMapDuplicate", "92 01 81 03 82" + s("pressed") + "c3 00 c2",
     "duplicate field `pressed`"},
    {"DirectionalBodyNil", "92 01 81 04 c0",
     "invalid type: unit value, expected struct variant WidgetRegistry::DirectionalButton"},
    {"DirectionalBodyEmptyBinary", "92 01 81 04 c4 00",
     "invalid length 0, expected struct variant WidgetRegistry::DirectionalButton with 1 element"},
    {"Direction300", "92 01 81 04 91 cd 01 2c", "invalid value: integer `300`, expected u8"},
    {"JoystickBodyNil", "92 01 81 05 c0",
     "invalid type: unit value, expected struct variant WidgetRegistry::Joystick"},
    {"JoystickBodyOneElement", "92 01 81 05 91 92 00 00",
     "invalid length 1, expected struct variant WidgetRegistry::Joystick with 2 elements"},
    {"JoystickBodyBinary", "92 01 81 05 c4 02 09 09",
     "invalid type: integer `9`, expected struct Coord"},
    {"JoystickBodyThreeElements", "92 01 81 05 93 92 00 00 00 c1",
     "array had incorrect length, expected 2"},
    {"JoystickBodyMapMissingDelta", "92 01 81 05 81" + s("intensity") + "00",
     "missing field `delta`"},
    {"CoordNil", "92 01 81 05 92 c0 00", "invalid type: unit value, expected struct Coord"},
    {"CoordOneElement", "92 01 81 05 92 91 00 00",
     "invalid length 1, expected struct Coord with 2 elements"},
    {"CoordBinaryOfOne", "92 01 81 05 92 c4 01 05 00",
     "invalid length 1, expected struct Coord with 2 elements"},
    {"CoordMapMissingY", "92 01 81 05 92 81" + s("x") + "00 00", "missing field `y`"},
    {"CoordMapDuplicateX", "92 01 81 05 92 82" + s("x") + "00 00 00", "duplicate field `x`"},
    {"IntensityNil", intensity("c0"), "invalid type: unit value, expected f32"},
    {"IntensityBoolean", intensity("c3"), "invalid type: boolean `true`, expected f32"},
    {"IntensityString", intensity("a2 31 32"), "wrong msgpack marker FixStr(2)"},
};

INSTANTIATE_TEST_SUITE_P(Frame, RejectsTest, testing::ValuesIn(kRejectCases),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------
// Floats in messages: shortest plain decimal of the 64-bit value.

class FloatTextTest : public testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(FloatTextTest, IdFloatShownAsPlainDecimal) {
  const auto [value_hex, text] = GetParam();
  const std::string input = bytes("92 " + value_hex);
  auto parsed = Frame::parse(input.data(), input.size());
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error().message,
            std::string("invalid type: floating point `") + text + "`, expected u8");
}

const std::vector<std::tuple<std::string, std::string>> kFloatTexts = {
    {"cb 3f b9 99 99 99 99 99 9a", "0.1"},
    {"cb 80 00 00 00 00 00 00 00", "-0.0"},
    {"cb c0 5e dd 2f 1a 9f be 77", "-123.456"},
    {"cb 44 b5 2d 02 c7 e1 4a f6", "100000000000000000000000.0"},
    {"cb 3e 7a d7 f2 9a bc af 48", "0.0000001"},
    {"cb 00 00 00 00 00 00 00 01", "0." + std::string(323, '0') + "5"},
    {"ca 3d cc cc cd", "0.10000000149011612"},
    {"ca 7f 80 00 00", "inf"},
    {"cb ff f0 00 00 00 00 00 00", "-inf"},
    {"cb ff f8 00 00 00 00 00 00", "NaN"},
    {"ca 7f c0 00 00", "NaN"},
};

INSTANTIATE_TEST_SUITE_P(Frame, FloatTextTest, testing::ValuesIn(kFloatTexts));

// ---------------------------------------------------------------------------------------
// Wrong markers: every format a scalar cannot take, with its name.

class WrongMarkerTest : public testing::TestWithParam<std::tuple<const char*, const char*>> {};

TEST_P(WrongMarkerTest, ScalarsNameTheMarker) {
  const auto [marker, name] = GetParam();
  const std::string expected = std::string("wrong msgpack marker ") + name;
  // The marker alone decides: nothing after it is read.
  for (const std::string& prefix :
       {std::string("92"), std::string("92 01 81 01 91"), std::string("92 00 81 05 92 92 00 00")}) {
    const std::string input = bytes(prefix + " " + marker);
    auto parsed = Frame::parse(input.data(), input.size());
    ASSERT_FALSE(parsed.ok()) << prefix;
    EXPECT_EQ(parsed.error().message, expected) << prefix;
    EXPECT_FALSE(parsed.error().incomplete);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Frame, WrongMarkerTest,
    testing::Values(std::make_tuple("83", "FixMap(3)"), std::make_tuple("8f", "FixMap(15)"),
                    std::make_tuple("90", "FixArray(0)"), std::make_tuple("9f", "FixArray(15)"),
                    std::make_tuple("a3", "FixStr(3)"), std::make_tuple("bf", "FixStr(31)"),
                    std::make_tuple("d9", "Str8"), std::make_tuple("da", "Str16"),
                    std::make_tuple("db", "Str32"), std::make_tuple("c4", "Bin8"),
                    std::make_tuple("c5", "Bin16"), std::make_tuple("c6", "Bin32"),
                    std::make_tuple("dc", "Array16"), std::make_tuple("dd", "Array32"),
                    std::make_tuple("de", "Map16"), std::make_tuple("df", "Map32"),
                    std::make_tuple("d4", "FixExt1"), std::make_tuple("d5", "FixExt2"),
                    std::make_tuple("d6", "FixExt4"), std::make_tuple("d7", "FixExt8"),
                    std::make_tuple("d8", "FixExt16"), std::make_tuple("c7", "Ext8"),
                    std::make_tuple("c8", "Ext16"), std::make_tuple("c9", "Ext32"),
                    std::make_tuple("c1", "Reserved")));

// The formats that no message of the decoder reaches, named the same way.
class MarkerNameTest : public testing::TestWithParam<std::tuple<uint8_t, const char*>> {};

TEST_P(MarkerNameTest, Names) {
  const auto [marker, name] = GetParam();
  EXPECT_EQ(mp::marker_name(marker), name);
}

INSTANTIATE_TEST_SUITE_P(
    Frame, MarkerNameTest,
    testing::Values(std::make_tuple(0x00, "FixPos(0)"), std::make_tuple(0x7f, "FixPos(127)"),
                    std::make_tuple(0xe0, "FixNeg(-32)"), std::make_tuple(0xff, "FixNeg(-1)"),
                    std::make_tuple(0x80, "FixMap(0)"), std::make_tuple(0x90, "FixArray(0)"),
                    std::make_tuple(0xa0, "FixStr(0)"), std::make_tuple(0xc0, "Null"),
                    std::make_tuple(0xc2, "False"), std::make_tuple(0xc3, "True"),
                    std::make_tuple(0xcc, "U8"), std::make_tuple(0xcd, "U16"),
                    std::make_tuple(0xce, "U32"), std::make_tuple(0xcf, "U64"),
                    std::make_tuple(0xd0, "I8"), std::make_tuple(0xd1, "I16"),
                    std::make_tuple(0xd2, "I32"), std::make_tuple(0xd3, "I64"),
                    std::make_tuple(0xca, "F32"), std::make_tuple(0xcb, "F64")));

// ---------------------------------------------------------------------------------------
// Depth budget: 1023 nested levels fit, the 1024th fails; the kind map and binaries do
// not count, and a finished container gives its level back.

// `levels` nested arrays as hex, the innermost empty.
std::string nested_arrays(std::size_t levels) {
  std::string out;
  for (std::size_t i = 1; i < levels; ++i) out += "91";
  return out + "90";
}

std::string decode_message(const std::string& hex) {
  const std::string input = bytes(hex);
  auto parsed = Frame::parse(input.data(), input.size());
  return parsed.ok() ? "ok" : parsed.error().message;
}

TEST(FrameDepthTest, FrameMapPlusSkippedArrays) {
  // The frame map is level 1.
  auto frame = [](std::size_t levels) {
    return "83" + s("x") + nested_arrays(levels) + s("id") + "01" + s("data") + "81 00 90";
  };
  EXPECT_EQ(decode_message(frame(1022)), "ok");
  EXPECT_EQ(decode_message(frame(1023)), "depth limit exceeded");
}

TEST(FrameDepthTest, KindMapTakesNoLevel) {
  // Frame array (1) and ClickButton body map (2); the kind map between them is free.
  auto frame = [](std::size_t levels) { return "92 01 81 00 81" + s("x") + nested_arrays(levels); };
  EXPECT_EQ(decode_message(frame(1021)), "ok");
  EXPECT_EQ(decode_message(frame(1022)), "depth limit exceeded");
}

TEST(FrameDepthTest, LevelsComeBackAfterEachContainer) {
  const std::string deep = nested_arrays(1022);
  EXPECT_EQ(decode_message("84" + s("x") + deep + s("y") + deep + s("id") + "01" + s("data") +
                           "81 00 90"),
            "ok");
}

TEST(FrameDepthTest, MapsAndExtensionsCount) {
  // Frame map, `maps` nested maps, then an extension value innermost.
  auto frame = [](int maps) {
    std::string nested;
    for (int i = 0; i < maps; ++i) nested += "81 00";
    return "83" + s("x") + nested + "d4 00 00" + s("id") + "01" + s("data") + "81 00 90";
  };
  EXPECT_EQ(decode_message(frame(1021)), "ok");
  EXPECT_EQ(decode_message(frame(1022)), "depth limit exceeded");
}

// ---------------------------------------------------------------------------------------
// The scratch buffer: contents compare exactly, whatever their length, and it grows only
// with bytes that are present.

TEST(ScratchTest, EqualsExactlyTheBytesAssigned) {
  mp::Scratch scratch;
  const std::string text = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!?";
  for (std::size_t n = 0; n <= text.size(); ++n) {
    const std::string_view content(text.data(), n);
    EXPECT_EQ(scratch.assign(content.data(), n), content);
    EXPECT_TRUE(scratch.equals(content)) << n;
    if (n > 0) {
      std::string other(content);
      other.back() ^= 0x20;
      EXPECT_FALSE(scratch.equals(other)) << n;
      other = std::string(content);
      other.front() ^= 0x20;
      EXPECT_FALSE(scratch.equals(other)) << n;
      EXPECT_FALSE(scratch.equals(content.substr(0, n - 1))) << n;
    }
    EXPECT_FALSE(scratch.equals(std::string(content) + '\0')) << n;
  }
}

TEST(ScratchTest, GrowsOnlyWithPresentBytes) {
  mp::Scratch scratch;
  EXPECT_EQ(scratch.capacity(), 128u);
  const std::string inline_max(128, 'a');
  scratch.assign(inline_max.data(), inline_max.size());
  EXPECT_EQ(scratch.capacity(), 128u);
  const std::string longer(300, 'b');
  EXPECT_EQ(scratch.assign(longer.data(), longer.size()), longer);
  EXPECT_GE(scratch.capacity(), 300u);
  EXPECT_LT(scratch.capacity(), 1024u);
}

// ---------------------------------------------------------------------------------------

TEST(FrameIdentityTest, KindNameUnderscoreId) {
  Frame frame;
  frame.id = 3;
  frame.data.value = widget::Joystick{};
  EXPECT_EQ(frame.identity(), "Joystick_3");
  frame.id = 255;
  frame.data.value = widget::DirectionalButton{9};
  EXPECT_EQ(frame.identity(), "DirectionalButton_255");
  frame.id = 0;
  frame.data.value = widget::ClickButton{};
  EXPECT_EQ(frame.identity(), "ClickButton_0");
  EXPECT_EQ(frame.identity(), action_identity(frame.id, frame.data.name()));
}

}  // namespace
}  // namespace velto::base
