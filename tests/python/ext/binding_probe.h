// Test-only probes of the binding layer.
#pragma once

#include "py/python.h"

namespace velto::testext {

/// Adds the probe functions and classes to the test-only module (throws on failure).
void add_binding_probes(PyObject* module);

}  // namespace velto::testext
