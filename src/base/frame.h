// Frame (incoming, decoded from MessagePack) and ResultFrame (outgoing, encoded).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/result.h"
#include "base/widget_registry.h"

namespace velto::base {

/// Why a frame did not decode. `incomplete` is set exactly when the input ended before the
/// frame's value was complete (one of the three end-of-input messages): more bytes may
/// still complete it. Every other failure is final for these bytes.
struct DecodeError {
  std::string message;
  bool incomplete = false;
};

struct ParsedFrame;

/// One incoming frame: the widget instance id and the widget's kind and state.
struct Frame {
  uint8_t id = 0;
  WidgetRegistry data;

  /// Decodes one frame from the start of [data, data + size). On success also reports how
  /// many bytes the frame used; bytes after it are not looked at.
  static Result<ParsedFrame, DecodeError> parse(const char* data, std::size_t size);

  /// The identity key under which the frame's action is filed ("Joystick_3").
  std::string identity() const;
};

struct ParsedFrame {
  Frame frame;
  std::size_t used = 0;
};

/// One outgoing reply.
struct ResultFrame {
  uint8_t id = 0;
  ServerStatus status = ServerStatus::NotInit;
  ResultRegistry data;

  /// The MessagePack encoding, every header in its shortest form, in one exact allocation.
  std::vector<char> bufferize() const;
  /// The size of that encoding.
  std::size_t encoded_size() const;
  /// Writes the encoding to `out`, which holds exactly `size` == encoded_size() bytes.
  void encode_to(char* out, std::size_t size) const;
};

/// A reply's encoding, kept in place when it is short (every ConfirmResult reply, short
/// error texts) and on the heap otherwise: the reply path allocates nothing in the usual case.
class EncodedReply {
 public:
  static constexpr std::size_t kInPlace = 64;

  explicit EncodedReply(const ResultFrame& reply);
  const char* data() const { return heap_ ? heap_.get() : in_place_; }
  std::size_t size() const { return size_; }

 private:
  std::size_t size_;
  std::unique_ptr<char[]> heap_;
  char in_place_[kInPlace];
};

}  // namespace velto::base
