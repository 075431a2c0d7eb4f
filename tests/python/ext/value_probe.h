// Test-only probes of the value classes: widget objects as the dispatch makes them, and
// result frames built from result objects.
#pragma once

#include "py/python.h"

namespace velto::testext {

/// Adds the value probe functions to the test-only module (throws on failure).
void add_value_probes(PyObject* module);

}  // namespace velto::testext
