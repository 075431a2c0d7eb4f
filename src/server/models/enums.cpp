// ServerStatus and Protocol as Python enumerations with fixed members.
#include "server/models/enums.h"

#include <array>
#include <climits>
#include <string>
#include <string_view>

#include "py/args.h"
#include "py/entry.h"
#include "py/method.h"

namespace velto::server::models {

namespace {

using py::Ref;

/// One enumeration: its class name, member names in code order and its type cell.
struct EnumInfo {
  const char* class_name;
  std::array<std::string_view, 4> members;
  py::TypeCell* cell;
};

struct EnumValue {
  uint8_t code;
};
using EnumInstance = py::Instance<EnumValue>;

// Defined below, once the cells exist.
extern const EnumInfo kServerStatusInfo;
extern const EnumInfo kProtocolInfo;

template <const EnumInfo& Info>
PyObject* Enum_repr(PyObject* self) {
  return py::run_method<EnumValue, py::Use::Shared>(self, *Info.cell, [](const EnumValue& v) {
    std::string text = std::string(Info.class_name) + "." + std::string(Info.members[v.code]);
    return py::check(py::new_str(text));
  });
}

template <const EnumInfo& Info>
PyObject* Enum_int(PyObject* self) {
  return py::run_method<EnumValue, py::Use::Shared>(
      self, *Info.cell, [](const EnumValue& v) { return py::check(PyLong_FromLong(v.code)); });
}

// The other side of a comparison as an integer in the signed 32-bit range, if it is one.
bool compare_operand(PyObject* other, long long& out) {
  Ref index = PyLong_Check(other) ? Ref::borrow(other) : Ref::steal(PyNumber_Index(other));
  if (!index) {
    PyErr_Clear();
    return false;
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  if (v < INT32_MIN || v > INT32_MAX) return false;
  out = v;
  return true;
}

// Equality against members of the same class and against integers; every failure and
// every ordering is NotImplemented, so comparisons never raise by themselves.
template <const EnumInfo& Info>
PyObject* Enum_richcompare(PyObject* self, PyObject* other, int op) {
  return py::run_entry([&] {
    PyTypeObject* type = Info.cell->type;
    Ref not_implemented = Ref::borrow(Py_NotImplemented);
    if (type == nullptr || !PyObject_TypeCheck(self, type)) return not_implemented;
    auto* inst = py::instance_of<EnumValue>(self);
    if (inst->flag.exclusive()) return not_implemented;
    if (op < Py_LT || op > Py_GE) return not_implemented;
    long long theirs;
    if (PyObject_TypeCheck(other, type)) {
      auto* o = py::instance_of<EnumValue>(other);
      if (o->flag.exclusive()) return not_implemented;
      theirs = o->value.code;
    } else if (!compare_operand(other, theirs)) {
      return not_implemented;
    }
    if (op == Py_EQ) return py::boolean(inst->value.code == theirs);
    if (op == Py_NE) return py::boolean(inst->value.code != theirs);
    return not_implemented;
  });
}

template <const EnumInfo& Info>
void fill_members(PyObject* type) {
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  for (std::size_t code = 0; code < Info.members.size(); ++code) {
    Ref member = py::new_instance<EnumValue>(tp, EnumValue{static_cast<uint8_t>(code)});
    std::string name(Info.members[code]);
    py::set_class_attr(type, name.c_str(), member.get());
  }
}

template <const EnumInfo& Info>
PyType_Slot enum_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<EnumValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(Enum_repr<Info>)},
    {Py_nb_int, reinterpret_cast<void*>(Enum_int<Info>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(Enum_richcompare<Info>)},
    {0, nullptr},
};

PyType_Spec ServerStatus_spec = {
    .name = "velto_protocol.ServerStatus",
    .basicsize = sizeof(EnumInstance),
    .itemsize = 0,
    .flags = py::kTypeFlags,
    .slots = enum_slots<kServerStatusInfo>,
};
PyType_Spec Protocol_spec = {
    .name = "velto_protocol.Protocol",
    .basicsize = sizeof(EnumInstance),
    .itemsize = 0,
    .flags = py::kTypeFlags,
    .slots = enum_slots<kProtocolInfo>,
};

}  // namespace

py::TypeCell ServerStatus_cell{"ServerStatus", &ServerStatus_spec, nullptr,
                               fill_members<kServerStatusInfo>};
py::TypeCell Protocol_cell{"Protocol", &Protocol_spec, nullptr, fill_members<kProtocolInfo>};

namespace {
constexpr EnumInfo kServerStatusInfo{"ServerStatus", base::kServerStatusNames, &ServerStatus_cell};
constexpr EnumInfo kProtocolInfo{"Protocol", base::kProtocolNames, &Protocol_cell};
}  // namespace

base::ServerStatus server_status_from_arg(PyObject* obj, const char* param) {
  return static_cast<base::ServerStatus>(
      py::copy_arg<EnumValue>(obj, ServerStatus_cell, param).code);
}

}  // namespace velto::server::models
