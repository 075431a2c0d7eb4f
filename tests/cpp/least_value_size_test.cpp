// io::least_value_size, the bound that decides whether a pending frame can still fit, against
// the sizes msgpuck's own decoding functions give: over every wire vector, every seed of the
// fuzz corpus and a value of each marker. For a whole value the bound is its size; for each
// of its prefixes it is more than the prefix and at most the size; a limit below the size is
// reported as exceeded, never one at or above it.
#include <gtest/gtest.h>
#include <msgpuck.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "server/io/frame_assembler.h"
#include "wire_vectors.h"

namespace velto::server::io {
namespace {

// What msgpuck's typed decoding functions make of the bytes at [p, end): a whole value of
// `size` bytes, bytes that end inside a value, or a value holding the unused marker c1.
struct Measure {
  enum Kind { Whole, Cut, Unused } kind;
  uint64_t size = 0;
};

Measure measure(const char* p, const char* end);

Measure measure_values(const char* p, const char* end, uint64_t head, uint64_t count) {
  uint64_t total = head;
  for (uint64_t i = 0; i < count; ++i) {
    const Measure one = measure(p + total, end);
    if (one.kind != Measure::Whole) return one;
    total += one.size;
  }
  return {Measure::Whole, total};
}

Measure measure(const char* const p, const char* const end) {
  constexpr Measure kCut{Measure::Cut};
  if (p >= end) return kCut;
  const char* q = p;
  const auto left = [&] { return static_cast<uint64_t>(end - q); };
  switch (mp_typeof(*p)) {
    case MP_NIL:
    case MP_BOOL:
    case MP_UINT:
    case MP_INT:
    case MP_FLOAT:
    case MP_DOUBLE:
      // Nil, a boolean or a number: its head is the whole value, and mp_check goes no further.
      if (mp_check(&q, end) != 0) return kCut;
      break;
    // Each mp_check_* is positive when the bytes end inside the head it checks.
    case MP_STR:
    case MP_BIN: {
      const bool str = mp_typeof(*p) == MP_STR;
      if ((str ? mp_check_strl(q, end) : mp_check_binl(q, end)) > 0) return kCut;
      const uint32_t len = str ? mp_decode_strl(&q) : mp_decode_binl(&q);
      if (len > left()) return kCut;
      q += len;
      break;
    }
    case MP_ARRAY:
    case MP_MAP: {
      const bool map = mp_typeof(*p) == MP_MAP;
      if ((map ? mp_check_map(q, end) : mp_check_array(q, end)) > 0) return kCut;
      const uint64_t values = map ? 2 * uint64_t{mp_decode_map(&q)} : mp_decode_array(&q);
      return measure_values(p, end, static_cast<uint64_t>(q - p), values);
    }
    case MP_EXT: {
      // This msgpuck has no extension decoder: the marker, a length field of 1, 2 or 4 bytes
      // (ext 8/16/32) or a size of 1 to 16 in the marker (fixext), the type byte, the data.
      const auto m = static_cast<uint8_t>(*p);
      if (m == 0xc1) return {Measure::Unused};
      uint64_t head = 1, data = 0;
      if (m >= 0xc7 && m <= 0xc9) {
        const unsigned width = 1u << (m - 0xc7);
        if (1 + width > left()) return kCut;
        for (unsigned i = 1; i <= width; ++i) data = data << 8 | static_cast<uint8_t>(p[i]);
        head += width;
      } else {
        data = uint64_t{1} << (m - 0xd4);
      }
      if (head + 1 + data > left()) return kCut;
      return {Measure::Whole, head + 1 + data};
    }
  }
  return {Measure::Whole, static_cast<uint64_t>(q - p)};
}

// Checks the bound on the value of `size` bytes at the start of `bytes` (more may follow).
void check_bound(const std::string& bytes, uint64_t size) {
  const char* data = bytes.data();
  EXPECT_EQ(least_value_size(data, size, kMaxFrameBytes), size) << "the value alone";
  EXPECT_EQ(least_value_size(data, bytes.size(), kMaxFrameBytes), size) << "with what follows";
  for (uint64_t limit : {uint64_t{0}, size / 2, size - 1, size, uint64_t{kMaxFrameBytes}}) {
    const uint64_t bound = least_value_size(data, size, limit);
    EXPECT_EQ(bound > limit, size > limit) << "limit " << limit << ", bound " << bound;
    EXPECT_LE(bound, size) << "limit " << limit;
  }
  for (uint64_t cut = 0; cut < size; ++cut) {
    const uint64_t bound = least_value_size(data, cut, kMaxFrameBytes);
    EXPECT_GT(bound, cut) << "prefix of " << cut << " bytes";
    EXPECT_LE(bound, size) << "prefix of " << cut << " bytes";
    if (::testing::Test::HasFailure()) return;  // one prefix that fails says enough
  }
}

// Checks every whole value that follows the one before it from the start of `bytes`, and the
// bytes after the last one when they end inside a value; returns how many values there were.
int check_each_value(const std::string& bytes) {
  int values = 0;
  for (std::size_t at = 0; at < bytes.size() && !::testing::Test::HasFailure();) {
    const Measure value = measure(bytes.data() + at, bytes.data() + bytes.size());
    const std::size_t rest = bytes.size() - at;
    if (value.kind == Measure::Cut) {
      // They are all part of the value, which needs more.
      EXPECT_GT(least_value_size(bytes.data() + at, rest, kMaxFrameBytes), rest)
          << "the last " << rest << " bytes, which end inside a value";
    }
    if (value.kind != Measure::Whole) break;
    SCOPED_TRACE("value at byte " + std::to_string(at) + " of " + std::to_string(value.size) +
                 " bytes");
    check_bound(bytes.substr(at), value.size);
    ++values;
    at += value.size;
  }
  return values;
}

TEST(LeastValueSizeTest, WireVectorsAreEachOneValueOfTheirSize) {
  const auto vectors = wire_vectors::load();
  ASSERT_FALSE(vectors.empty());
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.kind + " " + v.name);
    EXPECT_EQ(check_each_value(v.bytes), 1);
  }
}

