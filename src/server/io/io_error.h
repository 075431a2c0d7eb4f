// IoError: a failed system call or socket operation, with its kind and texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velto::server::io {

/// What went wrong, independent of the exact errno.
enum class IoErrorKind : uint8_t {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  BrokenPipe,
  WouldBlock,
  TimedOut,
  Interrupted,
  InvalidInput,
  WriteZero,
  OutOfMemory,
  Unsupported,
  Other,
};

/// The kind's name as it appears in diagnostic(): "AddrInUse".
std::string_view kind_name(IoErrorKind kind);

/// The kind an errno value falls under; Other for codes without a kind of their own.
IoErrorKind kind_from_errno(int code);

/// A failed I/O operation: its kind, the OS error number (0 when the failure is ours, not
/// the system's) and its message (the system's description for OS errors).
struct IoError {
  IoErrorKind kind = IoErrorKind::Other;
  int os_error = 0;
  std::string message;

  /// The error for an errno value: its kind, the number and the system's description.
  static IoError from_errno(int code);
  /// The error of a send that accepted no bytes.
  static IoError write_zero();

  /// "Broken pipe (os error 32)" for OS errors, the plain message otherwise.
  std::string text() const;
  /// "BrokenPipe: Broken pipe (os error 32)" or "InvalidInput: invalid socket address".
  std::string diagnostic() const;
};

}  // namespace velto::server::io
