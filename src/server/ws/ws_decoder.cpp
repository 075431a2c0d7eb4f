// The decoder of a WebSocket connection.
#include "server/ws/ws_decoder.h"

#include <type_traits>
#include <utility>
#include <variant>

#include "base/frame.h"
#include "server/io/frame_assembler.h"
#include "server/ws/frame_writer.h"

namespace velto::server::ws {

namespace {

constexpr std::uint16_t kNormalClosure = 1000;
constexpr std::uint16_t kGoingAway = 1001;

// "message holds <n> bytes after its frame".
std::string bytes_after_frame_message(std::size_t extra) {
  return "message holds " + std::to_string(extra) + " bytes after its frame";
}

// "velto_protocol: closed the WebSocket connection: <why> (<code>)" and a line feed.
std::string violation_report(std::string_view why, std::uint16_t code) {
  std::string text = "velto_protocol: closed the WebSocket connection: ";
  text += why;
  text += " (";
  text += std::to_string(code);
  text += ")\n";
  return text;
}

// The protocol frame a binary message holds, or why it is dropped.
io::FrameDecoder::Next decode_message(const std::string& payload) {
  auto parsed = base::Frame::parse(payload.data(), payload.size());
  if (!parsed.ok())
    return io::FrameDecoder::BadInput{std::move(parsed).error().message, payload.size()};
  auto& value = parsed.value();
  if (value.used != payload.size()) {
    return io::FrameDecoder::BadInput{bytes_after_frame_message(payload.size() - value.used),
                                      payload.size()};
  }
  return std::move(value.frame);
}

}  // namespace

void WsDecoder::append(const char* data, std::size_t size) {
  if (!ended_) reader_.feed(data, size);
}

io::FrameDecoder::Next WsDecoder::next() {
  while (!ended_) {
    std::optional<Event> event = reader_.next();
    if (!event) break;
    Next out = std::visit(
        [&](auto& e) -> Next {
          using E = std::decay_t<decltype(e)>;
          if constexpr (std::is_same_v<E, Message>) {
            if (!e.binary) {
              BadInput bad{"text message (frames are binary messages)", e.payload.size()};
              bad.undecoded = false;
              return bad;
            }
            return decode_message(e.payload);
          } else if constexpr (std::is_same_v<E, Oversized>) {
            return BadInput{io::frame_too_large_message(), e.size};
          } else if constexpr (std::is_same_v<E, Ping>) {
            return Answer{pong_frame(e.payload)};
          } else if constexpr (std::is_same_v<E, Pong>) {
            return Incomplete{};  // nothing to do: read on
          } else if constexpr (std::is_same_v<E, Close>) {
            ended_ = true;
            return End{close_frame(e.code.value_or(kNormalClosure)), {}};
          } else {
            static_assert(std::is_same_v<E, Violation>);
            ended_ = true;
            return End{close_frame(e.code), violation_report(e.why, e.code)};
          }
        },
        *event);
    if (std::holds_alternative<Incomplete>(out)) continue;
    return out;
  }
  return Incomplete{};
}

std::string WsDecoder::farewell() const { return close_frame(kGoingAway); }

}  // namespace velto::server::ws
