// libFuzzer target for the HTTP request-head parser and the door's answers: the same head
// however it arrives, and every answer a well-formed response within the rules.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "server/ws/door.h"
#include "server/ws/http_head.h"

namespace {

using namespace velto::server::ws;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "http_head_fuzz: %s%s%.*s\n", what, detail.empty() ? "" : ": ",
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

#define FUZZ_CHECK(cond, ...)                                 \
  do {                                                        \
    if (!(cond)) fail("check failed: " #cond, ##__VA_ARGS__); \
  } while (0)

// The result as bytes to compare: its kind, the request's fields or the failure.
std::string fingerprint(const HttpHeadParser::Result& result) {
  if (const auto* done = std::get_if<HttpHeadParser::Done>(&result)) {
    std::string out = "done " + std::to_string(done->consumed) + "\n" + done->request.method + " " +
                      done->request.target + " " + done->request.version + "\n";
    for (const auto& h : done->request.headers) out += h.name + ":" + h.value + "\n";
    return out;
  }
  if (const auto* failed = std::get_if<HttpHeadParser::Failed>(&result)) {
    return "failed " + std::to_string(failed->status) + " " + failed->why;
  }
  return "need more";
}

// Feeds the bytes `step` at a time (0: all at once), each piece in an exactly sized heap
// buffer; the first result that is not NeedMore, or NeedMore.
HttpHeadParser::Result parse(const uint8_t* data, std::size_t size, std::size_t step) {
  HttpHeadParser parser;
  HttpHeadParser::Result result = HttpHeadParser::NeedMore{};
  if (step == 0) step = size;
  for (std::size_t at = 0; at < size; at += step) {
    const std::size_t n = std::min(step, size - at);
    std::unique_ptr<char[]> piece(new char[n]);
    std::memcpy(piece.get(), data + at, n);
    result = parser.feed(piece.get(), n);
    if (!std::holds_alternative<HttpHeadParser::NeedMore>(result)) break;
  }
  return result;
}

// A response: a status line, header lines, an empty line; a closing one says its length.
void check_response(const DoorAnswer& a) {
  const std::string& r = a.response;
  FUZZ_CHECK(r.starts_with("HTTP/1.1 "), r);
  const auto end = r.find("\r\n\r\n");
  FUZZ_CHECK(end != std::string::npos, r);
  const std::string_view head(r.data(), end + 2);
  const int status = std::atoi(r.c_str() + 9);
  FUZZ_CHECK(a.upgrade == (status == 101), r);
  if (a.upgrade) {
    FUZZ_CHECK(end + 4 == r.size(), r);
    FUZZ_CHECK(a.refusal.empty());
    return;
  }
  FUZZ_CHECK(head.find("\r\nConnection: close\r\n") != std::string_view::npos, r);
  const std::string body = r.substr(end + 4);
  if (status != 204) {
    FUZZ_CHECK(head.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n") !=
                   std::string_view::npos,
               r);
  } else {
    FUZZ_CHECK(body.empty());
  }
  FUZZ_CHECK(a.refusal.empty() || a.refusal == "wrong key" || a.refusal == "foreign origin" ||
                 a.refusal == "not a WebSocket upgrade" ||
                 a.refusal == "unsupported WebSocket version" || a.refusal == "bad WebSocket key",
             a.refusal);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const auto whole = parse(data, size, 0);
  const std::string expected = fingerprint(whole);
  FUZZ_CHECK(fingerprint(parse(data, size, 1)) == expected, "differs a byte at a time");
  FUZZ_CHECK(fingerprint(parse(data, size, 7)) == expected, "differs 7 bytes at a time");
  if (const auto* done = std::get_if<HttpHeadParser::Done>(&whole)) {
    FUZZ_CHECK(done->consumed <= size && done->consumed <= kMaxHeadBytes);
    const auto widgets = [] { return std::string(R"([["ClickButton",1]])"); };
    check_response(
        answer(done->request, DoorConfig{"abcdefghijklmnopqrstuv", "<p>page</p>", widgets}));
  } else if (const auto* failed = std::get_if<HttpHeadParser::Failed>(&whole)) {
    FUZZ_CHECK(failed->status == 400 || failed->status == 431 || failed->status == 505);
    check_response(answer_failure(*failed));
  } else {
    FUZZ_CHECK(size <= kMaxHeadBytes);
  }
  return 0;
}
