// The dispatch of one decoded frame to its action, and the serving loop's dispatcher.
#pragma once

#include <string>

#include "base/frame.h"
#include "base/result.h"
#include "py/gil.h"
#include "server/io/serving_loop.h"
#include "server/models/action_registry.h"

namespace velto::server {

/// Runs the action filed under the frame's identity key with the frame's widget object.
/// Called on a serving thread without the interpreter lock; takes it (with `thread`) only
/// around the call into Python, and writes nothing while it holds it. Its progress lines go
/// to `lines`, flushed before the call. A missing action is reported there and is success. An
/// exception from the action, whatever its type, is returned as "<qualified type name>: <str>", a
/// line feed and its traceback; a PanicException from it is reported with its traceback and is an
/// internal failure (throws base::Panic).
base::Result<base::Unit, std::string> execute_action(const models::ActionRegistry& registry,
                                                     const base::Frame& frame,
                                                     py::ThreadState& thread,
                                                     io::ProgressLines& lines);

/// The serving loop's dispatcher: a registry snapshot and the thread's interpreter state.
class ActionDispatcher final : public io::Dispatcher {
 public:
  ActionDispatcher(const models::ActionRegistry& registry, py::ThreadState& thread)
      : registry_(registry), thread_(thread) {}
  base::Result<base::Unit, std::string> dispatch(const base::Frame& frame,
                                                 io::ProgressLines& lines) override {
    return execute_action(registry_, frame, thread_, lines);
  }

 private:
  const models::ActionRegistry& registry_;
  py::ThreadState& thread_;
};

}  // namespace velto::server
