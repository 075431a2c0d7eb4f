// Identity keys: building them from a kind name and reading them back from a function name.
#include "base/widget_registry.h"

#include <charconv>

#include "base/utf8.h"

namespace velto::base {

namespace {

/// The first run of characters of `name` that are not Unicode white space.
std::string_view first_word(std::string_view name) {
  std::size_t pos = 0;
  std::size_t begin = name.size();
  while (pos < name.size()) {
    const std::size_t at = pos;
    if (!utf8::is_white_space(utf8::next_code_point(name, pos))) {
      begin = at;
      break;
    }
  }
  std::size_t end = name.size();
  pos = begin;
  while (pos < name.size()) {
    const std::size_t at = pos;
    if (utf8::is_white_space(utf8::next_code_point(name, pos))) {
      end = at;
      break;
    }
  }
  return name.substr(begin, end - begin);
}

}  // namespace

std::string action_identity(uint8_t id, std::string_view name) {
  const std::string_view word = first_word(name);
  char digits[3];
  const auto end = std::to_chars(digits, digits + sizeof digits, id).ptr;
  std::string key;
  key.reserve(word.size() + 1 + static_cast<std::size_t>(end - digits));
  key.append(word);
  key.push_back('_');
  key.append(digits, end);
  return key;
}

Result<std::pair<uint8_t, std::string>> extract_identity(std::string_view text) {
  const std::size_t first = text.find('_');
  if (first == std::string_view::npos) {
    return Err(Error("no `_` in function name `" + std::string(text) + "`"));
  }
  std::string_view piece = text.substr(first + 1);
  piece = piece.substr(0, piece.find('_'));

  // An optional "+", then one or more ASCII digits, leading zeros allowed, at most 255.
  std::string_view digits = piece;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  unsigned value = 0;
  bool ok = !digits.empty();
  for (char c : digits) {
    if (c < '0' || c > '9') {
      ok = false;
      break;
    }
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 255) {
      ok = false;
      break;
    }
  }
  if (!ok) {
    return Err(Error("`" + std::string(piece) + "` is not a widget id from 0 to 255"));
  }
  return std::pair<uint8_t, std::string>(static_cast<uint8_t>(value),
                                         std::string(text.substr(0, first)));
}

}  // namespace velto::base
