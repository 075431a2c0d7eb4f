// The module-level `on(server)` decorator factory.
#pragma once

#include "py/python.h"
#include "py/ref.h"

namespace velto::server {

/// The module function `on(server)`, built for the module `module`.
py::Ref make_on_function(PyObject* module);

}  // namespace velto::server
