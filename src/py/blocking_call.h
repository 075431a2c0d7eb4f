// blocking_call: the one way a method waits on the system (an accept, a send, a poll).
#pragma once

#include <chrono>
#include <optional>
#include <source_location>

#include "base/panic.h"
#include "py/errors.h"
#include "py/gil.h"

namespace velto::py {

/// Runs a call that may block, in the shape of CPython's socket module (`sock_call_ex`),
/// so that every wait follows one rule:
///  1. The caller holds the interpreter lock.
///  2. `attempt(left)` runs with the lock released; `left` is the time until `deadline`
///     (none: no limit; zero or less once it has passed). It returns true when the call is
///     over, keeping its outcome itself, and false when it must be tried again: a signal
///     interrupted it (EINTR), or it stopped short.
///  3. The lock is taken back. Unless the call is over, the signal handlers run: one that
///     raises ends the call with its exception (Ctrl-C: KeyboardInterrupt); otherwise the
///     call is tried again, with the time that remains.
/// `attempt` touches no Python object.
template <typename Attempt>
void blocking_call(std::optional<std::chrono::steady_clock::time_point> deadline, Attempt&& attempt,
                   std::source_location loc = std::source_location::current()) {
  if (!holds_lock()) throw base::Panic("a blocking call made without the interpreter lock", loc);
  for (;;) {
    std::optional<std::chrono::nanoseconds> left;
    if (deadline) left = *deadline - std::chrono::steady_clock::now();
    if (without_gil([&] { return attempt(left); })) return;
    run_signal_handlers(loc);
  }
}

}  // namespace velto::py
