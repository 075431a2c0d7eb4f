// Cutting received bytes into frames.
#include "server/io/frame_assembler.h"

#include <algorithm>
#include <utility>

#include "base/mp_reader.h"
#include "base/panic.h"

namespace velto::server::io {

std::string frame_too_large_message() {
  return "frame exceeds " + std::to_string(kMaxFrameBytes) + " bytes";
}

std::string frame_stalled_message() {
  return "frame still incomplete after " + std::to_string(kMaxFurtherPasses) +
         " further passes that brought more bytes";
}

uint64_t least_value_size(const char* data, std::size_t size, uint64_t limit) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  uint64_t pos = 0;
  uint64_t values = 1;  // values not yet started; each takes at least one byte
  while (values > 0) {
    if (pos >= size) return pos + values;
    --values;
    const uint64_t head = 1u + base::mp::kMarkers[p[pos]].head;
    if (pos + head > size) {
      // The head is cut short: its length field counts as zero, which leaves what the marker
      // alone fixes (an extension's type byte).
      const unsigned char marker_alone[9] = {p[pos]};
      return pos + head + base::mp::announced(marker_alone).bytes + values;
    }
    const base::mp::Announced body = base::mp::announced(p + pos);
    pos += head + body.bytes;
    values += body.values;
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
