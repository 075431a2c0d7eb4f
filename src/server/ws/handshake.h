// The WebSocket opening handshake's computations and the server's access key.
#pragma once

#include <string>
#include <string_view>

namespace velto::server::ws {

/// Sec-WebSocket-Accept for a client's Sec-WebSocket-Key: base64(SHA-1(key + the GUID)).
std::string accept_key(std::string_view client_key);

/// Whether a Sec-WebSocket-Key is the base64 form of 16 bytes (24 characters, "==" last).
bool valid_client_key(std::string_view client_key);

/// Whether `a` equals `b`; the time taken depends on the lengths only, not on the contents.
bool same_token(std::string_view a, std::string_view b);

/// A fresh access key: 16 bytes from getrandom(2) as base64url, 22 characters, no padding.
/// Throws std::system_error when the system gives no random bytes.
std::string random_token();

/// Whether `t` can be an access key: 16 to 128 characters of [A-Za-z0-9_-].
bool valid_token(std::string_view t);

}  // namespace velto::server::ws
