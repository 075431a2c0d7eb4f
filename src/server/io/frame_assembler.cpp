// Cutting received bytes into frames.
#include "server/io/frame_assembler.h"

#include <algorithm>

#include "base/panic.h"

namespace velto::server::io {

std::string frame_too_large_message() {
  return "frame exceeds " + std::to_string(kMaxFrameBytes) + " bytes";
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
}

void FrameAssembler::drop_all() {
  buffer_.clear();
  start_ = 0;
  stalled_ = false;
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
    return std::move(value.frame);
  }

  auto& error = parsed.error();
  if (error.incomplete && window < kMaxFrameBytes) {
    stalled_ = true;
    return Incomplete{};
  }
  drop_all();
  if (error.incomplete) return BadInput{frame_too_large_message()};
  return BadInput{std::move(error.message)};
}

}  // namespace velto::server::io
