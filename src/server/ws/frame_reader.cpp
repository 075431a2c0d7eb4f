// FrameReader: the server side of the WebSocket framing.
#include "server/ws/frame_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "base/utf8.h"

namespace velto::server::ws {

namespace {

constexpr std::uint8_t kContinuation = 0x0;
constexpr std::uint8_t kText = 0x1;
constexpr std::uint8_t kBinary = 0x2;
constexpr std::uint8_t kClose = 0x8;
constexpr std::uint8_t kPing = 0x9;
constexpr std::uint8_t kPong = 0xa;

constexpr bool is_control(std::uint8_t opcode) { return (opcode & 0x8) != 0; }

// Close codes a peer may send: the protocol's own codes except those that only stand for a
// missing or abnormal close (1004 is reserved, 1005 and 1006 are never sent, 1015 is for TLS),
// the registered 1012-1014, and the ranges for libraries (3000-3999) and applications.
constexpr bool valid_close_code(std::uint16_t code) {
  if (code >= 3000 && code <= 4999) return true;
  return code >= 1000 && code <= 1014 && code != 1004 && code != 1005 && code != 1006;
}

// Copies `size` bytes from `src` to `dst` XORed with the mask, byte k of them taking mask byte
// (phase + k) % 4. Eight bytes at a time through a 64-bit word.
void unmask(char* dst, const char* src, std::size_t size, const std::array<unsigned char, 4>& mask,
            std::uint64_t phase) {
  unsigned char pattern[8];
  for (std::size_t i = 0; i < 8; ++i) pattern[i] = mask[(phase + i) & 3];
  std::uint64_t word_mask;
  std::memcpy(&word_mask, pattern, 8);
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, src + i, 8);
    word ^= word_mask;
    std::memcpy(dst + i, &word, 8);
  }
  for (; i < size; ++i) dst[i] = static_cast<char>(src[i] ^ pattern[i & 7]);
}

std::string opcode_text(std::uint8_t opcode) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return std::string("unknown opcode 0x") + kHex[opcode & 0xf];
}

}  // namespace

bool Utf8Stream::add(const char* data, std::size_t size) {
  std::size_t used = 0;
  // First finish the character cut at the end of the previous piece, a byte at a time.
  while (pending_size_ > 0 && used < size) {
    pending_[pending_size_++] = data[used++];
    const auto error = base::utf8::check({pending_.data(), pending_size_});
    if (!error) {
      pending_size_ = 0;
    } else if (error->error_len != 0) {
      return false;
    }
  }
  if (used == size) return true;
  const auto error = base::utf8::check({data + used, size - used});
  if (!error) return true;
  if (error->error_len != 0) return false;
  pending_size_ = size - used - error->valid_up_to;
  std::memcpy(pending_.data(), data + used + error->valid_up_to, pending_size_);
  return true;
}

void FrameReader::feed(const char* data, std::size_t size) {
  if (state_ == State::kStopped) return;
  if (pos_ == in_.size()) {
    in_.clear();
  } else {
    in_.erase(0, pos_);
  }
  pos_ = 0;
  in_.append(data, size);
}

std::size_t FrameReader::held() const {
  return in_.size() - pos_ + message_.size() + control_.size();
}

std::optional<Event> FrameReader::next() {
  // The common case first: a whole unfragmented data message of up to 125 bytes, read
  // straight into its event.
  if (state_ == State::kHeader && !in_message_ && in_.size() - pos_ >= 6) {
    const auto* p = reinterpret_cast<const unsigned char*>(in_.data() + pos_);
    const std::size_t length = p[1] & 0x7f;
    if ((p[0] == (0x80 | kBinary) || p[0] == (0x80 | kText)) && (p[1] & 0x80) != 0 &&
        length <= 125 && in_.size() - pos_ >= 6 + length) {
      const bool binary = p[0] == (0x80 | kBinary);
      std::memcpy(mask_.data(), p + 2, 4);
      std::optional<Event> event(std::in_place, std::in_place_type<Message>, binary,
                                 std::string(length, '\0'));
      std::string& payload = std::get<Message>(*event).payload;
      unmask(payload.data(), in_.data() + pos_ + 6, length, mask_, 0);
      pos_ += 6 + length;
      if (!binary && base::utf8::check(payload))
        return stop(1007, "text message that is not UTF-8");
      return event;
    }
  }
  for (;;) {
    std::optional<Event> event;
    bool progressed = false;
    switch (state_) {
      case State::kStopped:
        return std::nullopt;
      case State::kHeader:
        progressed = read_header(event);
        break;
      case State::kPayload:
        progressed = read_payload(event);
        break;
    }
    if (event) return event;
    if (!progressed) return std::nullopt;
  }
}

Event FrameReader::stop(std::uint16_t code, std::string why) {
  state_ = State::kStopped;
  in_.clear();
  pos_ = 0;
  message_.clear();
  control_.clear();
  return Violation{code, std::move(why)};
}

