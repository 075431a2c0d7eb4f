// Test-only probes of the binding layer's conventions that the module's own classes do not
// reach: error values with causes, internal failures, access conflicts, the release queue,
// failures in destruction and in class creation, a class needed before it exists. Built into
// _velto_testext, never installed.
#include "binding_probe.h"

#include <thread>

#include "base/panic.h"
#include "py/args.h"
#include "py/borrow.h"
#include "py/entry.h"
#include "py/gil.h"
#include "py/method.h"
#include "py/type_builder.h"

namespace velto::testext {

using py::Ref;

namespace {

// fail(message, causes): an operation error with a chain of causes.
PyObject* fail(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr py::Params<2> kParams{"fail()", {"message", "causes"}};
  return py::run_entry([&]() -> Ref {
    auto a = py::match(kParams, args, nargs, kwnames);
    base::Error error(py::to_text(a[0], "message"));
    Ref causes = py::check(PySequence_Fast(a[1], "causes must be a sequence"));
    std::vector<std::string> chain;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(causes.get()); ++i) {
      chain.push_back(py::to_text(PySequence_Fast_GET_ITEM(causes.get(), i), "causes"));
    }
    if (chain.empty()) throw py::Error(std::move(error));
    // Wrap from the innermost cause outwards, as operations add context going up.
    base::Error built(chain.back());
    for (std::size_t i = chain.size() - 1; i-- > 0;) built = std::move(built).wrap(chain[i]);
    throw py::Error(std::move(built).wrap(error.message()));
  });
}

// reraise(f): calls f(); its exception comes back as a wrapped Python error value.
PyObject* reraise(PyObject*, PyObject* f) {
  return py::run_entry([&]() -> Ref {
    Ref result = Ref::steal(PyObject_CallNoArgs(f));
    if (!result) throw py::Error(py::PythonError::fetch());
    return result;
  });
}

// panic(message): an internal failure.
PyObject* panic(PyObject*, PyObject* message) {
  return py::run_entry([&]() -> Ref { throw base::Panic(py::to_text(message, "message")); });
}

// call(f): f() as an operation would call Python code.
PyObject* call(PyObject*, PyObject* f) {
  return py::run_entry([&] {
    Ref result = Ref::steal(PyObject_CallNoArgs(f));
    if (!result) py::throw_pending();
    return result;
  });
}

// release_from_thread(obj): a thread without the lock drops a reference to obj.
PyObject* release_from_thread(PyObject*, PyObject* obj) {
  return py::run_entry([&] {
    py::SharedRef ref = py::SharedRef::borrow(obj);
    py::without_gil([&] { std::thread([r = std::move(ref)]() mutable { r.reset(); }).join(); });
    return py::none();
  });
}

// ---- Cell: an object with an access counter -------------------------------------------

struct CellValue {
  uint8_t value;
};
using CellInstance = py::Instance<CellValue>;
extern py::TypeCell Cell_cell;

constexpr py::Params<1> kCellNewParams{"Cell.__new__()", {"value"}};
PyObject* Cell_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::run_entry([&] {
    auto a = py::match(kCellNewParams, args, kwargs);
    return py::new_instance<CellValue>(type, CellValue{py::to_u8(a[0], "value")});
  });
}

constexpr py::Params<1> kCellReadParams{"Cell.read()", {"f"}};
constexpr py::Params<1> kCellWriteParams{"Cell.write()", {"f"}};

template <bool Exclusive>
PyObject* Cell_hold(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  constexpr const py::Params<1>& kParams = Exclusive ? kCellWriteParams : kCellReadParams;
  constexpr py::Use kUse = Exclusive ? py::Use::Exclusive : py::Use::Shared;
  return py::run_method<CellValue, kUse>(self, Cell_cell, kParams, args, nargs, kwnames,
                                         [&](CellValue&, const py::Args<1>& a) {
                                           Ref r = Ref::steal(PyObject_CallOneArg(a[0], self));
                                           if (!r) py::throw_pending();
                                           return r;
                                         });
}

PyObject* Cell_value(PyObject* self, void*) {
  return py::run_method<CellValue, py::Use::Shared>(
      self, Cell_cell, [](const CellValue& v) { return py::check(PyLong_FromLong(v.value)); });
}

