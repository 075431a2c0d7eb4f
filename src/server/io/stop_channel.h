// The stop channel: an unbounded queue of booleans from one sender to one receiver.
#pragma once

#include <memory>
#include <utility>

#include "base/error.h"
#include "base/result.h"

namespace velto::server::io {

namespace detail {
struct StopChannelState;
}

class StopReceiver;

/// The sending end. Releasing it (destruction or move-assignment over it) disconnects the
/// channel for the receiver once the queue is drained.
class StopSender {
 public:
  StopSender() = default;
  StopSender(StopSender&&) noexcept = default;
  StopSender& operator=(StopSender&& other) noexcept;
  ~StopSender();

  /// Queues `value` without waiting. Fails with "sending on a closed channel" once the
  /// receiver has been released (or when this sender is empty).
  base::Result<base::Unit> send(bool value);

 private:
  friend std::pair<StopSender, StopReceiver> make_stop_channel();
  explicit StopSender(std::shared_ptr<detail::StopChannelState> state) : state_(std::move(state)) {}
  void release();

  std::shared_ptr<detail::StopChannelState> state_;
};

/// What a receive attempt found.
struct StopReceived {
  enum class State { Message, Empty, Disconnected };
  State state = State::Empty;
  /// The message's value when state is Message.
  bool value = false;
};

/// The receiving end. Releasing it makes every later send fail.
class StopReceiver {
 public:
  StopReceiver() = default;
  StopReceiver(StopReceiver&&) noexcept = default;
  StopReceiver& operator=(StopReceiver&& other) noexcept;
  ~StopReceiver();

  /// Without waiting: the oldest queued message; else Empty while the sender exists,
  /// Disconnected once it is released (or when this receiver is empty).
  StopReceived try_receive();
  /// Waits for the oldest queued message, or Disconnected once the sender is released and
  /// nothing is queued.
  StopReceived receive();

 private:
  friend std::pair<StopSender, StopReceiver> make_stop_channel();
  explicit StopReceiver(std::shared_ptr<detail::StopChannelState> state)
      : state_(std::move(state)) {}
  void release();

  std::shared_ptr<detail::StopChannelState> state_;
};

/// A new channel, connected at both ends.
std::pair<StopSender, StopReceiver> make_stop_channel();

}  // namespace velto::server::io
