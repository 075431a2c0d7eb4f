// Resolution of listening address texts.
#include "server/io/address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>
#include <optional>

namespace velto::server::io {

namespace {

IoError invalid_input(std::string message) {
  return IoError{IoErrorKind::InvalidInput, 0, std::move(message)};
}

// A decimal port 0..65535, digits only.
std::optional<uint16_t> parse_port(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

// "a.b.c.d:port" or "[v6]:port" as a numeric socket address, or nothing.
std::optional<SocketAddress> parse_numeric(std::string_view text) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto port = parse_port(text.substr(colon + 1));
  if (!port) return std::nullopt;
  std::string_view host = text.substr(0, colon);

  SocketAddress out;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    const std::string v6(host.substr(1, host.size() - 2));
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
    if (::inet_pton(AF_INET6, v6.c_str(), &sin6->sin6_addr) != 1) return std::nullopt;
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(*port);
    out.length = sizeof(sockaddr_in6);
    return out;
  }
  const std::string v4(host);
  auto* sin = reinterpret_cast<sockaddr_in*>(&out.storage);
  if (::inet_pton(AF_INET, v4.c_str(), &sin->sin_addr) != 1) return std::nullopt;
  sin->sin_family = AF_INET;
  sin->sin_port = htons(*port);
  out.length = sizeof(sockaddr_in);
  return out;
}

void set_port(SocketAddress& address, uint16_t port) {
  if (address.family() == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port = htons(port);
  } else if (address.family() == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_port = htons(port);
  }
}

}  // namespace

uint16_t SocketAddress::port() const {
  if (family() == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
  if (family() == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
  }
  return 0;
}

std::string SocketAddress::to_string() const {
  char host[INET6_ADDRSTRLEN] = {};
  if (family() == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr, host,
                sizeof host);
    return std::string(host) + ":" + std::to_string(port());
  }
  if (family() == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr, host,
                sizeof host);
    std::string text = "[";
    text += host;
    text += "]:";
    text += std::to_string(port());
    return text;
  }
  return "<unknown address family " + std::to_string(family()) + ">";
}

base::Result<std::vector<SocketAddress>, IoError> resolve_address(std::string_view text) {
  if (auto numeric = parse_numeric(text)) return std::vector<SocketAddress>{*numeric};

  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return base::Err(invalid_input("invalid socket address"));
  const auto port = parse_port(text.substr(colon + 1));
  if (!port) return base::Err(invalid_input("invalid port value"));

  const std::string host(text.substr(0, colon));
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    return base::Err(
        IoError{IoErrorKind::Other, 0,
                std::string("failed to lookup address information: ") + ::gai_strerror(rc)});
  }

  std::vector<SocketAddress> out;
  for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    SocketAddress address;
    std::memcpy(&address.storage, ai->ai_addr, ai->ai_addrlen);
    address.length = ai->ai_addrlen;
    set_port(address, *port);
    out.push_back(address);
  }
  ::freeaddrinfo(found);
  return out;
}

}  // namespace velto::server::io
