// Frame decoding and reply encoding, next to a bare msgpuck walk and msgpack-c doing the same.
#include <benchmark/benchmark.h>
#include <msgpack.h>
#include <msgpuck.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "base/frame.h"

// Every allocation through operator new is counted (a plain counter: the benchmarks run on
// one thread), so that a benchmark can report how many one operation makes. msgpack-c
// allocates with malloc and is not counted.
namespace {
std::size_t g_allocations = 0;
}  // namespace

void* operator new(std::size_t n) {
  ++g_allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using velto::base::Frame;
using velto::base::ResultFrame;
using velto::base::ServerStatus;

std::string from_hex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    i += 2;
  }
  return out;
}

struct Input {
  const char* name;
  std::string bytes;
};

const std::vector<Input>& frames() {
  static const std::vector<Input> kFrames = {
      {"ToggleButton", from_hex("92 01 81 ac 54 6f 67 67 6c 65 42 75 74 74 6f 6e 91 c3")},
      {"Joystick", from_hex("92 03 81 a8 4a 6f 79 73 74 69 63 6b 92 92 ca 3f 00 00 00 ca bf 80 "
                            "00 00 ca 3f 40 00 00")},
      {"ClickButton", from_hex("92 00 81 ab 43 6c 69 63 6b 42 75 74 74 6f 6e 90")},
      {"DirectionalMap", from_hex("82 a2 69 64 07 a4 64 61 74 61 81 04 91 02")},
  };
  return kFrames;
}

// Reports allocations per iteration of the loop just run.
void report_allocations(benchmark::State& state, std::size_t before) {
  state.counters["allocs"] = benchmark::Counter(static_cast<double>(g_allocations - before) /
                                                static_cast<double>(state.iterations()));
}

void BM_Decode(benchmark::State& state, const std::string& bytes) {
  const std::size_t before = g_allocations;
  for (auto _ : state) {
    auto parsed = Frame::parse(bytes.data(), bytes.size());
    benchmark::DoNotOptimize(parsed);
  }
  report_allocations(state, before);
}

// ---------------------------------------------------------------------------------------
// The reference walk: only what these four frame shapes need, every value bounds-checked
// with mp_check_* before mp_decode_*, kind names compared, no messages.

struct BareFrame {
  uint32_t id = 0;
  uint32_t kind = 0;
  float floats[3] = {};
  bool flag = false;
  uint32_t direction = 0;
};

constexpr std::string_view kKinds[] = {"ClickButton", "ToggleButton",      "ConfirmButton",
                                       "PressButton", "DirectionalButton", "Joystick"};

bool bare_uint(const char*& p, const char* end, uint32_t& out) {
  if (p >= end || mp_typeof(*p) != MP_UINT || mp_check_uint(p, end) > 0) return false;
  out = static_cast<uint32_t>(mp_decode_uint(&p));
  return true;
}

bool bare_float(const char*& p, const char* end, float& out) {
  if (p >= end || mp_typeof(*p) != MP_FLOAT || mp_check_float(p, end) > 0) return false;
  out = mp_decode_float(&p);
  return true;
}

bool bare_array(const char*& p, const char* end, uint32_t& n) {
  if (p >= end || mp_typeof(*p) != MP_ARRAY || mp_check_array(p, end) > 0) return false;
  n = mp_decode_array(&p);
  return true;
}

bool bare_str(const char*& p, const char* end, std::string_view& out) {
  if (p >= end || mp_typeof(*p) != MP_STR || mp_check_strl(p, end) > 0) return false;
  uint32_t len;
  const char* s = mp_decode_str(&p, &len);
  if (len > static_cast<std::size_t>(end - s)) return false;
  out = {s, len};
  return true;
}

bool bare_data(const char*& p, const char* end, BareFrame& f) {
  if (p >= end || mp_typeof(*p) != MP_MAP || mp_check_map(p, end) > 0) return false;
  if (mp_decode_map(&p) != 1 || p >= end) return false;
  if (mp_typeof(*p) == MP_UINT) {
    if (!bare_uint(p, end, f.kind)) return false;
  } else {
    std::string_view name;
    if (!bare_str(p, end, name)) return false;
    f.kind = 6;
    for (uint32_t k = 0; k < 6; ++k) {
      if (name == kKinds[k]) f.kind = k;
    }
    if (f.kind == 6) return false;
  }
  uint32_t n;
  if (!bare_array(p, end, n)) return false;
  switch (f.kind) {
    case 1:
    case 3:
      if (n != 1 || p >= end || mp_typeof(*p) != MP_BOOL || mp_check_bool(p, end) > 0) return false;
      f.flag = mp_decode_bool(&p);
      return true;
    case 4:
      return n == 1 && bare_uint(p, end, f.direction);
    case 5: {
      uint32_t coord;
      return n == 2 && bare_array(p, end, coord) && coord == 2 && bare_float(p, end, f.floats[0]) &&
             bare_float(p, end, f.floats[1]) && bare_float(p, end, f.floats[2]);
    }
    default:
      return n == 0;
  }
}

bool bare_walk(const char* p, const char* end, BareFrame& f) {
  if (p >= end) return false;
  if (mp_typeof(*p) == MP_ARRAY) {
    uint32_t n;
    return bare_array(p, end, n) && n == 2 && bare_uint(p, end, f.id) && bare_data(p, end, f);
  }
  if (mp_typeof(*p) != MP_MAP || mp_check_map(p, end) > 0) return false;
  const uint32_t n = mp_decode_map(&p);
  for (uint32_t i = 0; i < n; ++i) {
    std::string_view key;
    if (!bare_str(p, end, key)) return false;
    if (key == "id") {
      if (!bare_uint(p, end, f.id)) return false;
    } else if (key == "data") {
      if (!bare_data(p, end, f)) return false;
    } else {
      return false;
    }
  }
  return true;
}

