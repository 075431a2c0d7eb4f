// TCP socket operations of the server: listening, accepting, sending, shutting down.
//
// None of these retries after EINTR: an interrupted call comes back as an IoError of kind
// Interrupted, so that the caller can run its signal check before it tries again.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "server/io/address.h"
#include "server/io/io_error.h"
#include "server/io/unique_fd.h"

namespace velto::server::io {

/// Backlog of every listener.
inline constexpr int kListenBacklog = 128;

/// Sets up a listener on the first address that takes one: socket (close-on-exec),
/// SO_REUSEADDR, bind, listen(128). When every address fails, the last failure counts;
/// an empty list fails with "could not resolve to any addresses".
base::Result<UniqueFd, IoError> bind_listener(const std::vector<SocketAddress>& addresses);

/// resolve_address, then the listener on what it gave.
base::Result<UniqueFd, IoError> bind_listener(std::string_view address);

/// One accept4 (close-on-exec) on the listener; the peer's address is discarded.
base::Result<UniqueFd, IoError> accept_once(const UniqueFd& listener);

/// One send with MSG_NOSIGNAL and `flags` (MSG_DONTWAIT: a full buffer fails with
/// WouldBlock instead of waiting): the number of bytes the system took, or the error.
base::Result<std::size_t, IoError> send_once(int fd, const char* data, std::size_t size,
                                             int flags = 0);

/// A second descriptor of the same open socket, close-on-exec.
base::Result<UniqueFd, IoError> duplicate_fd(int fd);

/// shutdown(2) with SHUT_RD, SHUT_WR or SHUT_RDWR.
base::Result<base::Unit, IoError> shutdown_fd(int fd, int how);

/// The local port the socket is bound to.
base::Result<uint16_t, IoError> local_port(int fd);

/// The local address the socket is bound to.
base::Result<SocketAddress, IoError> local_address(int fd);

}  // namespace velto::server::io
