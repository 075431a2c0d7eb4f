// Encoded frames and a readable form of decoded frames, for the assembler and loop tests.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>

#include "base/frame.h"

namespace velto::server::io::testing {

/// ToggleButton id 1, value true (18 bytes).
inline const std::string kToggle1("\x92\x01\x81\xacToggleButton\x91\xc3", 18);
/// ClickButton id 0 (16 bytes).
inline const std::string kClick0(
    "\x92\x00\x81\xab"
    "ClickButton\x90",
    16);
/// Joystick id 3, delta (0.5, -1.0), intensity 0.75 (29 bytes).
inline const std::string kJoystick3(
    "\x92\x03\x81\xa8Joystick\x92\x92\xca\x3f\x00\x00\x00\xca\xbf\x80\x00\x00\xca\x3f\x40\x00\x00",
    29);
/// DirectionalButton id 7, direction 2, as a map with the kind index (14 bytes).
inline const std::string kDirectional7(
    "\x82\xa2id\x07\xa4"
    "data\x81\x04\x91\x02",
    14);

/// ToggleButton frame with the given id (below 128, a positive fixint) and value true.
inline std::string toggle(uint8_t id) {
  std::string f = kToggle1;
  f[1] = static_cast<char>(id);
  return f;
}

/// A ToggleButton id 1 frame of exactly `total` bytes (at least 32): a frame map whose first
/// key is an unknown string long enough to fill the rest.
inline std::string padded_frame(std::size_t total) {
  const std::size_t key = total - 32;
  std::string f("\x83\xdb", 2);
  for (int shift = 24; shift >= 0; shift -= 8) f.push_back(static_cast<char>(key >> shift));
  f.append(key, 'k');
  f.push_back('\xc0');  // the unknown key's value
  f.append(
      "\xa2id\x01\xa4"
      "data\x81\xacToggleButton\x91\xc3",
      25);
  return f;
}

/// "ToggleButton_1(true)", "Joystick_3(0.5,-1,0.75)".
inline std::string describe(const base::Frame& frame) {
  std::string out(frame.data.name());
  out += "_" + std::to_string(frame.id) + "(";
  std::visit(
      [&](const auto& w) {
        using W = std::decay_t<decltype(w)>;
        auto num = [](float f) {
          std::string s = std::to_string(f);
          s.erase(s.find_last_not_of('0') + 1);
          if (s.back() == '.') s.pop_back();
          return s;
        };
        if constexpr (std::is_same_v<W, base::widget::ToggleButton>) {
          out += w.value ? "true" : "false";
        } else if constexpr (std::is_same_v<W, base::widget::PressButton>) {
          out += w.pressed ? "true" : "false";
        } else if constexpr (std::is_same_v<W, base::widget::DirectionalButton>) {
          out += std::to_string(w.direction);
        } else if constexpr (std::is_same_v<W, base::widget::Joystick>) {
          out += num(w.delta.x) + "," + num(w.delta.y) + "," + num(w.intensity);
        }
      },
      frame.data.value);
  return out + ")";
}

}  // namespace velto::server::io::testing
