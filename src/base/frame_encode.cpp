// ResultFrame encoding: sized with mp_sizeof_*, then written with mp_encode_*.
#include <msgpuck.h>

#include <array>
#include <limits>
#include <string>

#include "base/frame.h"
#include "base/panic.h"

namespace velto::base {

namespace {

constexpr std::array<std::string_view, 2> kResultKindNames = {"ConfirmResult", "ErrorResult"};

std::string_view status_name(ServerStatus status) {
  const auto index = static_cast<std::size_t>(status);
  if (index >= kServerStatusNames.size()) {
    throw Panic("Serialization error : no server status with code " + std::to_string(index));
  }
  return kServerStatusNames[index];
}

// The error text's length, which a MessagePack string header can hold.
uint32_t error_length(const result::ErrorResult& error) {
  if (error.error.size() > std::numeric_limits<uint32_t>::max()) {
    throw Panic("Serialization error : error text too long for a MessagePack string");
  }
  return static_cast<uint32_t>(error.error.size());
}

}  // namespace

std::size_t ResultFrame::encoded_size() const {
  const std::string_view status_text = status_name(status);
  const auto* error = std::get_if<result::ErrorResult>(&data);
  return mp_sizeof_array(3) + mp_sizeof_uint(id) + mp_sizeof_str(status_text.size()) +
         mp_sizeof_map(1) + mp_sizeof_str(kResultKindNames[data.index()].size()) +
         mp_sizeof_array(1) +
         (error != nullptr ? mp_sizeof_str(error_length(*error)) : mp_sizeof_bool(false));
}

void ResultFrame::encode_to(char* out, std::size_t size) const {
  const std::string_view status_text = status_name(status);
  const std::string_view kind_name = kResultKindNames[data.index()];
  char* w = out;
  w = mp_encode_array(w, 3);
  w = mp_encode_uint(w, id);
  w = mp_encode_str(w, status_text.data(), static_cast<uint32_t>(status_text.size()));
  w = mp_encode_map(w, 1);
  w = mp_encode_str(w, kind_name.data(), static_cast<uint32_t>(kind_name.size()));
  w = mp_encode_array(w, 1);
  if (const auto* error = std::get_if<result::ErrorResult>(&data)) {
    w = mp_encode_str(w, error->error.data(), error_length(*error));
  } else {
    w = mp_encode_bool(w, std::get<result::ConfirmResult>(data).status);
  }
  if (w != out + size) throw Panic("Serialization error : encoded size mismatch");
}

EncodedReply::EncodedReply(const ResultFrame& reply) : size_(reply.encoded_size()) {
  if (size_ > kInPlace) heap_ = std::make_unique_for_overwrite<char[]>(size_);
  reply.encode_to(heap_ ? heap_.get() : in_place_, size_);
}

std::vector<char> ResultFrame::bufferize() const {
  std::vector<char> out(encoded_size());
  encode_to(out.data(), out.size());
  return out;
}

}  // namespace velto::base