TEST(LeastValueSizeTest, FuzzCorpusValues) {
  int files = 0, values = 0;
  for (const auto& entry : std::filesystem::directory_iterator(VELTO_FUZZ_CORPUS_DIR)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    SCOPED_TRACE(entry.path().filename().string());
    values += check_each_value(bytes);
    ++files;
    if (HasFailure()) return;
  }
  // The corpus was found and holds values to check.
  EXPECT_GT(files, 0);
  EXPECT_GT(values, 0);
}

// A whole value of each form: the fix forms and every width of number and length field.
const char* const kEveryForm[] = {
    "00",
    "7f",
    "e0",
    "ff",
    "c0",
    "c2",
    "c3",
    "80",
    "82 01 02 a1 61 90",
    "90",
    "93 01 c0 92 02 03",
    "a0",
    "a3 61 62 63",
    "bf 61 62 63 64 65 66 67 68 69 6a 6b 6c 6d 6e 6f 70 71 72 73 74 75 "
    "76 77 78 79 7a 41 42 43 44 45",
    "c4 02 aa bb",
    "c5 00 02 aa bb",
    "c6 00 00 00 02 aa bb",
    "c7 02 05 aa bb",
    "c8 00 02 05 aa bb",
    "c9 00 00 00 02 05 aa bb",
    "c7 00 05",
    "ca 3f 80 00 00",
    "cb 3f f0 00 00 00 00 00 00",
    "cc 80",
    "cd 01 00",
    "ce 00 01 00 00",
    "cf 00 00 00 01 00 00 00 00",
    "d0 80",
    "d1 80 00",
    "d2 80 00 00 00",
    "d3 80 00 00 00 00 00 00 00",
    "d4 05 aa",
    "d5 05 aa bb",
    "d6 05 aa bb cc dd",
    "d7 05 01 02 03 04 05 06 07 08",
    "d8 05 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10",
    "d9 02 61 62",
    "da 00 02 61 62",
    "db 00 00 00 02 61 62",
    "dc 00 02 01 02",
    "dd 00 00 00 02 01 02",
    "de 00 01 01 02",
    "df 00 00 00 01 a1 6b c4 01 00",
    // Nested: a frame-like record holding forms the frames never use.
    "92 cd 01 00 81 d9 03 6b 65 79 dc 00 03 d4 01 00 de 00 01 c0 c7 01 02 03 cb 00 00 00 00 00 00 "
    "00 00",
};

TEST(LeastValueSizeTest, ValueOfEveryMarkerForm) {
  std::vector<bool> seen(256, false);
  for (const char* hex : kEveryForm) {
    const std::string bytes = wire_vectors::from_hex(hex);
    SCOPED_TRACE(hex);
    const Measure value = measure(bytes.data(), bytes.data() + bytes.size());
    ASSERT_EQ(value.kind, Measure::Whole);
    ASSERT_EQ(value.size, bytes.size());
    check_bound(bytes, bytes.size());
    seen[static_cast<uint8_t>(bytes[0])] = true;
  }
  // Every marker with a head past the marker byte begins a value of its own.
  for (unsigned m = 0xc4; m <= 0xdf; ++m) EXPECT_TRUE(seen[m]) << std::hex << m;
}

}  // namespace
}  // namespace velto::server::io
