// The HTTP door: what the server answers to one request before a WebSocket is accepted.
#include "server/ws/door.h"

#include <algorithm>
#include <utility>

#include "server/ws/handshake.h"

namespace velto::server::ws {

namespace {

// Whether a comma-separated header value lists `token` (any case), as Connection and Upgrade do.
bool lists_token(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    const auto comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (equal_ignoring_case(item, token)) return true;
  }
  return false;
}

std::string_view reason_phrase(int status) {
  switch (status) {
    case 101:
      return "Switching Protocols";
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 426:
      return "Upgrade Required";
    case 431:
      return "Request Header Fields Too Large";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Error";
  }
}

// A response that closes the connection. `extra` holds whole header lines. A 204 carries no
// Content-Length: it has no body by definition, and the header is not allowed on it.
std::string plain_response(int status, std::string_view content_type, std::string_view body,
                           std::string_view extra = {}) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " ";
  out += reason_phrase(status);
  out += "\r\n";
  if (!content_type.empty()) {
    out += "Content-Type: ";
    out += content_type;
    out += "\r\n";
  }
  if (status != 204) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  out +=
      "Cache-Control: no-store\r\n"
      "X-Content-Type-Options: nosniff\r\n"
      "Referrer-Policy: no-referrer\r\n";
  out += extra;
  out += "Connection: close\r\n\r\n";
  out += body;
  return out;
}

// An error status with its reason phrase as a short text body.
std::string error_response(int status, std::string_view extra = {}) {
  std::string body(reason_phrase(status));
  body += '\n';
  return plain_response(status, "text/plain; charset=utf-8", body, extra);
}

DoorAnswer refuse(int status, std::string refusal, std::string_view extra = {}) {
  return DoorAnswer{error_response(status, extra), false, std::move(refusal)};
}

bool right_key(const HttpRequest& request, std::string_view token) {
  const auto key = request.query("k");
  return key && same_token(*key, token);
}

// The Host value without a ":80" port, which browsers leave out of an http origin.
std::string_view without_default_port(std::string_view host) {
  if (host.ends_with(":80")) host.remove_suffix(3);
  return host;
}

// A present Origin must name this server as the browser reached it: "http://" and the Host.
bool same_origin(const HttpRequest& request) {
  if (request.count("Origin") == 0) return true;
  if (request.count("Origin") > 1) return false;
  const auto host = request.header("Host");
  if (!host || host->empty()) return false;
  std::string_view origin = *request.header("Origin");
  constexpr std::string_view kScheme = "http://";
  if (origin.size() < kScheme.size() ||
      !equal_ignoring_case(origin.substr(0, kScheme.size()), kScheme)) {
    return false;
  }
  origin.remove_prefix(kScheme.size());
  return equal_ignoring_case(without_default_port(origin), without_default_port(*host));
}

// The handshake's checks in order; the 101 when all pass.
DoorAnswer upgrade(const HttpRequest& request, const DoorConfig& config) {
  const auto upgrade = request.header("Upgrade");
  const auto connection = request.header("Connection");
  if (request.version != "HTTP/1.1" || !upgrade || !lists_token(*upgrade, "websocket") ||
      !connection || !lists_token(*connection, "upgrade")) {
    return refuse(426, "not a WebSocket upgrade", "Upgrade: websocket\r\n");
  }
  const auto version = request.header("Sec-WebSocket-Version");
  if (request.count("Sec-WebSocket-Version") != 1 || *version != "13") {
    return refuse(426, "unsupported WebSocket version", "Sec-WebSocket-Version: 13\r\n");
  }
  const auto key = request.header("Sec-WebSocket-Key");
  if (request.count("Sec-WebSocket-Key") != 1 || !valid_client_key(*key)) {
    return refuse(400, "bad WebSocket key");
  }
  if (!right_key(request, config.token)) return refuse(403, "wrong key");
  if (!same_origin(request)) return refuse(403, "foreign origin");
  // No extension or subprotocol is agreed on: the answer names none.
  std::string response =
      "HTTP/1.1 101 Switching Protocols\r\n"
      "Upgrade: websocket\r\n"
      "Connection: Upgrade\r\n"
      "Sec-WebSocket-Accept: ";
  response += accept_key(*key);
  response += "\r\n\r\n";
  return DoorAnswer{std::move(response), true, {}};
}

}  // namespace

DoorAnswer answer(const HttpRequest& request, const DoorConfig& config) {
  if (request.method != "GET") return refuse(405, {}, "Allow: GET\r\n");
  const std::string_view path = request.path();
  if (path == "/") {
    return DoorAnswer{plain_response(200, "text/html; charset=utf-8", config.page), false, {}};
  }
  if (path == "/favicon.ico") return DoorAnswer{plain_response(204, {}, {}), false, {}};
  if (path == "/check") {
    if (!right_key(request, config.token)) return refuse(403, "wrong key");
    return DoorAnswer{plain_response(204, {}, {}), false, {}};
  }
  if (path == "/widgets") {
    if (!right_key(request, config.token)) return refuse(403, "wrong key");
    return DoorAnswer{plain_response(200, "application/json", config.widgets_json()), false, {}};
  }
  if (path == "/ws") return upgrade(request, config);
  return refuse(404, {});
}

DoorAnswer answer_failure(const HttpHeadParser::Failed& failed) {
  return refuse(failed.status, {});
}

}  // namespace velto::server::ws
