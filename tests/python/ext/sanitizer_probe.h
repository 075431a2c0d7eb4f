// Test-only probes that lose memory on purpose, to show the sanitizer build reports it.
#pragma once

#include "py/python.h"

namespace velto::testext {

/// Adds leak_allocation() and leak_reference() to the test-only module (throws on failure).
void add_sanitizer_probes(PyObject* module);

}  // namespace velto::testext
