// velto-frame: shows how the server decodes a frame's bytes and what bytes a reply carries.
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/frame.h"

namespace {

using velto::base::Frame;
using velto::base::ResultFrame;
using velto::base::ServerStatus;

constexpr int kInvalid = 1;     // the bytes can never be a frame
constexpr int kIncomplete = 2;  // the input ended before the frame was complete
constexpr int kUsage = 64;

constexpr const char* kUsageText =
    "usage:\n"
    "  velto-frame decode <hex>     decode a frame given as hex digits (spaces allowed)\n"
    "  velto-frame decode -         decode a frame read as raw bytes from standard input\n"
    "  velto-frame encode <id> <status> confirm <true|false>\n"
    "  velto-frame encode <id> <status> error <text>\n"
    "                               print a reply as hex; <status> is NotInit, Idle, Busy\n"
    "                               or Error\n";

int usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "velto-frame: %s\n", problem);
  std::fputs(kUsageText, stderr);
  return kUsage;
}

bool parse_hex(std::string_view text, std::string& out) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ':') continue;
    const int v = nibble(c);
    if (v < 0) return false;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<char>(high << 4 | v));
      high = -1;
    }
  }
  return high < 0;
}

bool read_stdin(std::string& out) {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(0, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) return false;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

std::string float_text(float v) {
  char buf[64];
  const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  return std::string(buf, end);
}

void print_fields(const velto::base::WidgetRegistry& data) {
  namespace w = velto::base::widget;
  std::visit(
      [](const auto& kind) {
        using T = std::decay_t<decltype(kind)>;
        if constexpr (std::is_same_v<T, w::ToggleButton>) {
          std::printf("value      %s\n", kind.value ? "true" : "false");
        } else if constexpr (std::is_same_v<T, w::PressButton>) {
          std::printf("pressed    %s\n", kind.pressed ? "true" : "false");
        } else if constexpr (std::is_same_v<T, w::DirectionalButton>) {
          std::printf("direction  %u\n", unsigned{kind.direction});
        } else if constexpr (std::is_same_v<T, w::Joystick>) {
          std::printf("delta.x    %s\n", float_text(kind.delta.x).c_str());
          std::printf("delta.y    %s\n", float_text(kind.delta.y).c_str());
          std::printf("intensity  %s\n", float_text(kind.intensity).c_str());
        }
      },
      data.value);
}

int decode(int argc, char** argv) {
  if (argc < 1) return usage("decode needs hex digits or -");
  std::string bytes;
  if (argc == 1 && std::string_view(argv[0]) == "-") {
    if (!read_stdin(bytes)) return usage("cannot read standard input");
  } else {
    for (int i = 0; i < argc; ++i) {
      if (!parse_hex(argv[i], bytes)) return usage("not an even number of hex digits");
    }
  }
  auto parsed = Frame::parse(bytes.data(), bytes.size());
  if (!parsed) {
    const auto& error = parsed.error();
    std::printf("error      %s\n", error.message.c_str());
    if (error.incomplete)
      std::printf("           (the input ended; more bytes could complete it)\n");
    return error.incomplete ? kIncomplete : kInvalid;
  }
  const Frame& frame = parsed.value().frame;
  std::printf("id         %u\n", unsigned{frame.id});
  std::printf("kind       %.*s (%zu)\n", static_cast<int>(frame.data.name().size()),
              frame.data.name().data(), frame.data.value.index());
  print_fields(frame.data);
  std::printf("key        %s\n", frame.identity().c_str());
  std::printf("used       %zu of %zu bytes\n", parsed.value().used, bytes.size());
  return 0;
}

int encode(int argc, char** argv) {
  if (argc != 4) return usage("encode needs <id> <status> confirm|error <value>");
  ResultFrame reply;
  const std::string_view id_text = argv[0];
  unsigned id = 0;
  const auto [end, ec] = std::from_chars(id_text.data(), id_text.data() + id_text.size(), id);
  if (ec != std::errc() || end != id_text.data() + id_text.size() || id > 255) {
    return usage("<id> must be a number from 0 to 255");
  }
  reply.id = static_cast<uint8_t>(id);
  const std::string_view status = argv[1];
  bool found = false;
  for (std::size_t i = 0; i < velto::base::kServerStatusNames.size(); ++i) {
    if (status == velto::base::kServerStatusNames[i]) {
      reply.status = static_cast<ServerStatus>(i);
      found = true;
    }
  }
  if (!found) return usage("<status> must be NotInit, Idle, Busy or Error");
  const std::string_view kind = argv[2];
  const std::string_view value = argv[3];
  if (kind == "confirm") {
    if (value != "true" && value != "false") return usage("confirm takes true or false");
    reply.data = velto::base::result::ConfirmResult{value == "true"};
  } else if (kind == "error") {
    reply.data = velto::base::result::ErrorResult{std::string(value)};
  } else {
    return usage("the result is confirm or error");
  }
  const std::vector<char> bytes = reply.bufferize();
  std::string hex;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (i != 0) hex.push_back(' ');
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0xf]);
  }
  std::printf("%s\n", hex.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage(nullptr);
  const std::string_view command = argv[1];
  if (command == "decode") return decode(argc - 2, argv + 2);
  if (command == "encode") return encode(argc - 2, argv + 2);
  return usage("the command is decode or encode");
}
