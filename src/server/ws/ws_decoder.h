// WsDecoder: the serving loop's decoder of a WebSocket connection.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "server/io/frame_decoder.h"
#include "server/ws/frame_reader.h"

namespace velto::server::ws {

/// Reads the connection's WebSocket frames and hands out the protocol frames their binary
/// messages hold, one per message. A message that is not exactly one frame, a text message
/// and a message over kMaxMessage are dropped and reported, and serving goes on. A ping is
/// answered with its pong, a pong ignored; a close is answered with the same code (1000
/// when it had none) and ends the connection like a peer that left; a protocol violation
/// closes with its code and ends it with a report. Memory stays bounded by the reader's
/// length-prefixed bound: there is no limit in passes.
class WsDecoder final : public io::FrameDecoder {
 public:
  void append(const char* data, std::size_t size) override;
  Next next() override;
  std::optional<BadInput> end_pass() override { return std::nullopt; }
  /// A close frame 1001: the server is going away.
  std::string farewell() const override;

 private:
  FrameReader reader_;
  bool ended_ = false;
};

}  // namespace velto::server::ws
