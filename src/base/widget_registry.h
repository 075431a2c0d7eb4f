// The widget model, the server status and the result data carried by result frames.
#pragma once

#include <array>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "base/result.h"

namespace velto::base {

/// A point or vector of the joystick, two 32-bit floats.
struct Coord {
  float x = 0;
  float y = 0;
};

/// The six widget kinds with their state. The variant index is the kind index on the wire.
namespace widget {
struct ClickButton {};
struct ToggleButton {
  bool value = false;
};
struct ConfirmButton {};
struct PressButton {
  bool pressed = false;
};
struct DirectionalButton {
  uint8_t direction = 0;
};
struct Joystick {
  Coord delta;
  float intensity = 0;
};
}  // namespace widget

enum class WidgetKind : uint8_t {
  ClickButton = 0,
  ToggleButton = 1,
  ConfirmButton = 2,
  PressButton = 3,
  DirectionalButton = 4,
  Joystick = 5,
};
inline constexpr std::size_t kWidgetKindCount = 6;

/// Kind names, in kind-index order.
inline constexpr std::array<std::string_view, kWidgetKindCount> kWidgetKindNames = {
    "ClickButton", "ToggleButton", "ConfirmButton", "PressButton", "DirectionalButton", "Joystick",
};

/// A widget's kind and state: a tagged union of the six kinds.
struct WidgetRegistry {
  using Variant = std::variant<widget::ClickButton, widget::ToggleButton, widget::ConfirmButton,
                               widget::PressButton, widget::DirectionalButton, widget::Joystick>;
  Variant value;

  WidgetKind kind() const { return static_cast<WidgetKind>(value.index()); }
  /// The kind's name, as filed in identity keys ("Joystick").
  std::string_view name() const { return kWidgetKindNames[value.index()]; }
};

/// The server status a reply reports, encoded on the wire as its name.
enum class ServerStatus : uint8_t { NotInit = 0, Idle = 1, Busy = 2, Error = 3 };
inline constexpr std::array<std::string_view, 4> kServerStatusNames = {"NotInit", "Idle", "Busy",
                                                                       "Error"};

/// The result a reply carries. The variant index is the kind index.
namespace result {
struct ConfirmResult {
  bool status = false;
};
struct ErrorResult {
  std::string error;
};
}  // namespace result
using ResultRegistry = std::variant<result::ConfirmResult, result::ErrorResult>;

/// The first run of characters of `name` that are not Unicode white space ("" when none).
std::string_view first_word(std::string_view name);

/// Whether `word` is exactly one of the six kind names.
bool is_widget_kind(std::string_view word);

/// The kind name nearest to `word` by edit distance, ASCII case ignored; the earlier kind
/// on a tie.
std::string_view closest_widget_kind(std::string_view word);

/// Room an identity key needs beyond its name: "_" and up to three digits.
inline constexpr std::size_t kIdentityKeySuffixMax = 4;

/// Room for the identity key of any widget kind: the longest kind name and the suffix.
inline constexpr std::size_t kWidgetIdentityKeyMax = [] {
  std::size_t longest = 0;
  for (std::string_view kind : kWidgetKindNames)
    longest = kind.size() > longest ? kind.size() : longest;
  return longest + kIdentityKeySuffixMax;
}();

/// Writes the identity key "<name>_<id>" (`id` in decimal) at `out`, which has room for
/// name.size() + kIdentityKeySuffixMax characters, and returns the end of what it wrote.
/// Every identity key is written here; it allocates nothing. Defined here, so that the
/// decoder (Frame::identity) needs no other source of this folder.
inline char* write_identity_key(char* out, std::string_view name, uint8_t id) noexcept {
  out += name.copy(out, name.size());
  *out++ = '_';
  return std::to_chars(out, out + kIdentityKeySuffixMax - 1, id).ptr;
}

/// The identity key "<name>_<id>" as a string.
inline std::string identity_key(std::string_view name, uint8_t id) {
  std::string key(name.size() + kIdentityKeySuffixMax, '\0');
  key.resize(static_cast<std::size_t>(write_identity_key(key.data(), name, id) - key.data()));
  return key;
}

/// Identity key of a registration: the first word of `name` (split at Unicode white
/// space), "_", then `id` in decimal.
std::string action_identity(uint8_t id, std::string_view name);

/// Reads "Kind_Id[_anything]" back into (id, kind name). Fails when there is no "_" or
/// when the second piece is not a decimal number from 0 to 255 (an optional "+", digits).
Result<std::pair<uint8_t, std::string>> extract_identity(std::string_view text);

}  // namespace velto::base
