// HttpHeadParser: an HTTP/1.1 request head read incrementally, within a size bound.
#include "server/ws/http_head.h"

#include <algorithm>
#include <utility>

namespace velto::server::ws {

namespace {

// tchar of a token: method and header names.
bool is_token_char(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool is_token(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return is_token_char(c); });
}

// A header value may hold visible characters, spaces, tabs and bytes of 0x80 and above.
bool is_field_value(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c == '\t' || (c >= 0x20 && c != 0x7f);
  });
}

std::string_view trim(std::string_view s) {
  const auto space = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = to_lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> percent_decode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out.push_back(s[i]);
      continue;
    }
    if (i + 2 >= s.size()) return std::nullopt;
    const int hi = hex_value(s[i + 1]);
    const int lo = hex_value(s[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi << 4 | lo));
    i += 2;
  }
  return out;
}

using Failed = HttpHeadParser::Failed;

Failed bad_request(std::string why) { return Failed{400, std::move(why)}; }

}  // namespace

std::optional<std::string_view> HttpRequest::header(std::string_view name) const {
  for (const auto& h : headers) {
    if (equal_ignoring_case(h.name, name)) return std::string_view(h.value);
  }
  return std::nullopt;
}

std::size_t HttpRequest::count(std::string_view name) const {
  return static_cast<std::size_t>(
      std::count_if(headers.begin(), headers.end(),
                    [&](const Header& h) { return equal_ignoring_case(h.name, name); }));
}

std::string_view HttpRequest::path() const {
  const std::string_view t(target);
  return t.substr(0, t.find('?'));
}

std::optional<std::string> HttpRequest::query(std::string_view key) const {
  const std::string_view t(target);
  const auto mark = t.find('?');
  if (mark == std::string_view::npos) return std::nullopt;
  std::string_view rest = t.substr(mark + 1);
  rest = rest.substr(0, rest.find('#'));
  while (!rest.empty()) {
    const auto amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    const auto eq = pair.find('=');
    const auto name = percent_decode(pair.substr(0, eq));
    if (!name || *name != key) continue;
    return percent_decode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
  }
  return std::nullopt;
}

HttpHeadParser::Result HttpHeadParser::feed(const char* data, std::size_t size) {
  if (finished_) return Failed{400, "bytes after the request head"};
  // Only what can still belong to a head within the bound is kept.
  const std::size_t room = kMaxHeadBytes + 1 - std::min(bytes_.size(), kMaxHeadBytes + 1);
  bytes_.append(data, std::min(size, room));
  // The head ends at its first empty line: "\r\n\r\n", or with bare line feeds "\n\n".
  for (; scanned_ < bytes_.size(); ++scanned_) {
    if (bytes_[scanned_] != '\n') continue;
    std::size_t before = scanned_;
    if (before > 0 && bytes_[before - 1] == '\r') --before;
    if (before > 0 && bytes_[before - 1] == '\n') {
      finished_ = true;
      if (scanned_ + 1 > kMaxHeadBytes) return Failed{431, "request head longer than 8192 bytes"};
      return parse(scanned_ + 1);
    }
  }
  if (bytes_.size() > kMaxHeadBytes) {
    finished_ = true;
    return Failed{431, "request head longer than 8192 bytes"};
  }
  return NeedMore{};
}

// Parses the head's `head_size` bytes: the request line, then one header a line.
HttpHeadParser::Result HttpHeadParser::parse(std::size_t head_size) {
  std::string_view head(bytes_.data(), head_size);
  std::vector<std::string_view> lines;
  while (!head.empty()) {
    const auto lf = head.find('\n');
    std::string_view line = head.substr(0, lf);
    head.remove_prefix(lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // Empty lines before the request line are passed over.
    if (line.empty() && lines.empty()) continue;
    if (line.find('\r') != std::string_view::npos)
      return bad_request("carriage return inside a line");
    lines.push_back(line);
  }
  if (lines.size() < 2) return bad_request("no request line");
  lines.pop_back();  // the empty last line

  HttpRequest request;
  // request-line = method SP request-target SP HTTP-version
  const std::string_view line = lines.front();
  const auto sp1 = line.find(' ');
  const auto sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) {
    return bad_request("malformed request line");
  }
  const std::string_view method = line.substr(0, sp1);
  const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = line.substr(sp2 + 1);
  if (!is_token(method)) return bad_request("malformed method");
  if (target.empty() || !std::all_of(target.begin(), target.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c > 0x20 && c < 0x7f;
      })) {
    return bad_request("malformed request target");
  }
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || !digit(version[5]) ||
      version[6] != '.' || !digit(version[7])) {
    return bad_request("malformed HTTP version");
  }
  if (version[5] != '1') return Failed{505, "HTTP version not supported"};
  request.method = method;
  request.target = target;
  request.version = version;

  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view field = lines[i];
    if (field.front() == ' ' || field.front() == '\t') return bad_request("folded header line");
    const auto colon = field.find(':');
    if (colon == std::string_view::npos) return bad_request("header line without a colon");
    const std::string_view name = field.substr(0, colon);
    if (!is_token(name)) return bad_request("malformed header name");
    const std::string_view value = trim(field.substr(colon + 1));
    if (!is_field_value(value)) return bad_request("control character in a header value");
    request.headers.push_back(Header{std::string(name), std::string(value)});
  }
  // A server must answer 400 to a request with no Host (HTTP/1.1) or more than one.
  const std::size_t hosts = request.count("Host");
  if (hosts > 1 || (hosts == 0 && request.version == "HTTP/1.1")) {
    return bad_request("not exactly one Host header");
  }
  return Done{std::move(request), head_size};
}

}  // namespace velto::server::ws
