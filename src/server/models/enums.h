// ServerStatus and Protocol as Python enumerations with fixed members.
#pragma once

#include "base/protocol.h"
#include "base/widget_registry.h"
#include "py/type_builder.h"

namespace velto::server::models {

extern py::TypeCell ServerStatus_cell;
extern py::TypeCell Protocol_cell;

/// The ServerStatus member that `obj` is, read under shared use; TypeError naming `param`
/// for anything else (integers included).
base::ServerStatus server_status_from_arg(PyObject* obj, const char* param);

}  // namespace velto::server::models
