// The door of a WebSocket server's open(): the HTTP requests answered while it waits for
// its controller, and the addresses a person opens the controller page at.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "server/io/address.h"
#include "server/io/connection.h"
#include "server/io/io_error.h"
#include "server/io/unique_fd.h"

namespace velto::server::ws {

/// Connections whose request is still awaited or answered at once; past this the oldest
/// is dropped.
inline constexpr std::size_t kMaxPendingConnections = 8;
/// The time a connection has for its request head and the answer to it.
inline constexpr std::chrono::seconds kRequestDeadline{5};
/// The send timeout of the controller's connection: a peer that stops reading cannot hold
/// a write (and the thread making it) longer than this.
inline constexpr std::chrono::seconds kSendTimeout{2};
/// Refusals are reported at most once in this time.
inline constexpr std::chrono::seconds kRefusalReportInterval{1};

struct DoorLoopConfig {
  std::string token;
  std::string_view page;
  /// The registered widgets as '[["ClickButton",1],...]', asked at each request for them.
  std::function<std::string()> widgets_json;
  /// Where "controller page at <url>" goes, and the refusals.
  int out_fd = 1;
  int err_fd = 2;
};

/// Serves the page and its requests on the listener and on at most kMaxPendingConnections
/// connections at once, one request each, until a WebSocket upgrade with the right key:
/// that connection is admitted (blocking again, with the send timeout) and every other
/// one closed. Announces the page's address on `out_fd` first.
class DoorLoop final : public io::Door {
 public:
  explicit DoorLoop(DoorLoopConfig config) : config_(std::move(config)) {}
  base::Result<io::UniqueFd, io::IoError> admit(const io::UniqueFd& listener,
                                                io::Waiter& waiter) override;

 private:
  void report_refusal(std::string_view why);

  DoorLoopConfig config_;
  std::optional<std::chrono::steady_clock::time_point> last_report_;
};

/// The addresses the page can be opened at for a server bound to `bound`, each
/// "http://HOST:PORT/#k=TOKEN". A bound host is itself; for an unspecified one (0.0.0.0,
/// ::) every non-loopback IPv4 address of the machine, then 127.0.0.1, then (for ::) the
/// machine's global IPv6 addresses.
std::vector<std::string> controller_urls(const io::SocketAddress& bound, std::string_view token);

/// The first of controller_urls: for an unspecified host the first non-loopback IPv4
/// address, 127.0.0.1 when there is none.
std::string controller_url(const io::SocketAddress& bound, std::string_view token);

/// '[["Kind",id],...]' for the registration keys ("Kind_id") that name a widget kind, in id
/// order, then kind order; other keys are left out.
std::string widgets_json(const std::vector<std::string>& keys);

}  // namespace velto::server::ws
