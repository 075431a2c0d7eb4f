// The door of a WebSocket server's open(): a poll loop over the listener and the pending
// connections, and the addresses of the controller page.
#include "server/ws/door_loop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <optional>
#include <set>
#include <utility>
#include <variant>

#include "base/panic.h"
#include "base/widget_registry.h"
#include "server/io/socket.h"
#include "server/ws/door.h"
#include "server/ws/http_head.h"

extern char** environ;

namespace velto::server::ws {

namespace {

using Clock = std::chrono::steady_clock;

// One connection of the door: its request head as it comes, then its answer as it goes.
struct Pending {
  io::UniqueFd fd;
  Clock::time_point deadline;
  HttpHeadParser parser;
  std::string out;
  std::size_t sent = 0;
  bool answered = false;
  bool upgrade = false;
};

// The answer to the head read so far, if it is complete or broken.
std::optional<DoorAnswer> answer_head(Pending& p, const char* data, std::size_t size,
                                      const DoorConfig& door) {
  auto result = p.parser.feed(data, size);
  if (auto* done = std::get_if<HttpHeadParser::Done>(&result)) return answer(done->request, door);
  if (auto* failed = std::get_if<HttpHeadParser::Failed>(&result)) return answer_failure(*failed);
  return std::nullopt;
}

// Sends what is left of the answer without waiting: true once all of it went out.
// Throws nothing; a failure leaves `failed` set.
bool send_some(Pending& p, bool& failed) {
  while (p.sent < p.out.size()) {
    auto n = io::send_once(p.fd.get(), p.out.data() + p.sent, p.out.size() - p.sent, MSG_DONTWAIT);
    if (!n) {
      if (n.error().kind == io::IoErrorKind::Interrupted) continue;
      if (n.error().kind != io::IoErrorKind::WouldBlock) failed = true;
      return false;
    }
    p.sent += n.value();
  }
  return true;
}

// The admitted connection as the serving thread uses it: blocking, with the send timeout.
base::Result<io::UniqueFd, io::IoError> make_served(io::UniqueFd fd) {
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) < 0) {
    return base::Err(io::IoError::from_errno(errno));
  }
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(kSendTimeout.count());
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0) {
    return base::Err(io::IoError::from_errno(errno));
  }
  return fd;
}

// Prints the address as a terminal QR code when a person may be looking (standard output
// is a terminal) and `qrencode` is on PATH; nothing otherwise.
void print_qr_code(int out_fd, const std::string& url) {
  if (::isatty(out_fd) != 1) return;
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return;
  ::posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
  ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const char* argv[] = {"qrencode", "-t", "UTF8", "-m", "1", url.c_str(), nullptr};
  pid_t pid = 0;
  const int rc =
      ::posix_spawnp(&pid, "qrencode", &actions, nullptr, const_cast<char* const*>(argv), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

bool is_unspecified(const io::SocketAddress& a) {
  if (a.family() == AF_INET) {
    return reinterpret_cast<const sockaddr_in*>(&a.storage)->sin_addr.s_addr == htonl(INADDR_ANY);
  }
  if (a.family() == AF_INET6) {
    return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6*>(&a.storage)->sin6_addr);
  }
  return false;
}

std::string url_for(const std::string& host, bool v6, uint16_t port, std::string_view token) {
  std::string url = "http://";
  url += v6 ? "[" + host + "]" : host;
  url += ":" + std::to_string(port) + "/#k=";
  url += token;
  return url;
}

}  // namespace

void DoorLoop::report_refusal(std::string_view why) {
  const auto now = Clock::now();
  if (last_report_ && now - *last_report_ < kRefusalReportInterval) return;
  last_report_ = now;
  std::string line = "velto_protocol: refused a controller: ";
  line += why;
  line += '\n';
  base::write_all_fd(config_.err_fd, line);
}