// Reads a frame header once its bytes are there, checking each byte as it is reached, so
// that the same bytes give the same verdict however they were split.
bool FrameReader::read_header(std::optional<Event>& event) {
  const std::size_t avail = in_.size() - pos_;
  if (avail == 0) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(in_.data() + pos_);

  const bool fin = (p[0] & 0x80) != 0;
  const std::uint8_t opcode = p[0] & 0x0f;
  // No extension is ever agreed on, so every reserved bit must be clear.
  if ((p[0] & 0x70) != 0) return event = stop(1002, "reserved bits set"), true;
  switch (opcode) {
    case kContinuation:
    case kText:
    case kBinary:
    case kClose:
    case kPing:
    case kPong:
      break;
    default:
      return event = stop(1002, opcode_text(opcode)), true;
  }
  const bool control = is_control(opcode);
  if (control && !fin) return event = stop(1002, "fragmented control frame"), true;
  if (opcode == kContinuation && !in_message_) {
    return event = stop(1002, "continuation frame without a message to continue"), true;
  }
  if (opcode != kContinuation && !control && in_message_) {
    return event = stop(1002, "data frame inside a fragmented message"), true;
  }

  if (avail < 2) return false;
  if ((p[1] & 0x80) == 0) return event = stop(1002, "unmasked frame"), true;
  std::uint64_t length = p[1] & 0x7f;
  if (control && length > 125) {
    return event = stop(1002, "control frame longer than 125 bytes"), true;
  }
  const std::size_t extended = length == 126 ? 2 : length == 127 ? 8 : 0;
  if (avail < 2 + extended) return false;
  if (extended != 0) {
    length = 0;
    for (std::size_t i = 0; i < extended; ++i) length = length << 8 | p[2 + i];
    if (length >> 63 != 0) {
      return event = stop(1002, "64-bit length with its top bit set"), true;
    }
    if (length < (extended == 2 ? 126u : 0x10000u)) {
      return event = stop(1002, "length not in its shortest form"), true;
    }
  }
  const std::size_t header_size = 2 + extended + 4;
  if (avail < header_size) return false;
  std::memcpy(mask_.data(), p + 2 + extended, 4);
  pos_ += header_size;
  opcode_ = opcode;
  fin_ = fin;
  remaining_ = length;
  offset_ = 0;

  if (control) {
    control_.clear();
    reason_.reset();
  } else {
    if (opcode != kContinuation) {
      in_message_ = true;
      binary_ = opcode == kBinary;
      oversized_ = false;
      message_size_ = 0;
      message_.clear();
      text_.reset();
    }
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    message_size_ = length > kMax - message_size_ ? kMax : message_size_ + length;
    if (!oversized_ && message_size_ > kMaxMessage) {
      oversized_ = true;
      message_.clear();
    }
    // A whole message in one frame, all of it here: straight from the input to the event.
    if (opcode != kContinuation && fin && !oversized_ && in_.size() - pos_ >= length) {
      std::string payload(length, '\0');
      unmask(payload.data(), in_.data() + pos_, length, mask_, 0);
      pos_ += length;
      in_message_ = false;
      if (!binary_ && base::utf8::check(payload)) {
        event = stop(1007, "text message that is not UTF-8");
      } else {
        event = Message{binary_, std::move(payload)};
      }
      return true;
    }
  }
  state_ = State::kPayload;
  return true;
}

// Takes what is there of the payload: unmasked into the message or the control frame, or,
// for a message over the bound, unmasked only as far as its text needs checking.
bool FrameReader::read_payload(std::optional<Event>& event) {
  const std::size_t n =
      static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, in_.size() - pos_));
  if (n == 0 && remaining_ > 0) return false;
  const char* src = in_.data() + pos_;
  if (is_control(opcode_)) {
    const std::size_t old = control_.size();
    control_.resize(old + n);
    unmask(control_.data() + old, src, n, mask_, offset_);
    if (opcode_ == kClose) {
      if (old < 2 && control_.size() >= 2) {
        const auto code = static_cast<std::uint16_t>(static_cast<unsigned char>(control_[0]) << 8 |
                                                     static_cast<unsigned char>(control_[1]));
        if (!valid_close_code(code)) {
          return event = stop(1002, "invalid close code " + std::to_string(code)), true;
        }
      }
      const std::size_t from = std::max<std::size_t>(old, 2);
      if (control_.size() > from && !reason_.add(control_.data() + from, control_.size() - from)) {
        return event = stop(1007, "close reason that is not UTF-8"), true;
      }
    }
  } else if (!oversized_) {
    const std::size_t old = message_.size();
    message_.resize(old + n);
    unmask(message_.data() + old, src, n, mask_, offset_);
    if (!binary_ && !text_.add(message_.data() + old, n)) {
      return event = stop(1007, "text message that is not UTF-8"), true;
    }
  } else if (!binary_) {
    char piece[4096];
    for (std::size_t done = 0; done < n;) {
      const std::size_t m = std::min(sizeof piece, n - done);
      unmask(piece, src + done, m, mask_, offset_ + done);
      if (!text_.add(piece, m)) return event = stop(1007, "text message that is not UTF-8"), true;
      done += m;
    }
  }
  pos_ += n;
  offset_ += n;
  remaining_ -= n;
  if (remaining_ > 0) return false;

  state_ = State::kHeader;
  switch (opcode_) {
    case kPing:
      event = Ping{std::exchange(control_, {})};
      return true;
    case kPong:
      control_.clear();
      event = Pong{};
      return true;
    case kClose: {
      if (control_.size() == 1)
        return event = stop(1002, "close frame with a 1-byte payload"), true;
      if (!reason_.complete()) return event = stop(1007, "close reason that is not UTF-8"), true;
      Close close;
      if (control_.size() >= 2) {
        close.code = static_cast<std::uint16_t>(static_cast<unsigned char>(control_[0]) << 8 |
                                                static_cast<unsigned char>(control_[1]));
        close.reason = control_.substr(2);
      }
      stop(1000, {});
      event = std::move(close);
      return true;
    }
    default:
      break;
  }
  if (!fin_) return true;
  in_message_ = false;
  if (!binary_ && !text_.complete())
    return event = stop(1007, "text message that is not UTF-8"), true;
  if (oversized_) {
    event = Oversized{message_size_};
  } else {
    event = Message{binary_, std::exchange(message_, {})};
  }
  return true;
}

}  // namespace velto::server::ws
