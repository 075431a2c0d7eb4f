// Cutting received bytes into frames.
#include "server/io/frame_assembler.h"

#include <algorithm>
#include <utility>

#include "base/panic.h"

namespace velto::server::io {

std::string frame_too_large_message() {
  return "frame exceeds " + std::to_string(kMaxFrameBytes) + " bytes";
}

std::string frame_stalled_message() {
  return "frame still incomplete after " + std::to_string(kMaxFurtherPasses) +
         " further passes that brought more bytes";
}

namespace {

// Big-endian unsigned integer of `width` bytes (1, 2 or 4).
uint64_t read_length(const unsigned char* p, int width) {
  uint64_t n = 0;
  for (int i = 0; i < width; ++i) n = (n << 8) | p[i];
  return n;
}

// What one header announces: its own size, then either payload bytes or more values.
struct Header {
  int size = 1;          // marker plus fixed fields, length field included
  int length_width = 0;  // bytes of the length field after the marker (0: none)
  uint64_t payload = 0;  // fixed payload bytes (numbers, the extension type byte)
  enum { Bytes, Items, Pairs } counts = Bytes;
};

Header header_of(unsigned char c) {
  if (c <= 0x7f || c >= 0xe0) return {};                          // fixint
  if (c <= 0x8f) return {1, 0, 0, Header::Pairs};                 // fixmap
  if (c <= 0x9f) return {1, 0, 0, Header::Items};                 // fixarray
  if (c <= 0xbf) return {1, 0, static_cast<uint64_t>(c & 0x1f)};  // fixstr
  switch (c) {
    case 0xc4:
      return {2, 1, 0};  // bin 8
    case 0xc5:
      return {3, 2, 0};  // bin 16
    case 0xc6:
      return {5, 4, 0};  // bin 32
    case 0xc7:
      return {2, 1, 1};  // ext 8, type byte
    case 0xc8:
      return {3, 2, 1};
    case 0xc9:
      return {5, 4, 1};
    case 0xca:
      return {1, 0, 4};  // float 32
    case 0xcb:
      return {1, 0, 8};
    case 0xcc:
    case 0xd0:
      return {1, 0, 1};  // 8-bit integers
    case 0xcd:
    case 0xd1:
      return {1, 0, 2};
    case 0xce:
    case 0xd2:
      return {1, 0, 4};
    case 0xcf:
    case 0xd3:
      return {1, 0, 8};
    case 0xd4:
      return {1, 0, 2};  // fixext: type + data
    case 0xd5:
      return {1, 0, 3};
    case 0xd6:
      return {1, 0, 5};
    case 0xd7:
      return {1, 0, 9};
    case 0xd8:
      return {1, 0, 17};
    case 0xd9:
      return {2, 1, 0};  // str 8
    case 0xda:
      return {3, 2, 0};
    case 0xdb:
      return {5, 4, 0};
    case 0xdc:
      return {3, 2, 0, Header::Items};  // array 16
    case 0xdd:
      return {5, 4, 0, Header::Items};
    case 0xde:
      return {3, 2, 0, Header::Pairs};  // map 16
    case 0xdf:
      return {5, 4, 0, Header::Pairs};
    default:
      return {};  // nil, false, true and the unused marker: one byte
  }
}

}  // namespace

uint64_t least_value_size(const char* data, std::size_t size, uint64_t limit) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  uint64_t pos = 0;
  uint64_t values = 1;  // values not yet started; each takes at least one byte
  while (values > 0) {
    if (pos >= size) return pos + values;
    const Header h = header_of(p[pos]);
    --values;
    if (pos + static_cast<uint64_t>(h.size) > size) return pos + h.size + h.payload + values;
    uint64_t length = h.length_width > 0 ? read_length(p + pos + 1, h.length_width) : 0;
    pos += static_cast<uint64_t>(h.size);
    switch (h.counts) {
      case Header::Bytes:
        pos += h.payload + length;
        break;
      case Header::Items:
        values += h.length_width > 0 ? length : (p[pos - 1] & 0x0f);
        break;
      case Header::Pairs:
        values += 2 * (h.length_width > 0 ? length : (p[pos - 1] & 0x0f));
        break;
    }
    // Both terms stay far below overflow: each is bounded by `limit` plus one 32-bit length
    // (times two for a map) before this check ends the walk.
    if (pos + values > limit) return pos + values;
  }
  return pos;
}

void FrameAssembler::append(const char* data, std::size_t size) {
  if (size == 0) return;
  // Spent bytes are removed here rather than after each frame, so a read that carries
  // many frames moves its leftover once.
  if (start_ > 0) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), data, data + size);
  stalled_ = false;
  grew_ = true;
}

FrameAssembler::BadInput FrameAssembler::drop_all(std::string message) {
  BadInput bad{std::move(message), held()};
  buffer_.clear();
  start_ = 0;
  stalled_ = false;
  carried_ = false;
  further_passes_ = 0;
  return bad;
}

FrameAssembler::Next FrameAssembler::next() {
  if (held() == 0 || stalled_) return Incomplete{};

  // The decoder never sees more than the bound, so "incomplete" with a full window means
  // the frame needs more than kMaxFrameBytes.
  const std::size_t window = std::min(held(), kMaxFrameBytes);
  auto parsed = base::Frame::parse(buffer_.data() + start_, window);
  if (parsed.ok()) {
    auto& value = parsed.value();
    // A frame of zero bytes would make the caller's drain loop spin for ever.
    if (value.used == 0 || value.used > window) {
      throw base::Panic("frame decoder used " + std::to_string(value.used) + " of " +
                        std::to_string(window) + " bytes");
    }
    start_ += value.used;
    if (start_ == buffer_.size()) {
      buffer_.clear();
      start_ = 0;
    }
    // What follows is a new frame, younger than any pass.
    carried_ = false;
    further_passes_ = 0;
    return std::move(value.frame);
  }

  auto& error = parsed.error();
  if (!error.incomplete) return drop_all(std::move(error.message));
  if (window == kMaxFrameBytes ||
      least_value_size(buffer_.data() + start_, window, kMaxFrameBytes) > kMaxFrameBytes) {
    return drop_all(frame_too_large_message());
  }
  stalled_ = true;
  return Incomplete{};
}

std::optional<FrameAssembler::BadInput> FrameAssembler::end_pass() {
  const bool grew = std::exchange(grew_, false);
  if (held() == 0) {
    carried_ = false;
    further_passes_ = 0;
    return std::nullopt;
  }
  if (carried_ && grew && ++further_passes_ >= kMaxFurtherPasses) {
    return drop_all(frame_stalled_message());
  }
  carried_ = true;
  return std::nullopt;
}

}  // namespace velto::server::io