PyMethodDef Cell_methods[] = {
    {"read", py::as_pycfunction<Cell_hold<false>>(), METH_FASTCALL | METH_KEYWORDS,
     py::method_doc<kCellReadParams>},
    {"write", py::as_pycfunction<Cell_hold<true>>(), METH_FASTCALL | METH_KEYWORDS,
     py::method_doc<kCellWriteParams>},
    {nullptr, nullptr, 0, nullptr},
};
PyGetSetDef Cell_getset[] = {
    {"value", Cell_value, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot Cell_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Cell_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<CellValue>)},
    {Py_tp_methods, Cell_methods},
    {Py_tp_getset, Cell_getset},
    {Py_tp_doc, const_cast<char*>(py::function_doc<kCellNewParams>)},
    {0, nullptr},
};
PyType_Spec Cell_spec = {"velto_protocol.Cell", sizeof(CellInstance), 0, py::kTypeFlags,
                         Cell_slots};
py::TypeCell Cell_cell{"Cell", &Cell_spec};

// ---- Doomed: its destruction is an internal failure -----------------------------------

struct DoomedValue {
  ~DoomedValue() noexcept(false) { throw base::Panic("doomed object destroyed"); }
};
PyType_Slot Doomed_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(+[](PyTypeObject* type, PyObject*, PyObject*) {
       return py::run_entry([&] { return py::new_instance<DoomedValue>(type); });
     })},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<DoomedValue>)},
    {0, nullptr},
};
PyType_Spec Doomed_spec = {"velto_protocol.Doomed", sizeof(py::Instance<DoomedValue>), 0,
                           py::kTypeFlags, Doomed_slots};
py::TypeCell Doomed_cell{"Doomed", &Doomed_spec};

// ---- Broken: a class whose attributes cannot be stored --------------------------------

PyType_Slot Broken_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {0, nullptr},
};
PyType_Spec Broken_spec = {"velto_protocol.Broken", sizeof(PyObject), 0, py::kTypeFlags,
                           Broken_slots};
py::TypeCell Broken_cell{"Broken", &Broken_spec, nullptr, [](PyObject*) {
                           // A class attribute whose value cannot be computed.
                           py::throw_error(PyExc_ValueError, "no value for the attribute");
                         }};

// broken_class(): creating Broken fails; the error says which class and why.
PyObject* broken_class(PyObject*, PyObject*) {
  return py::run_entry([&] {
    py::TypeCell* const broken[] = {&Broken_cell};
    py::create_classes(broken);
    return Ref::borrow(reinterpret_cast<PyObject*>(Broken_cell.type));
  });
}

// broken_class_in_operation(): an operation that needs Broken, which no batch has created.
PyObject* broken_class_in_operation(PyObject*, PyObject*) {
  return py::run_entry(
      [&] { return Ref::borrow(reinterpret_cast<PyObject*>(Broken_cell.require())); });
}

// unbuilt(cls): an instance of `cls` as the interpreter allocates it, without our
// constructor: zeroed memory, which holds no value (what PyPy's object.__new__ gives).
PyObject* unbuilt(PyObject*, PyObject* cls) {
  return py::run_entry([&] {
    if (!PyType_Check(cls)) py::throw_error(PyExc_TypeError, "unbuilt() takes a class");
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    return py::check(type->tp_alloc(type, 0));
  });
}

PyMethodDef probe_methods[] = {
    {"unbuilt", unbuilt, METH_O, nullptr},
    {"fail", py::as_pycfunction<fail>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"reraise", reraise, METH_O, nullptr},
    {"panic", panic, METH_O, nullptr},
    {"call", call, METH_O, nullptr},
    {"release_from_thread", release_from_thread, METH_O, nullptr},
    {"broken_class", broken_class, METH_NOARGS, nullptr},
    {"broken_class_in_operation", broken_class_in_operation, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_binding_probes(PyObject* module) {
  if (PyModule_AddFunctions(module, probe_methods) != 0) py::throw_pending();
  py::TypeCell* const classes[] = {&Cell_cell, &Doomed_cell};
  py::create_classes(classes);
  for (py::TypeCell* cell : classes) {
    PyObject* type = reinterpret_cast<PyObject*>(cell->type);
    if (PyObject_SetAttrString(module, cell->class_name, type) != 0) py::throw_pending();
  }
}

}  // namespace velto::testext
