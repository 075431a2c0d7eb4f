// FrameDecoder: what a transport's framing gives the serving loop.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>

#include "base/frame.h"

namespace velto::server::io {

/// Turns the bytes a transport receives into frames, in order: the serving loop's one point
/// of variation per transport (the stream of a TCP connection has no frame boundaries and
/// needs an assembler; a message-based transport decodes each message as it comes).
class FrameDecoder {
 public:
  /// The held bytes end inside a frame; wait for more.
  struct Incomplete {};
  /// The held bytes do not decode (the decoder's message) or break a bound of the decoder;
  /// they have been dropped.
  struct BadInput {
    std::string message;
    /// How many held bytes were dropped with it.
    std::size_t dropped = 0;
    /// False: the bytes were dropped unread, for what they are (the message says what),
    /// not because they failed to decode.
    bool undecoded = true;
  };
  /// Bytes to write back on the connection (a control answer of the transport, such as a
  /// pong); serving goes on.
  struct Answer {
    std::string bytes;
  };
  /// The connection ends here: `bytes` (may be empty) are written, the connection is shut
  /// down both ways and seen as ended. A non-empty `report` (a whole line) goes to the
  /// error output: the peer broke the transport's rules. An empty one is a peer that said
  /// goodbye, like a read of 0 bytes.
  struct End {
    std::string bytes;
    std::string report;
  };
  using Next = std::variant<base::Frame, Incomplete, BadInput, Answer, End>;

  virtual ~FrameDecoder() = default;

  /// Adds received bytes after those held. The loop calls next() until it stops giving
  /// frames before the following append.
  virtual void append(const char* data, std::size_t size) = 0;
  /// The next frame, Incomplete, or BadInput.
  virtual Next next() = 0;
  /// Marks the end of one pass of reads (after next() stopped giving frames): bytes held
  /// too long may be given up here, returned as BadInput.
  virtual std::optional<BadInput> end_pass() = 0;
  /// What the server writes before it shuts the connection down on a stop (close()):
  /// nothing for a byte stream.
  virtual std::string farewell() const { return {}; }
};

}  // namespace velto::server::io
