// Kinds and texts of I/O errors.
#include "server/io/io_error.h"

#include <cerrno>
#include <cstring>

namespace velto::server::io {

std::string_view kind_name(IoErrorKind kind) {
  switch (kind) {
    case IoErrorKind::NotFound:
      return "NotFound";
    case IoErrorKind::PermissionDenied:
      return "PermissionDenied";
    case IoErrorKind::ConnectionRefused:
      return "ConnectionRefused";
    case IoErrorKind::ConnectionReset:
      return "ConnectionReset";
    case IoErrorKind::ConnectionAborted:
      return "ConnectionAborted";
    case IoErrorKind::NotConnected:
      return "NotConnected";
    case IoErrorKind::AddrInUse:
      return "AddrInUse";
    case IoErrorKind::AddrNotAvailable:
      return "AddrNotAvailable";
    case IoErrorKind::BrokenPipe:
      return "BrokenPipe";
    case IoErrorKind::WouldBlock:
      return "WouldBlock";
    case IoErrorKind::TimedOut:
      return "TimedOut";
    case IoErrorKind::Interrupted:
      return "Interrupted";
    case IoErrorKind::InvalidInput:
      return "InvalidInput";
    case IoErrorKind::WriteZero:
      return "WriteZero";
    case IoErrorKind::OutOfMemory:
      return "OutOfMemory";
    case IoErrorKind::Unsupported:
      return "Unsupported";
    case IoErrorKind::Other:
      return "Other";
  }
  return "Other";
}

IoErrorKind kind_from_errno(int code) {
  switch (code) {
    case ENOENT:
      return IoErrorKind::NotFound;
    case EACCES:
    case EPERM:
      return IoErrorKind::PermissionDenied;
    case ECONNREFUSED:
      return IoErrorKind::ConnectionRefused;
    case ECONNRESET:
      return IoErrorKind::ConnectionReset;
    case ECONNABORTED:
      return IoErrorKind::ConnectionAborted;
    case ENOTCONN:
      return IoErrorKind::NotConnected;
    case EADDRINUSE:
      return IoErrorKind::AddrInUse;
    case EADDRNOTAVAIL:
      return IoErrorKind::AddrNotAvailable;
    case EPIPE:
      return IoErrorKind::BrokenPipe;
    case EAGAIN:
      return IoErrorKind::WouldBlock;
    case ETIMEDOUT:
      return IoErrorKind::TimedOut;
    case EINTR:
      return IoErrorKind::Interrupted;
    case EINVAL:
      return IoErrorKind::InvalidInput;
    case ENOMEM:
      return IoErrorKind::OutOfMemory;
    case ENOSYS:
    case EOPNOTSUPP:
      return IoErrorKind::Unsupported;
    default:
      return IoErrorKind::Other;
  }
}

IoError IoError::from_errno(int code) {
  char buffer[256];
  // The GNU strerror_r: thread-safe, returns either `buffer` or a static string.
  const char* description = ::strerror_r(code, buffer, sizeof buffer);
  return IoError{kind_from_errno(code), code, description};
}

IoError IoError::write_zero() {
  return IoError{IoErrorKind::WriteZero, 0, "failed to write whole buffer"};
}

std::string IoError::text() const {
  if (os_error == 0) return message;
  return message + " (os error " + std::to_string(os_error) + ")";
}

std::string IoError::diagnostic() const {
  std::string out(kind_name(kind));
  out += ": ";
  out += text();
  return out;
}

}  // namespace velto::server::io
