// Server frames: whole (FIN set), unmasked, header and payload in one buffer.
#include "server/ws/frame_writer.h"

#include <cstddef>

namespace velto::server::ws {

namespace {

constexpr unsigned char kFin = 0x80;
constexpr unsigned char kBinary = 0x2;
constexpr unsigned char kClose = 0x8;
constexpr unsigned char kPong = 0xa;

// The header for a payload of `size` bytes, with the payload space reserved after it.
std::string header(unsigned char opcode, std::size_t size) {
  std::string out;
  out.reserve(10 + size);
  out.push_back(static_cast<char>(kFin | opcode));
  if (size <= 125) {
    out.push_back(static_cast<char>(size));
  } else if (size <= 0xffff) {
    out.push_back(static_cast<char>(126));
    out.push_back(static_cast<char>(size >> 8));
    out.push_back(static_cast<char>(size & 0xff));
  } else {
    out.push_back(static_cast<char>(127));
    const auto wide = static_cast<std::uint64_t>(size);
    for (int shift = 56; shift >= 0; shift -= 8) {
      out.push_back(static_cast<char>((wide >> shift) & 0xff));
    }
  }
  return out;
}

}  // namespace

std::string binary_frame(std::string_view payload) {
  std::string out = header(kBinary, payload.size());
  out.append(payload);
  return out;
}

std::string pong_frame(std::string_view payload) {
  if (payload.size() > 125) payload = payload.substr(0, 125);
  std::string out = header(kPong, payload.size());
  out.append(payload);
  return out;
}

std::string close_frame(std::uint16_t code, std::string_view reason) {
  if (reason.size() > 123) {
    // Cut before a character that would not fit whole.
    std::size_t end = 123;
    while (end > 0 && (static_cast<unsigned char>(reason[end]) & 0xc0) == 0x80) --end;
    reason = reason.substr(0, end);
  }
  std::string out = header(kClose, 2 + reason.size());
  out.push_back(static_cast<char>(code >> 8));
  out.push_back(static_cast<char>(code & 0xff));
  out.append(reason);
  return out;
}

}  // namespace velto::server::ws
