// FrameReader: the server side of the WebSocket framing, reading a client's bytes
// incrementally into whole messages and control events.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace velto::server::ws {

/// The largest data message kept: its payload, fragments joined.
inline constexpr std::size_t kMaxMessage = 65536;

/// A whole data message, its fragments joined and unmasked.
struct Message {
  bool binary;
  std::string payload;
};
/// A data message longer than kMaxMessage: its payload was skipped as it came, never held;
/// reported once, when its last byte has arrived. `size` is its whole payload length.
struct Oversized {
  std::uint64_t size;
};
struct Ping {
  std::string payload;
};
struct Pong {};
/// A close frame; `code` is absent when its payload was empty. The reader stops after it.
struct Close {
  std::optional<std::uint16_t> code;
  std::string reason;
};
/// A breach of the protocol: `code` is the close code to answer with, 1002 (protocol error)
/// or 1007 (text that is not UTF-8). The reader stops after it.
struct Violation {
  std::uint16_t code;
  std::string why;
};
using Event = std::variant<Message, Oversized, Ping, Pong, Close, Violation>;

/// UTF-8 checked in pieces: a sequence may be cut between two pieces.
class Utf8Stream {
 public:
  /// False as soon as the bytes so far cannot begin valid UTF-8.
  bool add(const char* data, std::size_t size);
  /// Whether the bytes so far end on a whole character.
  bool complete() const { return pending_size_ == 0; }
  void reset() { pending_size_ = 0; }

 private:
  std::array<char, 4> pending_{};
  std::size_t pending_size_ = 0;
};

/// Reads the frames of one client connection: masked, possibly fragmented, with control frames
/// between fragments. Bytes are unmasked as they arrive; a data message's payload is held
/// until it is whole, up to kMaxMessage bytes. After a Close or a Violation the reader is
/// stopped: it gives no more events and drops what it is fed.
class FrameReader {
 public:
  /// Adds received bytes after those fed before.
  void feed(const char* data, std::size_t size);
  /// The next whole event, or nullopt when more bytes are needed (or the reader stopped).
  std::optional<Event> next();
  /// Bytes held: input not yet read, and the payload of the message and of the control frame
  /// in progress. Once next() has returned nullopt, at most kMaxMessage + 14 + 125.
  std::size_t held() const;

 private:
  enum class State : std::uint8_t { kHeader, kPayload, kStopped };

  // Each reads what it can; true when it moved on (and `event` may then be set).
  bool read_header(std::optional<Event>& event);
  bool read_payload(std::optional<Event>& event);
  Event stop(std::uint16_t code, std::string why);

  State state_ = State::kHeader;
  std::string in_;
  std::size_t pos_ = 0;  // the first byte of in_ not read yet

  // The frame being read.
  std::uint8_t opcode_ = 0;
  bool fin_ = false;
  std::uint64_t remaining_ = 0;  // payload bytes still to come
  std::uint64_t offset_ = 0;     // payload bytes read so far, for the mask's phase
  std::array<unsigned char, 4> mask_{};

  // The data message in progress.
  bool in_message_ = false;
  bool binary_ = false;
  bool oversized_ = false;
  std::uint64_t message_size_ = 0;
  std::string message_;
  Utf8Stream text_;

  // The control frame in progress.
  std::string control_;
  Utf8Stream reason_;
};

}  // namespace velto::server::ws
