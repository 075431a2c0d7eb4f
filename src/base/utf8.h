// UTF-8 checks and the text forms that decoder messages and identity keys need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velto::base::utf8 {

/// Where a byte string stops being UTF-8: the bytes before `valid_up_to` are valid; then
/// either an invalid sequence of `error_len` bytes (1 to 3), or, when `error_len` is 0, a
/// sequence that was valid so far when the input ended.
struct Utf8Error {
  std::size_t valid_up_to = 0;
  uint8_t error_len = 0;

  /// "invalid utf-8 sequence of 1 bytes from index 4", "incomplete utf-8 byte sequence from index
  /// 2".
  std::string text() const;
};

/// The first UTF-8 error in `bytes`, if any.
std::optional<Utf8Error> check(std::string_view bytes);

/// The bytes as text, each invalid sequence replaced by U+FFFD.
std::string lossy(std::string_view bytes);

/// Valid UTF-8 in double quotes, with `"` `\` newline, CR, tab and NUL escaped by a
/// backslash and other non-printable characters as \u{hex}.
std::string quoted(std::string_view text);

/// Decodes the code point at `pos` and moves `pos` past it. An invalid sequence yields
/// U+FFFD and moves past its bytes.
char32_t next_code_point(std::string_view text, std::size_t& pos);

/// Whether `c` is in the Unicode White_Space set.
constexpr bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f ||
         c == 0x3000;
}

}  // namespace velto::base::utf8
