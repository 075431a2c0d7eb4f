// Marker names, scratch growth and error recording of the MessagePack reader.
#include "base/mp_reader.h"

#include <algorithm>

namespace velto::base::mp {

std::string marker_name(uint8_t m) {
  auto with_value = [](const char* name, int value) {
    return std::string(name) + "(" + std::to_string(value) + ")";
  };
  if (m <= 0x7f) return with_value("FixPos", m);
  if (m <= 0x8f) return with_value("FixMap", m & 0x0f);
  if (m <= 0x9f) return with_value("FixArray", m & 0x0f);
  if (m <= 0xbf) return with_value("FixStr", m & 0x1f);
  if (m >= 0xe0) return with_value("FixNeg", static_cast<int8_t>(m));
  static constexpr const char* kNames[0xe0 - 0xc0] = {
      "Null",     "Reserved", "False", "True",  "Bin8",    "Bin16",   "Bin32",   "Ext8",
      "Ext16",    "Ext32",    "F32",   "F64",   "U8",      "U16",     "U32",     "U64",
      "I8",       "I16",      "I32",   "I64",   "FixExt1", "FixExt2", "FixExt4", "FixExt8",
      "FixExt16", "Str8",     "Str16", "Str32", "Array16", "Array32", "Map16",   "Map32",
  };
  return kNames[m - 0xc0];
}

void Scratch::grow(std::size_t n) {
  // Room for n bytes and the padding of a last word.
  const std::size_t capacity = std::max(n + 8, capacity_ * 2);
  heap_ = std::make_unique_for_overwrite<char[]>(capacity);
  data_ = heap_.get();
  capacity_ = capacity;
}

void Reader::set_error(std::string message) {
  error_.message = std::move(message);
  error_.incomplete = false;
}

void Reader::set_end_error(const char* message) {
  error_.message = message;
  error_.incomplete = true;
}

}  // namespace velto::base::mp
