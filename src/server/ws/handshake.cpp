// The WebSocket opening handshake's computations and the server's access key.
#include "server/ws/handshake.h"

#include <fcntl.h>
#include <nettle/base64.h>
#include <nettle/sha1.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

#include "server/io/unique_fd.h"

namespace velto::server::ws {

namespace {

constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr std::size_t kTokenBytes = 16;

bool is_base64_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

bool is_token_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// Fills `out` with random bytes: getrandom(2), retried after a signal or a short read, or
// /dev/urandom on a kernel without it.
void random_bytes(unsigned char* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::getrandom(out + done, size - done, 0);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == ENOSYS) {
      break;
    } else {
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
  }
  if (done == size) return;
  const io::UniqueFd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (!fd) throw std::system_error(errno, std::generic_category(), "/dev/urandom");
  while (done < size) {
    const ssize_t n = ::read(fd.get(), out + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (!(n < 0 && errno == EINTR)) {
      throw std::system_error(n < 0 ? errno : EIO, std::generic_category(), "/dev/urandom");
    }
  }
}

}  // namespace

std::string accept_key(std::string_view client_key) {
  sha1_ctx ctx;
  sha1_init(&ctx);
  sha1_update(&ctx, client_key.size(), reinterpret_cast<const std::uint8_t*>(client_key.data()));
  sha1_update(&ctx, kGuid.size(), reinterpret_cast<const std::uint8_t*>(kGuid.data()));
  std::uint8_t digest[SHA1_DIGEST_SIZE];
  sha1_digest(&ctx, sizeof digest, digest);
  std::string out(BASE64_ENCODE_RAW_LENGTH(SHA1_DIGEST_SIZE), '\0');
  base64_encode_raw(out.data(), sizeof digest, digest);
  return out;
}

bool valid_client_key(std::string_view key) {
  // 16 bytes take 22 characters and two of padding; the last character carries 2 bits only.
  if (key.size() != 24 || key.substr(22) != "==") return false;
  if (!std::all_of(key.begin(), key.begin() + 22, is_base64_char)) return false;
  return std::string_view("AQgw").find(key[21]) != std::string_view::npos;
}

bool same_token(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // Every byte is looked at whatever the earlier ones were.
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff = static_cast<unsigned char>(diff | (a[i] ^ b[i]));
  }
  return diff == 0;
}

std::string random_token() {
  unsigned char bytes[kTokenBytes];
  random_bytes(bytes, sizeof bytes);
  base64_encode_ctx ctx;
  base64url_encode_init(&ctx);
  char out[BASE64_ENCODE_LENGTH(kTokenBytes) + BASE64_ENCODE_FINAL_LENGTH];
  std::size_t size = base64_encode_update(&ctx, out, sizeof bytes, bytes);
  size += base64_encode_final(&ctx, out + size);
  std::string token(out, size);
  token.erase(token.find_last_not_of('=') + 1);
  return token;
}

bool valid_token(std::string_view t) {
  return t.size() >= 16 && t.size() <= 128 && std::all_of(t.begin(), t.end(), is_token_char);
}

}  // namespace velto::server::ws
