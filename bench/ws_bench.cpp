// The WebSocket frame reader's throughput in wire bytes: the small masked binary messages a
// controller sends, fed as the serving loop reads them, then long messages and text.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "server/ws/frame_reader.h"
#include "server/ws/frame_writer.h"

namespace {

using velto::server::ws::FrameReader;

// A masked client frame of `b0` around `payload` (any length).
std::string client_frame(unsigned char b0, const std::string& payload) {
  static constexpr unsigned char kMask[4] = {0x37, 0xfa, 0x21, 0x3d};
  std::string out(1, static_cast<char>(b0));
  const std::uint64_t n = payload.size();
  if (n <= 125) {
    out.push_back(static_cast<char>(0x80 | n));
  } else if (n <= 0xffff) {
    out += {static_cast<char>(0xfe), static_cast<char>(n >> 8), static_cast<char>(n & 0xff)};
  } else {
    out.push_back(static_cast<char>(0xff));
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>(n >> shift));
  }
  out.append(reinterpret_cast<const char*>(kMask), 4);
  for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<char>(payload[i] ^ kMask[i % 4]));
  return out;
}

// `count` copies of one frame.
std::string stream_of(const std::string& frame, std::size_t count) {
  std::string out;
  out.reserve(frame.size() * count);
  for (std::size_t i = 0; i < count; ++i) out += frame;
  return out;
}

// Feeds the stream `chunk` bytes at a time, taking every event after each piece.
void read_stream(benchmark::State& state, const std::string& stream, std::size_t chunk) {
  FrameReader reader;
  std::size_t events = 0;
  for (auto _ : state) {
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      reader.feed(stream.data() + at, std::min(chunk, stream.size() - at));
      while (auto event = reader.next()) {
        benchmark::DoNotOptimize(event);
        ++events;
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
  state.counters["events"] =
      benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}

// A joystick frame's 29 bytes in a binary message, 35 bytes on the wire; read in the serving
// loop's 1024-byte reads, and from one large buffer.
const std::string kJoystick(
    "\x92\x03\x81\xa8Joystick\x92\x92\xca\x3f\x00\x00\x00\xca\xbf\x80\x00\x00\xca\x3f\x40\x00\x00",
    29);

void BM_Reader29ByteBinaryIn1024ByteReads(benchmark::State& state) {
  read_stream(state, stream_of(client_frame(0x82, kJoystick), 2000), 1024);
}
BENCHMARK(BM_Reader29ByteBinaryIn1024ByteReads);

void BM_Reader29ByteBinaryInOneBuffer(benchmark::State& state) {
  const std::string stream = stream_of(client_frame(0x82, kJoystick), 2000);
  read_stream(state, stream, stream.size());
}
BENCHMARK(BM_Reader29ByteBinaryInOneBuffer);

// Unmasking in bulk: a 60000-byte message arriving in 1024-byte reads.
void BM_Reader60000ByteBinaryIn1024ByteReads(benchmark::State& state) {
  read_stream(state, client_frame(0x82, std::string(60000, 'm')), 1024);
}
BENCHMARK(BM_Reader60000ByteBinaryIn1024ByteReads);

// Text is checked for UTF-8 as it comes, across reads.
void BM_Reader60000ByteTextIn1024ByteReads(benchmark::State& state) {
  std::string text;
  while (text.size() < 60000) text += "h\xc3\xa9llo w\xe2\x82\xac rld ";
  read_stream(state, client_frame(0x81, text), 1024);
}
BENCHMARK(BM_Reader60000ByteTextIn1024ByteReads);

// The cost of refusing: a fresh reader per stream that breaks the protocol at its 11th frame.
void BM_ReaderViolationAfter10Frames(benchmark::State& state) {
  const std::string stream =
      stream_of(client_frame(0x82, kJoystick), 10) + client_frame(0xc2, kJoystick);
  for (auto _ : state) {
    FrameReader reader;
    reader.feed(stream.data(), stream.size());
    while (auto event = reader.next()) benchmark::DoNotOptimize(event);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_ReaderViolationAfter10Frames);

void BM_WriterBinaryFrame24Bytes(benchmark::State& state) {
  const std::string reply(24, 'r');
  for (auto _ : state) benchmark::DoNotOptimize(velto::server::ws::binary_frame(reply));
}
BENCHMARK(BM_WriterBinaryFrame24Bytes);

}  // namespace

BENCHMARK_MAIN();
