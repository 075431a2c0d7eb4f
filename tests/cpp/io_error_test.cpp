// Texts and kinds of I/O errors.
#include "server/io/io_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tuple>

#include "case_printer.h"

namespace velto::server::io {
namespace {

using velto::testing::PrintTo;

struct TextCase {
  std::string name;
  IoError error;
  std::string text;
  std::string diagnostic;
};

class IoErrorTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(IoErrorTextTest, RendersTextAndDiagnostic) {
  const auto& c = GetParam();
  EXPECT_EQ(c.error.text(), c.text);
  EXPECT_EQ(c.error.diagnostic(), c.diagnostic);
}

const std::vector<TextCase> kTextCases = {
    {"BrokenPipe", IoError::from_errno(EPIPE), "Broken pipe (os error 32)",
     "BrokenPipe: Broken pipe (os error 32)"},
    {"AddrInUse", IoError::from_errno(EADDRINUSE), "Address already in use (os error 98)",
     "AddrInUse: Address already in use (os error 98)"},
    {"ConnectionReset", IoError::from_errno(ECONNRESET), "Connection reset by peer (os error 104)",
     "ConnectionReset: Connection reset by peer (os error 104)"},
    {"Interrupted", IoError::from_errno(EINTR), "Interrupted system call (os error 4)",
     "Interrupted: Interrupted system call (os error 4)"},
    {"NotConnected", IoError::from_errno(ENOTCONN),
     "Transport endpoint is not connected (os error 107)",
     "NotConnected: Transport endpoint is not connected (os error 107)"},
    {"UnknownCodeIsOther", IoError::from_errno(9999), "Unknown error 9999 (os error 9999)",
     "Other: Unknown error 9999 (os error 9999)"},
    {"OwnMessageHasNoNumber", IoError{IoErrorKind::InvalidInput, 0, "invalid socket address"},
     "invalid socket address", "InvalidInput: invalid socket address"},
    {"WriteZero", IoError::write_zero(), "failed to write whole buffer",
     "WriteZero: failed to write whole buffer"},
};

INSTANTIATE_TEST_SUITE_P(Errors, IoErrorTextTest, ::testing::ValuesIn(kTextCases),
                         [](const auto& info) { return info.param.name; });

// Every errno with a kind of its own, and codes without one.
class IoErrorKindTest : public ::testing::TestWithParam<std::tuple<int, IoErrorKind>> {};

TEST_P(IoErrorKindTest, MapsErrnoToKind) {
  const auto [code, kind] = GetParam();
  EXPECT_EQ(kind_from_errno(code), kind) << kind_name(kind);
  EXPECT_EQ(IoError::from_errno(code).kind, kind);
}

INSTANTIATE_TEST_SUITE_P(Errno, IoErrorKindTest,
                         ::testing::Values(std::tuple{ENOENT, IoErrorKind::NotFound},
                                           std::tuple{EACCES, IoErrorKind::PermissionDenied},
                                           std::tuple{EPERM, IoErrorKind::PermissionDenied},
                                           std::tuple{ECONNREFUSED, IoErrorKind::ConnectionRefused},
                                           std::tuple{ECONNRESET, IoErrorKind::ConnectionReset},
                                           std::tuple{ECONNABORTED, IoErrorKind::ConnectionAborted},
                                           std::tuple{ENOTCONN, IoErrorKind::NotConnected},
                                           std::tuple{EADDRINUSE, IoErrorKind::AddrInUse},
                                           std::tuple{EADDRNOTAVAIL, IoErrorKind::AddrNotAvailable},
                                           std::tuple{EPIPE, IoErrorKind::BrokenPipe},
                                           std::tuple{EAGAIN, IoErrorKind::WouldBlock},
                                           std::tuple{ETIMEDOUT, IoErrorKind::TimedOut},
                                           std::tuple{EINTR, IoErrorKind::Interrupted},
                                           std::tuple{EINVAL, IoErrorKind::InvalidInput},
                                           std::tuple{ENOMEM, IoErrorKind::OutOfMemory},
                                           std::tuple{ENOSYS, IoErrorKind::Unsupported},
                                           std::tuple{EOPNOTSUPP, IoErrorKind::Unsupported},
                                           std::tuple{EMFILE, IoErrorKind::Other},
                                           std::tuple{EBADF, IoErrorKind::Other},
                                           std::tuple{0, IoErrorKind::Other}),
                         [](const auto& info) {
                           return std::string(kind_name(std::get<1>(info.param))) + "_" +
                                  std::to_string(std::get<0>(info.param));
                         });

TEST(IoErrorTest, FromErrnoKeepsKindAndNumber) {
  const auto error = IoError::from_errno(ECONNREFUSED);
  EXPECT_EQ(error.kind, IoErrorKind::ConnectionRefused);
  EXPECT_EQ(error.os_error, ECONNREFUSED);
  EXPECT_EQ(error.message, "Connection refused");
}

}  // namespace
}  // namespace velto::server::io
