// The stop channel between a server object and its serving thread.
#include "server/io/stop_channel.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace velto::server::io {

namespace detail {
struct StopChannelState {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<bool> queue;
  bool sender_alive = true;
  bool receiver_alive = true;
};
}  // namespace detail

namespace {
constexpr const char* kClosedText = "sending on a closed channel";
}

StopSender& StopSender::operator=(StopSender&& other) noexcept {
  if (this != &other) {
    release();
    state_ = std::move(other.state_);
  }
  return *this;
}

StopSender::~StopSender() { release(); }

void StopSender::release() {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->sender_alive = false;
  }
  state_->changed.notify_all();
  state_.reset();
}

base::Result<base::Unit> StopSender::send(bool value) {
  if (!state_) return base::Err(base::Error(kClosedText));
  std::lock_guard lock(state_->mutex);
  if (!state_->receiver_alive) return base::Err(base::Error(kClosedText));
  state_->queue.push_back(value);
  state_->changed.notify_all();
  return base::Unit{};
}

StopReceiver& StopReceiver::operator=(StopReceiver&& other) noexcept {
  if (this != &other) {
    release();
    state_ = std::move(other.state_);
  }
  return *this;
}

StopReceiver::~StopReceiver() { release(); }

void StopReceiver::release() {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->receiver_alive = false;
    state_->queue.clear();
  }
  state_.reset();
}

StopReceived StopReceiver::try_receive() {
  if (!state_) return {StopReceived::State::Disconnected};
  std::lock_guard lock(state_->mutex);
  if (!state_->queue.empty()) {
    const bool value = state_->queue.front();
    state_->queue.pop_front();
    return {StopReceived::State::Message, value};
  }
  return {state_->sender_alive ? StopReceived::State::Empty : StopReceived::State::Disconnected};
}

StopReceived StopReceiver::receive() {
  if (!state_) return {StopReceived::State::Disconnected};
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [&] { return !state_->queue.empty() || !state_->sender_alive; });
  if (!state_->queue.empty()) {
    const bool value = state_->queue.front();
    state_->queue.pop_front();
    return {StopReceived::State::Message, value};
  }
  return {StopReceived::State::Disconnected};
}

std::pair<StopSender, StopReceiver> make_stop_channel() {
  auto state = std::make_shared<detail::StopChannelState>();
  return {StopSender(state), StopReceiver(state)};
}

}  // namespace velto::server::io
