// FrameAssembler: cuts the bytes received on a connection into frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/frame.h"
#include "server/io/frame_decoder.h"

namespace velto::server::io {

/// The largest frame the assembler waits for; a frame that needs more is bad input.
inline constexpr std::size_t kMaxFrameBytes = 65536;

/// Passes that bring more bytes and still leave a frame incomplete, after the pass its
/// first bytes came in, before the frame is given up as bad input.
inline constexpr int kMaxFurtherPasses = 2;

/// Keeps the bytes received so far and hands out the frames they hold, in order.
/// Frames carry no length prefix, so a frame is complete when the decoder says so: the
/// bytes of an incomplete frame are kept and decoded again from the frame's start once
/// more bytes arrive. Bytes that fail to decode are dropped together with everything
/// held at that moment. The bounds are the assembler's, not the decoder's: a pending
/// frame whose headers already announce more than kMaxFrameBytes is bad input at once,
/// and so is one still incomplete after kMaxFurtherPasses passes that brought more bytes.
/// The decoder of a byte stream such as a TCP connection.
class FrameAssembler final : public FrameDecoder {
 public:
  /// Adds received bytes after those held. Call next() until it stops giving frames
  /// before the following append: the held bytes then stay below kMaxFrameBytes.
  void append(const char* data, std::size_t size) override;

  /// The next frame, Incomplete, or BadInput. Decodes only when bytes arrived since the
  /// last Incomplete.
  Next next() override;

  /// Marks the end of one pass of reads (call after next() stopped giving frames). A
  /// frame that was already pending at the previous end_pass(), got more bytes since and
  /// is still incomplete counts one further pass; at kMaxFurtherPasses it is dropped and
  /// returned as BadInput.
  std::optional<BadInput> end_pass() override;

  /// Bytes held and not yet handed out as frames.
  std::size_t held() const { return buffer_.size() - start_; }

 private:
  BadInput drop_all(std::string message);

  // The pending frame's age in passes: whether it was pending at the last end_pass(),
  // whether bytes came since, and how many further passes it has seen.
  bool carried_ = false;
  bool grew_ = false;
  int further_passes_ = 0;

  std::vector<char> buffer_;
  std::size_t start_ = 0;  // first byte of the pending frame; bytes before it are spent
  bool stalled_ = false;   // the pending bytes decoded as incomplete and nothing came since
};

/// The message of a frame that would not fit: "frame exceeds 65536 bytes".
std::string frame_too_large_message();

/// The message of a frame given up after kMaxFurtherPasses.
std::string frame_stalled_message();

/// The fewest bytes a MessagePack value starting at `data` can take, judged from the
/// `size` bytes present: each string, binary and extension needs the length it announces,
/// each array or map element at least one byte. Stops counting once the result exceeds
/// `limit`, so the result is exact only up to `limit`.
uint64_t least_value_size(const char* data, std::size_t size, uint64_t limit);

}  // namespace velto::server::io
