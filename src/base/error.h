// Error: the error value of an operation, a message with its chain of causes.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace velto::base {

/// An operation's error: a message and the causes that led to it, outermost first.
/// Context is added going up with wrap(), so the original message becomes the last cause.
class Error {
 public:
  Error() = default;
  explicit Error(std::string message) : message_(std::move(message)) {}

  const std::string& message() const { return message_; }
  const std::vector<std::string>& causes() const { return causes_; }

  /// A new error whose message is `context` and whose causes are this error's
  /// message followed by its own causes.
  Error wrap(std::string context) && {
    Error outer(std::move(context));
    outer.causes_.reserve(causes_.size() + 1);
    outer.causes_.push_back(std::move(message_));
    for (auto& c : causes_) outer.causes_.push_back(std::move(c));
    return outer;
  }

  /// The display form used when the error becomes a RuntimeError: the message, then
  /// "\n\nCaused by:" and one line per cause (indexed when there are several).
  std::string display() const;

 private:
  std::string message_;
  std::vector<std::string> causes_;
};

/// Raised when the server is in no state for an operation (no connected stream).
struct ServerStateError {
  static constexpr const char* kText = "Bad Server state";
};

}  // namespace velto::base
