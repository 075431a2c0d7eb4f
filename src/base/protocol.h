// Transport kinds, exposed to Python as an enumeration.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace velto::base {

enum class Protocol : uint8_t { WebSocket = 0, Bluetooth = 1, Http = 2, Usb = 3 };
inline constexpr std::array<std::string_view, 4> kProtocolNames = {"WebSocket", "Bluetooth", "Http",
                                                                   "Usb"};

}  // namespace velto::base
