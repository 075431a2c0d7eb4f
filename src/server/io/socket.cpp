// TCP socket operations of the server.
#include "server/io/socket.h"

#include <fcntl.h>
#include <netinet/in.h>

#include <cerrno>

namespace velto::server::io {

namespace {

base::Result<UniqueFd, IoError> listen_on(const SocketAddress& address) {
  UniqueFd fd(::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return base::Err(IoError::from_errno(errno));
  const int one = 1;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    return base::Err(IoError::from_errno(errno));
  }
  if (::bind(fd.get(), address.get(), address.length) != 0) {
    return base::Err(IoError::from_errno(errno));
  }
  if (::listen(fd.get(), kListenBacklog) != 0) return base::Err(IoError::from_errno(errno));
  return fd;
}

}  // namespace

base::Result<UniqueFd, IoError> bind_listener(const std::vector<SocketAddress>& addresses) {
  if (addresses.empty()) {
    return base::Err(IoError{IoErrorKind::InvalidInput, 0, "could not resolve to any addresses"});
  }
  IoError last;
  for (const auto& address : addresses) {
    auto listener = listen_on(address);
    if (listener.ok()) return std::move(listener).value();
    last = std::move(listener).error();
  }
  return base::Err(std::move(last));
}

base::Result<UniqueFd, IoError> bind_listener(std::string_view address) {
  auto addresses = resolve_address(address);
  if (!addresses.ok()) return base::Err(std::move(addresses).error());
  return bind_listener(addresses.value());
}

base::Result<UniqueFd, IoError> accept_once(const UniqueFd& listener) {
  // EINTR is reported, not retried: the caller checks for signals first.
  const int fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return base::Err(IoError::from_errno(errno));
  return UniqueFd(fd);
}

base::Result<std::size_t, IoError> send_once(int fd, const char* data, std::size_t size,
                                             int flags) {
  // MSG_NOSIGNAL: a vanished peer gives EPIPE here instead of killing the process.
  // EINTR is reported, not retried.
  const ssize_t sent = ::send(fd, data, size, flags | MSG_NOSIGNAL);
  if (sent < 0) return base::Err(IoError::from_errno(errno));
  return static_cast<std::size_t>(sent);
}

base::Result<UniqueFd, IoError> duplicate_fd(int fd) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return base::Err(IoError::from_errno(errno));
  return UniqueFd(copy);
}

base::Result<base::Unit, IoError> shutdown_fd(int fd, int how) {
  if (::shutdown(fd, how) != 0) return base::Err(IoError::from_errno(errno));
  return base::Unit{};
}

base::Result<SocketAddress, IoError> local_address(int fd) {
  SocketAddress address;
  address.length = sizeof address.storage;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address.storage), &address.length) != 0) {
    return base::Err(IoError::from_errno(errno));
  }
  return address;
}

base::Result<uint16_t, IoError> local_port(int fd) {
  auto address = local_address(fd);
  if (!address) return base::Err(std::move(address).error());
  return address.value().port();
}

}  // namespace velto::server::io
