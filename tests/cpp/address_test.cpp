// Resolution of listening address texts.
#include "server/io/address.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>

#include "case_printer.h"

namespace velto::server::io {
namespace {

using velto::testing::PrintTo;

struct FailureCase {
  std::string name;
  std::string address;
  std::string text;
};

class ResolveFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ResolveFailureTest, ReturnsErrorText) {
  const auto& c = GetParam();
  auto resolved = resolve_address(c.address);
  ASSERT_FALSE(resolved.ok());
  EXPECT_EQ(resolved.error().text(), c.text);
  EXPECT_EQ(resolved.error().os_error, 0);
}

const std::vector<FailureCase> kFailureCases = {
    {"NoPort", "localhost", "invalid socket address"},
    {"BareIpv4", "127.0.0.1", "invalid socket address"},
    {"PortTooLarge", "127.0.0.1:70000", "invalid port value"},
    {"PortNotNumber", "abc:x", "invalid port value"},
    {"EmptyPort", "localhost:", "invalid port value"},
    {"SignedPort", "localhost:-1", "invalid port value"},
    {"Ipv6PortTooLarge", "[::1]:65536", "invalid port value"},
    // A name with a space fails in the resolver without asking any name server.
    {"BadHost", "bad host:80",
     std::string("failed to lookup address information: ") + gai_strerror(EAI_NONAME)},
};

INSTANTIATE_TEST_SUITE_P(Addresses, ResolveFailureTest, ::testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return info.param.name; });

struct SuccessCase {
  std::string name;
  std::string address;
  std::vector<std::string> resolved;
};

class ResolveSuccessTest : public ::testing::TestWithParam<SuccessCase> {};

TEST_P(ResolveSuccessTest, ReturnsAddresses) {
  const auto& c = GetParam();
  auto resolved = resolve_address(c.address);
  ASSERT_TRUE(resolved.ok()) << resolved.error().text();
  std::vector<std::string> texts;
  for (const auto& a : resolved.value()) texts.push_back(a.to_string());
  EXPECT_EQ(texts, c.resolved);
}

const std::vector<SuccessCase> kSuccessCases = {
    {"Ipv4", "127.0.0.1:8080", {"127.0.0.1:8080"}},
    {"Ipv4PortZero", "0.0.0.0:0", {"0.0.0.0:0"}},
    {"Ipv6", "[::1]:0", {"[::1]:0"}},
    {"Ipv6Full", "[fe80::1:2]:65535", {"[fe80::1:2]:65535"}},
    {"PortWithLeadingZeros", "127.0.0.1:0080", {"127.0.0.1:80"}},
};

INSTANTIATE_TEST_SUITE_P(Addresses, ResolveSuccessTest, ::testing::ValuesIn(kSuccessCases),
                         [](const auto& info) { return info.param.name; });

TEST(ResolveAddressTest, HostNameGetsPortOnEveryAddress) {
  auto resolved = resolve_address("localhost:4321");
  ASSERT_TRUE(resolved.ok()) << resolved.error().text();
  ASSERT_FALSE(resolved.value().empty());
  for (const auto& a : resolved.value()) {
    EXPECT_TRUE(a.family() == AF_INET || a.family() == AF_INET6) << a.family();
    EXPECT_EQ(a.port(), 4321) << a.to_string();
  }
}

}  // namespace
}  // namespace velto::server::io
