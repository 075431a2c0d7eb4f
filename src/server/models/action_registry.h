// Actions (registered Python callables) and the registry that files them by identity key.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "py/release_queue.h"

namespace velto::server::models {

/// One registered callable. Any object is accepted; it is called, never tested. Its
/// reference may be dropped on a thread without the interpreter lock (queued then).
struct Action {
  py::SharedRef callable;
};

/// Hash that lets the registry be searched with a string_view, without building a key.
struct KeyHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view key) const noexcept {
    return std::hash<std::string_view>{}(key);
  }
};

/// Identity key → action. Entries are added or replaced, never removed.
using ActionRegistry = std::unordered_map<std::string, Action, KeyHash, std::equal_to<>>;

/// An independent copy sharing only the Python objects. Caller holds the interpreter lock.
ActionRegistry clone_action_registry(const ActionRegistry& registry);

}  // namespace velto::server::models
