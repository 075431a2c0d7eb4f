// ResultFrame encoding: sized with mp_sizeof_*, written with mp_encode_* into one allocation.
#include <msgpuck.h>

#include <array>
#include <limits>
#include <string>

#include "base/frame.h"
#include "base/panic.h"

namespace velto::base {

std::vector<char> ResultFrame::bufferize() const {
  static constexpr std::array<std::string_view, 2> kResultKindNames = {"ConfirmResult",
                                                                       "ErrorResult"};
  const auto status_index = static_cast<std::size_t>(status);
  if (status_index >= kServerStatusNames.size()) {
    throw Panic("Serialization error : no server status with code " + std::to_string(status_index));
  }
  const std::string_view status_name = kServerStatusNames[status_index];
  const std::string_view kind_name = kResultKindNames[data.index()];
  const auto* error = std::get_if<result::ErrorResult>(&data);
  if (error != nullptr && error->error.size() > std::numeric_limits<uint32_t>::max()) {
    throw Panic("Serialization error : error text too long for a MessagePack string");
  }
  const auto error_len = error != nullptr ? static_cast<uint32_t>(error->error.size()) : 0;

  // 1. Size every part in its shortest form.
  const std::size_t size = mp_sizeof_array(3) + mp_sizeof_uint(id) +
                           mp_sizeof_str(status_name.size()) + mp_sizeof_map(1) +
                           mp_sizeof_str(kind_name.size()) + mp_sizeof_array(1) +
                           (error != nullptr ? mp_sizeof_str(error_len) : mp_sizeof_bool(false));

  // 2. One allocation of exactly that size, then write.
  std::vector<char> out(size);
  char* w = out.data();
  w = mp_encode_array(w, 3);
  w = mp_encode_uint(w, id);
  w = mp_encode_str(w, status_name.data(), static_cast<uint32_t>(status_name.size()));
  w = mp_encode_map(w, 1);
  w = mp_encode_str(w, kind_name.data(), static_cast<uint32_t>(kind_name.size()));
  w = mp_encode_array(w, 1);
  if (error != nullptr) {
    w = mp_encode_str(w, error->error.data(), error_len);
  } else {
    w = mp_encode_bool(w, std::get<result::ConfirmResult>(data).status);
  }
  if (w != out.data() + size) throw Panic("Serialization error : encoded size mismatch");
  return out;
}

}  // namespace velto::base
