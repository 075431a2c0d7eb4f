// libFuzzer target for the WebSocket FrameReader: the events of a byte stream do not depend on
// how it was split, the reader's holdings stay bounded, and nothing follows a Close or a
// Violation.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/utf8.h"
#include "server/ws/frame_reader.h"

namespace {

using namespace velto::server::ws;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "ws_reader_fuzz: %s%s%.*s\n", what, detail.empty() ? "" : ": ",
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

#define FUZZ_CHECK(cond, ...)                                 \
  do {                                                        \
    if (!(cond)) fail("check failed: " #cond, ##__VA_ARGS__); \
  } while (0)

// An event as bytes to compare.
std::string fingerprint(const Event& event) {
  std::string out(1, static_cast<char>('0' + event.index()));
  struct {
    std::string& out;
    void operator()(const Message& m) {
      out += m.binary ? 'b' : 't';
      out += m.payload;
    }
    void operator()(const Oversized& o) { out += std::to_string(o.size); }
    void operator()(const Ping& p) { out += p.payload; }
    void operator()(const Pong&) {}
    void operator()(const Close& c) {
      out += c.code ? std::to_string(*c.code) : "-";
      out += ':' + c.reason;
    }
    void operator()(const Violation& v) { out += std::to_string(v.code) + ':' + v.why; }
  } visitor{out};
  std::visit(visitor, event);
  return out;
}

// Feeds the stream in pieces of the given sizes (the last piece takes the rest), each piece
// in an exactly sized heap buffer, taking every event after each piece.
std::vector<std::string> run(const uint8_t* data, std::size_t size,
                             const std::vector<std::size_t>& sizes) {
  FrameReader reader;
  std::vector<std::string> events;
  bool ended = false;
  std::size_t at = 0;
  for (std::size_t i = 0; at < size; ++i) {
    const std::size_t n = i < sizes.size() ? std::min(sizes[i], size - at) : size - at;
    std::unique_ptr<char[]> piece(new char[n]);
    std::memcpy(piece.get(), data + at, n);
    at += n;
    reader.feed(piece.get(), n);
    piece.reset();
    while (auto event = reader.next()) {
      FUZZ_CHECK(!ended, "an event after a Close or a Violation");
      if (const auto* m = std::get_if<Message>(&*event)) {
        FUZZ_CHECK(m->payload.size() <= kMaxMessage);
        FUZZ_CHECK(m->binary || !velto::base::utf8::check(m->payload), "text that is not UTF-8");
      } else if (const auto* o = std::get_if<Oversized>(&*event)) {
        FUZZ_CHECK(o->size > kMaxMessage);
      } else if (const auto* v = std::get_if<Violation>(&*event)) {
        FUZZ_CHECK(v->code == 1002 || v->code == 1007);
        ended = true;
      } else if (std::holds_alternative<Close>(*event)) {
        ended = true;
      }
      events.push_back(fingerprint(*event));
    }
    FUZZ_CHECK(reader.held() <= kMaxMessage + 14 + 125);
  }
  return events;
}

}  // namespace

// The first byte seeds the piece sizes of the split run; the rest is the stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  uint32_t state = data[0] | 1u;
  ++data;
  --size;
  const auto whole = run(data, size, {});
  std::vector<std::size_t> random_sizes;
  for (std::size_t total = 0; total < size;) {
    state = state * 1103515245u + 12345u;
    random_sizes.push_back(1 + (state >> 16) % 64);
    total += random_sizes.back();
  }
  FUZZ_CHECK(run(data, size, random_sizes) == whole, "events differ with random pieces");
  FUZZ_CHECK(run(data, size, std::vector<std::size_t>(size, 1)) == whole,
             "events differ a byte at a time");
  return 0;
}
