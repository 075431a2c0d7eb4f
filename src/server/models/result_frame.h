// The reply to send, built from an id, a status and a Python result object.
#pragma once

#include <cstdint>

#include "base/frame.h"
#include "py/ref.h"

namespace velto::server::models {

/// Builds a result frame whose data is read from `data`: a ConfirmResult (tried first) or an
/// ErrorResult, its field copied under shared use. Anything else is the internal failure
/// "Python data failed to be bound: " followed by the conversion's TypeError text; a result
/// object that holds no value is the TypeError "argument '<param>': <Class> object holds no
/// value". The caller holds the interpreter lock; `data` is released on every path.
base::ResultFrame result_frame_new(uint8_t id, base::ServerStatus status, py::Ref data,
                                   const char* param);

}  // namespace velto::server::models
