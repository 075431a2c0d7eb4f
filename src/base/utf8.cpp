// UTF-8 validation, lossy conversion, quoting and code point decoding.
#include "base/utf8.h"

#include <array>
#include <utility>

namespace velto::base::utf8 {

namespace {

// One sequence starting at `i`: its length when valid (1 to 4); otherwise 0, with
// `error_len` the length of the invalid prefix (1 to 3) or 0 when the input ended inside
// a sequence that was valid so far.
struct Sequence {
  uint8_t len;
  uint8_t error_len;
};

constexpr bool is_continuation(unsigned char b) { return (b & 0xc0) == 0x80; }

Sequence sequence_at(const unsigned char* s, std::size_t n, std::size_t i) {
  const unsigned char b0 = s[i];
  if (b0 < 0x80) return {1, 0};
  unsigned width;
  unsigned char lo = 0x80, hi = 0xbf;  // allowed range of the second byte
  if (b0 >= 0xc2 && b0 <= 0xdf) {
    width = 2;
  } else if (b0 >= 0xe0 && b0 <= 0xef) {
    width = 3;
    if (b0 == 0xe0) lo = 0xa0;  // no overlong forms
    if (b0 == 0xed) hi = 0x9f;  // no surrogates
  } else if (b0 >= 0xf0 && b0 <= 0xf4) {
    width = 4;
    if (b0 == 0xf0) lo = 0x90;
    if (b0 == 0xf4) hi = 0x8f;  // nothing above U+10FFFF
  } else {
    return {0, 1};
  }
  if (i + 1 >= n) return {0, 0};
  if (s[i + 1] < lo || s[i + 1] > hi) return {0, 1};
  for (unsigned k = 2; k < width; ++k) {
    if (i + k >= n) return {0, 0};
    if (!is_continuation(s[i + k])) return {0, static_cast<uint8_t>(k)};
  }
  return {static_cast<uint8_t>(width), 0};
}

const unsigned char* bytes_of(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

void append_code_point(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xc0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xe0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else {
    out.push_back(static_cast<char>(0xf0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  }
}

// Characters shown as \u{..} in quoted text: control characters, white space other than
// the space itself, line and paragraph separators, format characters and private use.
constexpr std::array<std::pair<char32_t, char32_t>, 33> kNotPrintable = {{
    {0x0000, 0x001f},     {0x007f, 0x009f},   {0x00a0, 0x00a0},   {0x00ad, 0x00ad},
    {0x0600, 0x0605},     {0x061c, 0x061c},   {0x06dd, 0x06dd},   {0x070f, 0x070f},
    {0x0890, 0x0891},     {0x08e2, 0x08e2},   {0x1680, 0x1680},   {0x180e, 0x180e},
    {0x2000, 0x200f},     {0x2028, 0x202f},   {0x205f, 0x2064},   {0x2066, 0x206f},
    {0x3000, 0x3000},     {0xe000, 0xf8ff},   {0xfeff, 0xfeff},   {0xfff9, 0xfffb},
    {0x110bd, 0x110bd},   {0x110cd, 0x110cd}, {0x13430, 0x1343f}, {0x1bca0, 0x1bca3},
    {0x1d173, 0x1d17a},   {0xe0001, 0xe0001}, {0xe0020, 0xe007f}, {0xf0000, 0xffffd},
    {0x100000, 0x10fffd}, {0xfffe, 0xffff},   {0x1fffe, 0x1ffff}, {0xffffe, 0xfffff},
    {0x10fffe, 0x10ffff},
}};

bool is_printable(char32_t c) {
  if (c >= 0x20 && c < 0x7f) return true;
  for (const auto& [lo, hi] : kNotPrintable) {
    if (c >= lo && c <= hi) return false;
  }
  return true;
}

}  // namespace

std::string Utf8Error::text() const {
  if (error_len == 0) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
  }
  return "invalid utf-8 sequence of " + std::to_string(error_len) + " bytes from index " +
         std::to_string(valid_up_to);
}

std::optional<Utf8Error> check(std::string_view text) {
  const unsigned char* s = bytes_of(text);
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    const Sequence seq = sequence_at(s, n, i);
    if (seq.len == 0) return Utf8Error{i, seq.error_len};
    i += seq.len;
  }
  return std::nullopt;
}

char32_t next_code_point(std::string_view text, std::size_t& pos) {
  const unsigned char* s = bytes_of(text);
  const Sequence seq = sequence_at(s, text.size(), pos);
  if (seq.len == 0) {
    pos = seq.error_len == 0 ? text.size() : pos + seq.error_len;
    return 0xfffd;
  }
  char32_t c = seq.len == 1 ? s[pos] : s[pos] & (0x7f >> seq.len);
  for (unsigned k = 1; k < seq.len; ++k) c = (c << 6) | (s[pos + k] & 0x3f);
  pos += seq.len;
  return c;
}

std::string lossy(std::string_view bytes) {
  const unsigned char* s = bytes_of(bytes);
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const Sequence seq = sequence_at(s, bytes.size(), pos);
    if (seq.len != 0) {
      out.append(bytes.substr(pos, seq.len));
      pos += seq.len;
    } else {
      append_code_point(out, 0xfffd);
      pos = seq.error_len == 0 ? bytes.size() : pos + seq.error_len;
    }
  }
  return out;
}

std::string quoted(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t at = pos;
    const char32_t c = next_code_point(text, pos);
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\0':
        out += "\\0";
        continue;
      default:
        break;
    }
    if (is_printable(c)) {
      out.append(text.substr(at, pos - at));
      continue;
    }
    out += "\\u{";
    int shift = 20;
    while (shift > 0 && ((c >> shift) & 0xf) == 0) shift -= 4;
    for (; shift >= 0; shift -= 4) out.push_back(kHex[(c >> shift) & 0xf]);
    out.push_back('}');
  }
  out.push_back('"');
  return out;
}

}  // namespace velto::base::utf8
