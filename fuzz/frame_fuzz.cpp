// libFuzzer target for Frame::parse: every input ends in a frame or a known message.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "base/frame.h"

namespace {

using velto::base::Frame;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "frame_fuzz: %s%s%.*s\n", what, detail.empty() ? "" : ": ",
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

#define FUZZ_CHECK(cond, ...)                                 \
  do {                                                        \
    if (!(cond)) fail("check failed: " #cond, ##__VA_ARGS__); \
  } while (0)

constexpr std::string_view kEndMessages[] = {
    "IO error while reading marker: failed to fill whole buffer",
    "IO error while reading data: failed to fill whole buffer",
    "IO error while reading data: unexpected end of file",
};

constexpr std::string_view kPrefixes[] = {
    "wrong msgpack marker ",
    "array had incorrect length, expected ",
    "string found to be invalid utf8: ",
    "invalid type: ",
    "invalid value: ",
    "invalid length ",
    "missing field `",
    "duplicate field `",
    "unknown variant `",
};

bool is_end_message(std::string_view m) {
  for (auto e : kEndMessages) {
    if (m == e) return true;
  }
  return false;
}

bool is_known_message(std::string_view m) {
  if (is_end_message(m) || m == "depth limit exceeded") return true;
  for (auto p : kPrefixes) {
    if (m.starts_with(p)) return true;
  }
  return false;
}

// The frame's fields, floats bit for bit, as bytes to compare.
std::string fingerprint(const Frame& frame) {
  std::string out(1, static_cast<char>(frame.id));
  out.push_back(static_cast<char>(frame.data.value.index()));
  std::visit(
      [&](const auto& kind) {
        using Kind = std::decay_t<decltype(kind)>;
        if constexpr (!std::is_empty_v<Kind>) {
          out.append(reinterpret_cast<const char*>(&kind), sizeof kind);
        }
      },
      frame.data.value);
  return out;
}

// Decodes a copy in an exactly sized heap buffer, so that any read past the end is caught.
auto parse_copy(const uint8_t* data, std::size_t size) {
  std::unique_ptr<char[]> copy(new char[size]);
  if (size != 0) std::memcpy(copy.get(), data, size);
  return Frame::parse(copy.get(), size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  auto parsed = parse_copy(data, size);
  if (parsed.ok()) {
    const std::size_t used = parsed.value().used;
    FUZZ_CHECK(used > 0 && used <= size);
    // The frame depends on its own bytes only, and needs every one of them.
    auto alone = parse_copy(data, used);
    FUZZ_CHECK(alone.ok());
    FUZZ_CHECK(alone.value().used == used);
    FUZZ_CHECK(fingerprint(alone.value().frame) == fingerprint(parsed.value().frame));
    auto shorter = parse_copy(data, used - 1);
    FUZZ_CHECK(!shorter.ok());
    FUZZ_CHECK(shorter.error().incomplete, shorter.error().message);
    return 0;
  }
  const auto& error = parsed.error();
  FUZZ_CHECK(is_known_message(error.message), error.message);
  FUZZ_CHECK(error.incomplete == is_end_message(error.message), error.message);
  if (!error.incomplete) {
    // A final error stays the same whatever follows.
    std::string longer(reinterpret_cast<const char*>(data), size);
    longer.push_back('\xc1');
    auto again = parse_copy(reinterpret_cast<const uint8_t*>(longer.data()), longer.size());
    FUZZ_CHECK(!again.ok() && again.error().message == error.message, error.message);
  }
  return 0;
}
