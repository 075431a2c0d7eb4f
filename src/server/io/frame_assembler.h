// FrameAssembler: cuts the bytes received on a connection into frames.
#pragma once

#include <cstddef>
#include <string>
#include <variant>
#include <vector>

#include "base/frame.h"

namespace velto::server::io {

/// The largest frame the assembler waits for; a frame that needs more is bad input.
inline constexpr std::size_t kMaxFrameBytes = 65536;

/// Keeps the bytes received so far and hands out the frames they hold, in order.
/// Frames carry no length prefix, so a frame is complete when the decoder says so: the
/// bytes of an incomplete frame are kept and decoded again from the frame's start once
/// more bytes arrive. Bytes that fail to decode are dropped together with everything
/// held at that moment.
class FrameAssembler {
 public:
  /// The held bytes end inside a frame; wait for more.
  struct Incomplete {};
  /// The held bytes do not decode (the decoder's message) or the frame would exceed
  /// kMaxFrameBytes; they have been dropped.
  struct BadInput {
    std::string message;
  };
  using Next = std::variant<base::Frame, Incomplete, BadInput>;

  /// Adds received bytes after those held. Call next() until it stops giving frames
  /// before the following append: the held bytes then stay below kMaxFrameBytes.
  void append(const char* data, std::size_t size);

  /// The next frame, Incomplete, or BadInput. Decodes only when bytes arrived since the
  /// last Incomplete.
  Next next();

  /// Bytes held and not yet handed out as frames.
  std::size_t held() const { return buffer_.size() - start_; }

 private:
  void drop_all();

  std::vector<char> buffer_;
  std::size_t start_ = 0;  // first byte of the pending frame; bytes before it are spent
  bool stalled_ = false;   // the pending bytes decoded as incomplete and nothing came since
};

/// The message of a frame that would not fit: "frame exceeds 65536 bytes".
std::string frame_too_large_message();

}  // namespace velto::server::io
