// Server frames: whole (FIN set), unmasked, header and payload in one buffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velto::server::ws {

/// A binary data frame: 82 LL, 82 7E LLLL or 82 7F and 8 length bytes, then the payload.
std::string binary_frame(std::string_view payload);

/// A pong answering a ping; `payload` is at most 125 bytes (a ping's payload).
std::string pong_frame(std::string_view payload);

/// A close frame with `code` and a reason of at most 123 bytes (longer is cut).
std::string close_frame(std::uint16_t code, std::string_view reason = {});

}  // namespace velto::server::ws
