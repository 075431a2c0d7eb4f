// The test-only extension _velto_testext: probes that tests use beside the real module.
#include "binding_probe.h"
#include "py/entry.h"
#include "sanitizer_probe.h"
#include "value_probe.h"

namespace {

PyModuleDef testext_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_velto_testext",
    .m_doc = "Test-only probes of velto_protocol's binding layer. Never installed.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__velto_testext(void) {
#ifdef PYPY_VERSION
  PyEval_InitThreads();
#endif
  return velto::py::run_entry([] {
    velto::py::Ref module = velto::py::check(PyModule_Create(&testext_def));
    velto::testext::add_binding_probes(module.get());
    velto::testext::add_value_probes(module.get());
    velto::testext::add_sanitizer_probes(module.get());
    return module;
  });
}
