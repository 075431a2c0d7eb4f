// The HTTP side of the WebSocket transport: request heads, the handshake's computations and
// the door's answers, route by route and check by check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_printer.h"
#include "server/ws/door.h"
#include "server/ws/handshake.h"
#include "server/ws/http_head.h"

namespace velto::server::ws {
namespace {

using testing::PrintTo;

// ---- Handshake computations ----

TEST(HandshakeTest, AcceptKeyOfTheSampleHandshake) {
  EXPECT_EQ(accept_key("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(HandshakeTest, ClientKeyMustBeSixteenBytesInBase64) {
  EXPECT_TRUE(valid_client_key("dGhlIHNhbXBsZSBub25jZQ=="));
  EXPECT_TRUE(valid_client_key("LtXIHZ2tQ3Y6wy82EH1wXA=="));
  for (const char* key :
       {"", "dGhlIHNhbXBsZSBub25jZQ", "dGhlIHNhbXBsZSBub25jZQ=",
        "dGhlIHNhbXBsZSBub25j",      // 15 bytes
        "dGhlIHNhbXBsZSBub25jZTE=",  // 17 bytes
        "dGhlIHNhbXBsZSBub25jZR==",  // bits set past the 16th byte
        "dGhlIHNhbXBs ZSBub25jZQ==", "dGhlIHNhbXBsZSBub25j-_==", "dGhlIHNhbXBsZSBub25jZQ==="}) {
    EXPECT_FALSE(valid_client_key(key)) << key;
  }
}

TEST(HandshakeTest, SameTokenComparesWholeContents) {
  EXPECT_TRUE(same_token("abcdefghijklmnop", "abcdefghijklmnop"));
  EXPECT_FALSE(same_token("abcdefghijklmnop", "abcdefghijklmnoq"));
  EXPECT_FALSE(same_token("xbcdefghijklmnop", "abcdefghijklmnop"));
  EXPECT_FALSE(same_token("abcdefghijklmnop", "abcdefghijklmno"));
  EXPECT_FALSE(same_token("", "a"));
  EXPECT_TRUE(same_token("", ""));
}

TEST(HandshakeTest, RandomTokenIsAFreshValidKey) {
  const std::string a = random_token();
  const std::string b = random_token();
  EXPECT_EQ(a.size(), 22u);
  EXPECT_TRUE(valid_token(a)) << a;
  EXPECT_TRUE(valid_token(b)) << b;
  EXPECT_NE(a, b);
}

TEST(HandshakeTest, ValidTokenTakesSixteenTo128UrlSafeCharacters) {
  EXPECT_TRUE(valid_token("abcdefghijklmnop"));
  EXPECT_TRUE(valid_token("AZaz09-_AZaz09-_"));
  EXPECT_TRUE(valid_token(std::string(128, 'k')));
  EXPECT_FALSE(valid_token("abcdefghijklmno"));
  EXPECT_FALSE(valid_token(std::string(129, 'k')));
  EXPECT_FALSE(valid_token("abcdefghijklmno+"));
  EXPECT_FALSE(valid_token("abcdefghijklmno="));
  EXPECT_FALSE(valid_token("abcdefgh ijklmnop"));
}

// ---- Request heads ----

// Feeds the head in the given pieces; "done <consumed>", "need more" or "failed <status>".
std::string parse(const std::vector<std::string>& pieces, HttpRequest* out = nullptr) {
  HttpHeadParser parser;
  std::string result = "need more";
  for (const auto& piece : pieces) {
    auto r = parser.feed(piece.data(), piece.size());
    if (auto* done = std::get_if<HttpHeadParser::Done>(&r)) {
      if (out) *out = done->request;
      return "done " + std::to_string(done->consumed);
    }
    if (auto* failed = std::get_if<HttpHeadParser::Failed>(&r)) {
      return "failed " + std::to_string(failed->status);
    }
  }
  return result;
}

struct HeadCase {
  const char* name;
  std::string bytes;
  std::string result;
};

const std::string kGet = "GET /ws?k=abc HTTP/1.1\r\nHost: robot.lan:8080\r\n\r\n";

std::vector<HeadCase> head_cases() {
  return {
      {"Minimal", kGet, "done " + std::to_string(kGet.size())},
      {"BytesAfterTheHeadAreNotPartOfIt", kGet + "\x81\x85", "done " + std::to_string(kGet.size())},
      {"BareLineFeeds", "GET / HTTP/1.1\nHost: a\n\n", "done 24"},
      {"EmptyLineBeforeTheRequestLine", "\r\nGET / HTTP/1.1\r\nHost: a\r\n\r\n", "done 29"},
      {"Http10WithoutHost", "GET / HTTP/1.0\r\n\r\n", "done 18"},
      {"Unfinished", "GET / HTTP/1.1\r\nHost: a\r\n", "need more"},
      {"Http2", "GET / HTTP/2.0\r\nHost: a\r\n\r\n", "failed 505"},
      {"VersionNotHttp", "GET / FTP/1.1\r\nHost: a\r\n\r\n", "failed 400"},
      {"TwoSpacesInRequestLine", "GET  / HTTP/1.1\r\nHost: a\r\n\r\n", "failed 400"},
      {"NoTarget", "GET HTTP/1.1\r\nHost: a\r\n\r\n", "failed 400"},
      {"HeaderWithoutColon", "GET / HTTP/1.1\r\nHost: a\r\nBogus\r\n\r\n", "failed 400"},
      {"SpaceBeforeColon", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", "failed 400"},
      {"FoldedHeader", "GET / HTTP/1.1\r\nHost: a\r\nX: 1\r\n 2\r\n\r\n", "failed 400"},
      {"ControlCharacterInValue", std::string("GET / HTTP/1.1\r\nHost: a\x01\r\n\r\n"),
       "failed 400"},
      {"BareCarriageReturn", "GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n", "failed 400"},
      {"NoHost", "GET / HTTP/1.1\r\nX: 1\r\n\r\n", "failed 400"},
      {"TwoHosts", "GET / HTTP/1.1\r\nHost: a\r\nhost: b\r\n\r\n", "failed 400"},
      {"OnlyEmptyLines", "\r\n\r\n", "failed 400"},
  };
}

class HeadTest : public ::testing::TestWithParam<HeadCase> {};

TEST_P(HeadTest, SameResultWholeOrByteByByte) {
  const HeadCase& c = GetParam();
  EXPECT_EQ(parse({c.bytes}), c.result);
  std::vector<std::string> bytes;
  for (char ch : c.bytes) bytes.emplace_back(1, ch);
  EXPECT_EQ(parse(bytes), c.result);
}

INSTANTIATE_TEST_SUITE_P(Heads, HeadTest, ::testing::ValuesIn(head_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HeadLimitTest, HeadOfExactly8192BytesIsRead) {
  std::string head = "GET / HTTP/1.1\r\nHost: a\r\nX: ";
  head += std::string(kMaxHeadBytes - head.size() - 4, 'x') + "\r\n\r\n";
  ASSERT_EQ(head.size(), kMaxHeadBytes);
  EXPECT_EQ(parse({head}), "done 8192");
  EXPECT_EQ(parse({head.substr(0, 100), head.substr(100)}), "done 8192");
}

// Past the bound the parser answers at once, without waiting for an end that may never come.
TEST(HeadLimitTest, LongerHeadIsRefusedWith431) {
  std::string head = "GET / HTTP/1.1\r\nHost: a\r\nX: ";
  head += std::string(kMaxHeadBytes - head.size() - 3, 'x') + "\r\n\r\n";
  EXPECT_EQ(parse({head}), "failed 431");
  EXPECT_EQ(parse({std::string(kMaxHeadBytes, 'G'), "E"}), "failed 431");
  EXPECT_EQ(parse({"GET / HTTP/1.1\r\n", std::string(20000, 'x')}), "failed 431");
}

TEST(HttpRequestTest, FieldsHeadersAndQuery) {
  HttpRequest r;
  ASSERT_EQ(
      parse({"GET /ws?a=1&k=ab%2Dc%5f&k=second&e HTTP/1.1\r\n"
             "HOST: robot.lan\r\nsec-websocket-key:\t x== \t\r\nX-Two: 1\r\nx-two: 2\r\n\r\n"},
            &r)
          .substr(0, 4),
      "done");
  EXPECT_EQ(r.method, "GET");
  EXPECT_EQ(r.target, "/ws?a=1&k=ab%2Dc%5f&k=second&e");
  EXPECT_EQ(r.version, "HTTP/1.1");
  EXPECT_EQ(r.path(), "/ws");
  EXPECT_EQ(r.header("host"), "robot.lan");
  EXPECT_EQ(r.header("Sec-WebSocket-Key"), "x==");
  EXPECT_EQ(r.header("X-TWO"), "1");
  EXPECT_EQ(r.count("x-two"), 2u);
  EXPECT_EQ(r.count("Origin"), 0u);
  EXPECT_EQ(r.header("Origin"), std::nullopt);
  EXPECT_EQ(r.query("k"), "ab-c_");
  EXPECT_EQ(r.query("a"), "1");
  EXPECT_EQ(r.query("e"), "");
  EXPECT_EQ(r.query("missing"), std::nullopt);
  r.target = "/check?k=%zz";
  EXPECT_EQ(r.query("k"), std::nullopt);
  r.target = "/check?k=%4";
  EXPECT_EQ(r.query("k"), std::nullopt);
  r.target = "/check";
  EXPECT_EQ(r.query("k"), std::nullopt);
  EXPECT_EQ(r.path(), "/check");
}

// ---- The door ----

constexpr std::string_view kToken = "Q2hvb3NlIGEgbG9uZyBr";
constexpr std::string_view kPage = "<!doctype html><title>robot</title>";

// The status code of a response.
int status_of(const std::string& response) { return std::stoi(response.substr(9, 3)); }

// The value of a header of a response ("" when absent), the name matched exactly.
std::string response_header(const std::string& response, const std::string& name) {
  const auto end = response.find("\r\n\r\n");
  const auto at = response.find("\r\n" + name + ": ");
  if (at == std::string::npos || at > end) return "";
  const auto from = at + name.size() + 4;
  return response.substr(from, response.find("\r\n", from) - from);
}

std::string body_of(const std::string& response) {
  return response.substr(response.find("\r\n\r\n") + 4);
}

HttpRequest request(const std::string& head) {
  HttpHeadParser parser;
  auto r = parser.feed(head.data(), head.size());
  auto* done = std::get_if<HttpHeadParser::Done>(&r);
  EXPECT_NE(done, nullptr) << head;
  return done ? done->request : HttpRequest{};
}

// A browser's upgrade request for /ws?k=<key>, with `changes` replacing or adding lines.
std::string upgrade_head(std::string_view key, const std::string& extra = {},
                         const std::string& connection = "Upgrade",
                         const std::string& version = "13",
                         const std::string& ws_key = "LtXIHZ2tQ3Y6wy82EH1wXA==") {
  std::string head = "GET /ws?k=" + std::string(key) + " HTTP/1.1\r\nHost: robot.lan:18083\r\n";
  if (!connection.empty()) head += "Connection: " + connection + "\r\n";
  head += "Upgrade: websocket\r\n";
  if (!version.empty()) head += "Sec-WebSocket-Version: " + version + "\r\n";
  if (!ws_key.empty()) head += "Sec-WebSocket-Key: " + ws_key + "\r\n";
  head += "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n";
  return head + extra + "\r\n";
}

struct DoorCase {
  const char* name;
  std::string head;
  int status;
  std::string refusal;
};

const std::string kOrigin = "Origin: http://robot.lan:18083\r\n";

std::vector<DoorCase> door_cases() {
  const std::string t(kToken);
  return {
      {"Page", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", 200, ""},
      {"PageTakesNoKey", "GET /?k=wrong HTTP/1.1\r\nHost: a\r\n\r\n", 200, ""},
      {"Post", "POST / HTTP/1.1\r\nHost: a\r\n\r\n", 405, ""},
      {"HeadMethod", "HEAD / HTTP/1.1\r\nHost: a\r\n\r\n", 405, ""},
      {"PostToWs", "POST /ws?k=" + t + " HTTP/1.1\r\nHost: a\r\n\r\n", 405, ""},
      {"Favicon", "GET /favicon.ico HTTP/1.1\r\nHost: a\r\n\r\n", 204, ""},
      {"Unknown", "GET /admin HTTP/1.1\r\nHost: a\r\n\r\n", 404, ""},
      {"CheckRightKey", "GET /check?k=" + t + " HTTP/1.1\r\nHost: a\r\n\r\n", 204, ""},
      {"CheckWrongKey", "GET /check?k=" + t + "x HTTP/1.1\r\nHost: a\r\n\r\n", 403, "wrong key"},
      {"CheckNoKey", "GET /check HTTP/1.1\r\nHost: a\r\n\r\n", 403, "wrong key"},
      {"WidgetsRightKey", "GET /widgets?k=" + t + " HTTP/1.1\r\nHost: a\r\n\r\n", 200, ""},
      {"WidgetsWrongKey", "GET /widgets?k=nope HTTP/1.1\r\nHost: a\r\n\r\n", 403, "wrong key"},
      // The handshake: a capture of a browser's request, and each check in turn.
      {"Upgrade", upgrade_head(kToken, kOrigin), 101, ""},
      {"UpgradeWithoutOrigin", upgrade_head(kToken), 101, ""},
      {"ConnectionList", upgrade_head(kToken, kOrigin, "keep-alive, Upgrade"), 101, ""},
      {"ConnectionAnyCase", upgrade_head(kToken, kOrigin, "keep-alive,upgrade"), 101, ""},
      {"HeaderNamesInAnyCase",
       "GET /ws?k=" + t +
           " HTTP/1.1\r\nhost: robot.lan\r\nconnection: upgrade\r\nupgrade: WebSocket\r\n"
           "SEC-WEBSOCKET-VERSION: 13\r\nsec-websocket-key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
           "origin: http://ROBOT.lan\r\n\r\n",
       101, ""},
      {"NoUpgradeHeader", "GET /ws?k=" + t + " HTTP/1.1\r\nHost: a\r\nConnection: Upgrade\r\n\r\n",
       426, "not a WebSocket upgrade"},
      {"ConnectionWithoutUpgrade", upgrade_head(kToken, kOrigin, "keep-alive"), 426,
       "not a WebSocket upgrade"},
      {"NoConnection", upgrade_head(kToken, kOrigin, ""), 426, "not a WebSocket upgrade"},
      {"Http10Upgrade",
       "GET /ws?k=" + t +
           " HTTP/1.0\r\nHost: a\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
           "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
       426, "not a WebSocket upgrade"},
      {"Version8", upgrade_head(kToken, kOrigin, "Upgrade", "8"), 426,
       "unsupported WebSocket version"},
      {"NoVersion", upgrade_head(kToken, kOrigin, "Upgrade", ""), 426,
       "unsupported WebSocket version"},
      {"TwoVersions", upgrade_head(kToken, kOrigin + "Sec-WebSocket-Version: 13\r\n"), 426,
       "unsupported WebSocket version"},
      {"NoKey", upgrade_head(kToken, kOrigin, "Upgrade", "13", ""), 400, "bad WebSocket key"},
      {"TwoKeys", upgrade_head(kToken, kOrigin + "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"),
       400, "bad WebSocket key"},
      {"KeyOf15Bytes", upgrade_head(kToken, kOrigin, "Upgrade", "13", "dGhlIHNhbXBsZSBub25j"), 400,
       "bad WebSocket key"},
      {"WrongToken", upgrade_head(t + "x", kOrigin), 403, "wrong key"},
      {"NoToken",
       "GET /ws HTTP/1.1\r\nHost: a\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
       "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
       403, "wrong key"},
      {"ForeignOrigin", upgrade_head(kToken, "Origin: http://evil.example\r\n"), 403,
       "foreign origin"},
      {"OriginOtherPort", upgrade_head(kToken, "Origin: http://robot.lan:18084\r\n"), 403,
       "foreign origin"},
      {"OriginHttps", upgrade_head(kToken, "Origin: https://robot.lan:18083\r\n"), 403,
       "foreign origin"},
      {"OriginNull", upgrade_head(kToken, "Origin: null\r\n"), 403, "foreign origin"},
      {"TwoOrigins", upgrade_head(kToken, kOrigin + kOrigin), 403, "foreign origin"},
      {"OriginHostInCapitals", upgrade_head(kToken, "Origin: http://ROBOT.LAN:18083\r\n"), 101, ""},
      {"OriginDefaultPort",
       "GET /ws?k=" + t +
           " HTTP/1.1\r\nHost: robot.lan:80\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
           "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
           "Origin: http://robot.lan\r\n\r\n",
       101, ""},
      // The checks come in order: the first that fails is the one reported.
      {"VersionBeforeKey", upgrade_head(kToken, kOrigin, "Upgrade", "8", "short"), 426,
       "unsupported WebSocket version"},
      {"KeyBeforeToken", upgrade_head("wrong", kOrigin, "Upgrade", "13", "short"), 400,
       "bad WebSocket key"},
      {"TokenBeforeOrigin", upgrade_head("wrong", "Origin: http://evil.example\r\n"), 403,
       "wrong key"},
  };
}

class DoorTest : public ::testing::TestWithParam<DoorCase> {};

TEST_P(DoorTest, AnswersWithStatusAndRefusal) {
  const DoorCase& c = GetParam();
  int widget_calls = 0;
  const auto widgets = [&] {
    ++widget_calls;
    return std::string(R"([["ClickButton",1]])");
  };
  const DoorAnswer a = answer(request(c.head), DoorConfig{kToken, kPage, widgets});
  EXPECT_EQ(status_of(a.response), c.status) << a.response;
  EXPECT_EQ(a.refusal, c.refusal);
  EXPECT_EQ(a.upgrade, c.status == 101);
  EXPECT_EQ(widget_calls, c.status == 200 && request(c.head).path() == "/widgets" ? 1 : 0);
  if (c.status == 101) {
    EXPECT_EQ(response_header(a.response, "Upgrade"), "websocket");
    EXPECT_EQ(response_header(a.response, "Connection"), "Upgrade");
    EXPECT_EQ(response_header(a.response, "Sec-WebSocket-Accept"),
              accept_key(*request(c.head).header("Sec-WebSocket-Key")));
    EXPECT_EQ(response_header(a.response, "Sec-WebSocket-Extensions"), "");
    EXPECT_TRUE(a.response.ends_with("\r\n\r\n"));
    return;
  }
  // Every other answer closes the connection and says how long its body is (a 204 has none).
  EXPECT_EQ(response_header(a.response, "Connection"), "close");
  const std::string length = response_header(a.response, "Content-Length");
  if (c.status == 204) {
    EXPECT_EQ(length, "");
    EXPECT_EQ(body_of(a.response), "");
  } else {
    EXPECT_EQ(length, std::to_string(body_of(a.response).size()));
  }
}

INSTANTIATE_TEST_SUITE_P(Requests, DoorTest, ::testing::ValuesIn(door_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DoorBodyTest, PageAndWidgetsComeWithTheirTypes) {
  const auto widgets = [] { return std::string(R"([["ClickButton",1],["Joystick",3]])"); };
  const DoorConfig config{kToken, kPage, widgets};
  const std::string page = answer(request("GET / HTTP/1.1\r\nHost: a\r\n\r\n"), config).response;
  EXPECT_EQ(body_of(page), kPage);
  EXPECT_EQ(response_header(page, "Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(response_header(page, "Cache-Control"), "no-store");
  EXPECT_EQ(response_header(page, "X-Content-Type-Options"), "nosniff");
  EXPECT_EQ(response_header(page, "Referrer-Policy"), "no-referrer");
  const std::string list =
      answer(request("GET /widgets?k=" + std::string(kToken) + " HTTP/1.1\r\nHost: a\r\n\r\n"),
             config)
          .response;
  EXPECT_EQ(body_of(list), R"([["ClickButton",1],["Joystick",3]])");
  EXPECT_EQ(response_header(list, "Content-Type"), "application/json");
  EXPECT_EQ(response_header(list, "Cache-Control"), "no-store");
}

TEST(DoorBodyTest, SampleHandshakeGetsTheSampleAcceptKey) {
  const auto widgets = [] { return std::string("[]"); };
  const DoorAnswer a =
      answer(request(upgrade_head(kToken, "", "Upgrade", "13", "dGhlIHNhbXBsZSBub25jZQ==")),
             DoorConfig{kToken, kPage, widgets});
  EXPECT_EQ(a.response,
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
}

TEST(DoorBodyTest, RefusedHandshakesNameWhatTheClientNeeds) {
  const auto widgets = [] { return std::string("[]"); };
  const DoorConfig config{kToken, kPage, widgets};
  const std::string version =
      answer(request(upgrade_head(kToken, "", "Upgrade", "8")), config).response;
  EXPECT_EQ(response_header(version, "Sec-WebSocket-Version"), "13");
  const std::string plain =
      answer(request("GET /ws?k=x HTTP/1.1\r\nHost: a\r\n\r\n"), config).response;
  EXPECT_EQ(response_header(plain, "Upgrade"), "websocket");
  const std::string post = answer(request("POST / HTTP/1.1\r\nHost: a\r\n\r\n"), config).response;
  EXPECT_EQ(response_header(post, "Allow"), "GET");
}

TEST(DoorFailureTest, HeadFailuresCloseWithTheirStatus) {
  for (int status : {400, 431, 505}) {
    const DoorAnswer a = answer_failure({status, "why"});
    EXPECT_EQ(status_of(a.response), status);
    EXPECT_EQ(response_header(a.response, "Connection"), "close");
    EXPECT_EQ(response_header(a.response, "Content-Length"),
              std::to_string(body_of(a.response).size()));
    EXPECT_FALSE(a.upgrade);
    EXPECT_EQ(a.refusal, "");
  }
}

}  // namespace
}  // namespace velto::server::ws
