// Socket addresses and the resolution of a listening address text.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "server/io/io_error.h"

namespace velto::server::io {

/// One IPv4 or IPv6 socket address, ready for bind(2) or connect(2).
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  int family() const { return storage.ss_family; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
  uint16_t port() const;
  /// "127.0.0.1:8080" or "[::1]:8080".
  std::string to_string() const;
};

/// Resolves a listening address text to the socket addresses to try, in order.
/// "a.b.c.d:port" and "[v6]:port" are taken as they are; any other text is split at its
/// last ':' into a host, resolved by getaddrinfo for stream sockets of any family, and a
/// decimal port. Fails with "invalid socket address" (no ':'), "invalid port value" or
/// "failed to lookup address information: <resolver message>". The list may be empty.
base::Result<std::vector<SocketAddress>, IoError> resolve_address(std::string_view text);

}  // namespace velto::server::io