void BM_BareWalk(benchmark::State& state, const std::string& bytes) {
  for (auto _ : state) {
    BareFrame frame;
    bool ok = bare_walk(bytes.data(), bytes.data() + bytes.size(), frame);
    if (!ok) state.SkipWithError("bare walk failed");
    benchmark::DoNotOptimize(frame);
  }
}

void BM_MsgpackCUnpack(benchmark::State& state, const std::string& bytes) {
  const std::size_t before = g_allocations;
  for (auto _ : state) {
    msgpack_unpacked result;
    msgpack_unpacked_init(&result);
    std::size_t offset = 0;
    auto ret = msgpack_unpack_next(&result, bytes.data(), bytes.size(), &offset);
    if (ret != MSGPACK_UNPACK_SUCCESS) state.SkipWithError("msgpack-c failed");
    benchmark::DoNotOptimize(result.data);
    msgpack_unpacked_destroy(&result);
  }
  report_allocations(state, before);
}

// ---------------------------------------------------------------------------------------
// Replies.

struct Reply {
  const char* name;
  ResultFrame frame;
};

const std::vector<Reply>& replies() {
  static const std::vector<Reply> kReplies = {
      {"IdleConfirm", {1, ServerStatus::Idle, velto::base::result::ConfirmResult{true}}},
      {"ErrorBadInput", {2, ServerStatus::Error, velto::base::result::ErrorResult{"bad input"}}},
      {"NotInitConfirm200",
       {200, ServerStatus::NotInit, velto::base::result::ConfirmResult{false}}},
  };
  return kReplies;
}

void BM_Encode(benchmark::State& state, const ResultFrame& frame) {
  const std::size_t before = g_allocations;
  for (auto _ : state) {
    std::vector<char> bytes = frame.bufferize();
    benchmark::DoNotOptimize(bytes.data());
  }
  report_allocations(state, before);
}

// The reply through msgpack-c's packer into a new simple buffer, which the caller frees.
msgpack_sbuffer pack_with_msgpack_c(const ResultFrame& frame) {
  static constexpr std::string_view kStatus[] = {"NotInit", "Idle", "Busy", "Error"};
  msgpack_sbuffer buffer;
  msgpack_sbuffer_init(&buffer);
  msgpack_packer pk;
  msgpack_packer_init(&pk, &buffer, msgpack_sbuffer_write);
  auto pack_str = [&](std::string_view s) {
    msgpack_pack_str(&pk, s.size());
    msgpack_pack_str_body(&pk, s.data(), s.size());
  };
  msgpack_pack_array(&pk, 3);
  msgpack_pack_uint8(&pk, frame.id);
  pack_str(kStatus[static_cast<int>(frame.status)]);
  msgpack_pack_map(&pk, 1);
  if (auto* error = std::get_if<velto::base::result::ErrorResult>(&frame.data)) {
    pack_str("ErrorResult");
    msgpack_pack_array(&pk, 1);
    pack_str(error->error);
  } else {
    pack_str("ConfirmResult");
    msgpack_pack_array(&pk, 1);
    if (std::get<velto::base::result::ConfirmResult>(frame.data).status) {
      msgpack_pack_true(&pk);
    } else {
      msgpack_pack_false(&pk);
    }
  }
  return buffer;
}

void BM_MsgpackCPack(benchmark::State& state, const ResultFrame& frame) {
  const std::vector<char> expected = frame.bufferize();
  msgpack_sbuffer check = pack_with_msgpack_c(frame);
  const bool same = std::string_view(check.data, check.size) ==
                    std::string_view(expected.data(), expected.size());
  msgpack_sbuffer_destroy(&check);
  if (!same) state.SkipWithError("msgpack-c wrote other bytes");
  for (auto _ : state) {
    msgpack_sbuffer buffer = pack_with_msgpack_c(frame);
    benchmark::DoNotOptimize(buffer.data);
    msgpack_sbuffer_destroy(&buffer);
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (const auto& f : frames()) {
    benchmark::RegisterBenchmark((std::string("Decode/") + f.name).c_str(), BM_Decode, f.bytes);
    benchmark::RegisterBenchmark((std::string("BareMsgpuckWalk/") + f.name).c_str(), BM_BareWalk,
                                 f.bytes);
    benchmark::RegisterBenchmark((std::string("MsgpackCUnpack/") + f.name).c_str(),
                                 BM_MsgpackCUnpack, f.bytes);
  }
  // Failures build their message, so they allocate; shown for scale.
  static const std::string kUnknownKind = from_hex("92 01 81 a6 53 6c 69 64 65 72 90");
  static const std::string kTruncated = from_hex("92 03 81 a8 4a 6f 79 73 74 69 63 6b 92 92 ca");
  benchmark::RegisterBenchmark("DecodeFail/UnknownKind", BM_Decode, kUnknownKind);
  benchmark::RegisterBenchmark("DecodeFail/Truncated", BM_Decode, kTruncated);
  for (const auto& r : replies()) {
    benchmark::RegisterBenchmark((std::string("Encode/") + r.name).c_str(), BM_Encode, r.frame);
    benchmark::RegisterBenchmark((std::string("MsgpackCPack/") + r.name).c_str(), BM_MsgpackCPack,
                                 r.frame);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
