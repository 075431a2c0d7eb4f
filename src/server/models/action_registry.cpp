// Actions and the registry that files them by identity key.
#include "server/models/action_registry.h"

namespace velto::server::models {

ActionRegistry clone_action_registry(const ActionRegistry& registry) {
  ActionRegistry copy;
  copy.reserve(registry.size());
  for (const auto& [key, action] : registry) copy.emplace(key, Action{action.callable});
  return copy;
}

}  // namespace velto::server::models
