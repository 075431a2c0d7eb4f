// Test-only probes that lose memory on purpose: the sanitizer build's leak check must name
// them, whatever its suppressions of the interpreter's own allocations let through.
#include "sanitizer_probe.h"

#include "py/entry.h"

namespace velto::testext {

namespace {

// Written through a volatile pointer so that the compiler cannot drop the allocation.
char* volatile g_lost = nullptr;

// leak_allocation(): a C++ allocation whose only pointer is overwritten.
PyObject* leak_allocation(PyObject*, PyObject*) noexcept {
  return py::run_entry([] {
    g_lost = new char[4096];
    g_lost = nullptr;
    return py::none();
  });
}

// leak_reference(): a new Python object whose reference is never dropped.
PyObject* leak_reference(PyObject*, PyObject*) noexcept {
  return py::run_entry([] {
    py::Ref bytes = py::check(PyBytes_FromStringAndSize(nullptr, 4096));
    static_cast<void>(bytes.release());  // lost: nothing will ever drop it
    return py::none();
  });
}

PyMethodDef sanitizer_methods[] = {
    {"leak_allocation", leak_allocation, METH_NOARGS, nullptr},
    {"leak_reference", leak_reference, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_sanitizer_probes(PyObject* module) {
  if (PyModule_AddFunctions(module, sanitizer_methods) != 0) py::throw_pending();
}

}  // namespace velto::testext