base::Result<io::UniqueFd, io::IoError> DoorLoop::admit(const io::UniqueFd& listener,
                                                        io::Waiter& waiter) {
  if (auto bound = io::local_address(listener.get())) {
    const std::string url = controller_url(bound.value(), config_.token);
    base::write_all_fd(config_.out_fd, "velto_protocol: controller page at " + url + "\n");
    print_qr_code(config_.out_fd, url);
  }
  // Accepts are taken until none is waiting: the listener must not block.
  const int listener_flags = ::fcntl(listener.get(), F_GETFL);
  if (listener_flags < 0 || ::fcntl(listener.get(), F_SETFL, listener_flags | O_NONBLOCK) < 0) {
    return base::Err(io::IoError::from_errno(errno));
  }
  auto widgets = [this]() -> std::string { return config_.widgets_json(); };
  const DoorConfig door{config_.token, config_.page, widgets};
  std::deque<Pending> pending;
  std::optional<base::Result<io::UniqueFd, io::IoError>> outcome;

  // One pass over what poll found: Over when the wait is (outcome set), Interrupted when
  // a signal came.
  enum class Step { Again, Over, Interrupted };
  auto step = [&]() -> Step {
    std::vector<pollfd> fds;
    fds.push_back({listener.get(), POLLIN, 0});
    auto earliest = std::optional<Clock::time_point>();
    for (const Pending& p : pending) {
      fds.push_back({p.fd.get(), static_cast<short>(p.answered ? POLLOUT : POLLIN), 0});
      if (!earliest || p.deadline < *earliest) earliest = p.deadline;
    }
    int timeout_ms = -1;
    if (earliest) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*earliest - Clock::now());
      timeout_ms = static_cast<int>(std::max<long long>(0, left.count()));
    }
    const int n = ::poll(fds.data(), fds.size(), timeout_ms);
    if (n < 0) {
      if (errno == EINTR) return Step::Interrupted;
      outcome.emplace(base::Err(io::IoError::from_errno(errno)));
      return Step::Over;
    }
    const auto now = Clock::now();
    // The pending connections first, in the order polled: the listener may add to them.
    std::vector<bool> drop(pending.size(), false);
    for (std::size_t i = 0; i < pending.size(); ++i) {
      Pending& p = pending[i];
      const short revents = fds[i + 1].revents;
      if (!p.answered && (revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        char buffer[4096];
        const ssize_t got = ::recv(p.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
          drop[i] = true;
          continue;
        }
        if (got > 0) {
          if (auto a = answer_head(p, buffer, static_cast<std::size_t>(got), door)) {
            if (!a->refusal.empty()) report_refusal(a->refusal);
            p.out = std::move(a->response);
            p.upgrade = a->upgrade;
            p.answered = true;
          }
        }
      }
      if (p.answered) {
        bool failed = false;
        if (send_some(p, failed)) {
          if (p.upgrade) {
            outcome.emplace(make_served(std::move(p.fd)));
            return Step::Over;
          }
          drop[i] = true;  // one request per connection
          continue;
        }
        if (failed) drop[i] = true;
      }
      if (now >= p.deadline) drop[i] = true;
    }
    for (std::size_t i = pending.size(); i-- > 0;) {
      if (drop[i]) pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if ((fds[0].revents & POLLIN) != 0) {
      for (;;) {
        const int fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
          if (errno == EINTR) return Step::Interrupted;
          // Nothing more waiting, or a connection that went before it was taken.
          if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EPROTO) {
            break;
          }
          outcome.emplace(base::Err(io::IoError::from_errno(errno)));
          return Step::Over;
        }
        if (pending.size() == kMaxPendingConnections) pending.pop_front();
        pending.push_back(
            Pending{io::UniqueFd(fd), Clock::now() + kRequestDeadline, {}, {}, 0, false, false});
      }
    }
    return Step::Again;
  };

  waiter.wait(std::nullopt, [&](std::optional<std::chrono::nanoseconds>) {
    // Signals are looked at between passes that poll found interrupted.
    for (;;) {
      const Step s = step();
      if (s != Step::Again) return s == Step::Over;
    }
  });
  return std::move(*outcome);
}

std::vector<std::string> controller_urls(const io::SocketAddress& bound, std::string_view token) {
  const uint16_t port = bound.port();
  if (!is_unspecified(bound)) {
    return {"http://" + bound.to_string() + "/#k=" + std::string(token)};
  }
  std::vector<std::string> v4, v6;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) == 0) {
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
      if (it->ifa_addr == nullptr) continue;
      if (it->ifa_addr->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
        char host[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        v4.push_back(url_for(host, false, port, token));
      } else if (it->ifa_addr->sa_family == AF_INET6 && bound.family() == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(it->ifa_addr);
        if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) || IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr)) {
          continue;
        }
        char host[INET6_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        v6.push_back(url_for(host, true, port, token));
      }
    }
    ::freeifaddrs(list);
  }
  std::vector<std::string> urls = std::move(v4);
  urls.push_back(url_for("127.0.0.1", false, port, token));
  urls.insert(urls.end(), v6.begin(), v6.end());
  return urls;
}

std::string controller_url(const io::SocketAddress& bound, std::string_view token) {
  return controller_urls(bound, token).front();
}

std::string widgets_json(const std::vector<std::string>& keys) {
  std::set<std::pair<int, std::string>> widgets;
  for (const std::string& key : keys) {
    auto identity = base::extract_identity(key);
    if (!identity) continue;
    auto [id, kind] = std::move(identity).value();
    if (base::is_widget_kind(kind)) widgets.emplace(id, std::move(kind));
  }
  std::string json = "[";
  for (const auto& [id, kind] : widgets) {
    if (json.size() > 1) json += ',';
    json += "[\"" + kind + "\"," + std::to_string(id) + "]";
  }
  json += ']';
  return json;
}

}  // namespace velto::server::ws
