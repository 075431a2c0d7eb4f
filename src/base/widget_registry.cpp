// Identity keys: building them from a kind name and reading them back from a function name.
#include "base/widget_registry.h"

#include <algorithm>
#include <vector>

#include "base/utf8.h"

namespace velto::base {

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

namespace {

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Edit distance (insertions, deletions, substitutions of bytes), ASCII case ignored.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = ascii_lower(a[i - 1]) == ascii_lower(b[j - 1]);
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

bool is_widget_kind(std::string_view word) {
  return std::find(kWidgetKindNames.begin(), kWidgetKindNames.end(), word) !=
         kWidgetKindNames.end();
}

std::string_view closest_widget_kind(std::string_view word) {
  std::string_view best = kWidgetKindNames[0];
  std::size_t best_distance = edit_distance(word, best);
  for (std::string_view kind : kWidgetKindNames) {
    const std::size_t d = edit_distance(word, kind);
    if (d < best_distance) {
      best = kind;
      best_distance = d;
    }
  }
  return best;
}

std::string action_identity(uint8_t id, std::string_view name) {
  return identity_key(first_word(name), id);
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
