// The Python result classes ConfirmResult and ErrorResult.
#pragma once

#include "base/widget_registry.h"
#include "py/type_builder.h"

namespace velto::server::models {

/// Instances hold the result record; its field is read under shared use.
using ConfirmResultInstance = py::Instance<base::result::ConfirmResult>;
using ErrorResultInstance = py::Instance<base::result::ErrorResult>;

extern py::TypeCell ConfirmResult_cell;
extern py::TypeCell ErrorResult_cell;

}  // namespace velto::server::models
