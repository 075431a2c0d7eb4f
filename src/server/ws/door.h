// The HTTP door: what the server answers to one request before a WebSocket is accepted.
#pragma once

#include <string>
#include <string_view>

#include "base/function_ref.h"
#include "server/ws/http_head.h"

namespace velto::server::ws {

struct DoorConfig {
  /// The access key a request must carry as `k=`.
  std::string_view token;
  /// The controller page served at "/".
  std::string_view page;
  /// The registered widgets as JSON ('[["ClickButton",1],...]'), asked for at request time.
  base::FunctionRef<std::string()> widgets_json;
};

struct DoorAnswer {
  /// The whole HTTP response, bytes to send.
  std::string response;
  /// True when the response is the 101 of an accepted handshake: the connection is now a
  /// WebSocket.
  bool upgrade = false;
  /// Why a controller was refused ("wrong key", "foreign origin", ...), empty otherwise.
  std::string refusal;
};

/// The answer to a parsed request: routes "/", "/favicon.ico", "/check", "/widgets" and "/ws"
/// (GET only), the handshake checked in order: upgrade, version, key, access key, origin.
/// Every response but the 101 closes the connection.
DoorAnswer answer(const HttpRequest& request, const DoorConfig& config);

/// The answer to a request head that did not parse: its status, the connection closed.
DoorAnswer answer_failure(const HttpHeadParser::Failed& failed);

}  // namespace velto::server::ws
