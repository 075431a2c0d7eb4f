// The Python classes of widget values: WidgetRegistry, its six kind classes, and Coord.
#include "server/models/widget_classes.h"

#include <array>
#include <initializer_list>
#include <source_location>
#include <string>
#include <utility>
#include <variant>

#include "py/args.h"
#include "py/entry.h"
#include "py/method.h"

namespace velto::server::models {

namespace {

using py::Ref;
namespace widget = base::widget;

// A new instance of `type` holding `value`. The callers hand objects to Python code that
// expects them, so failing to create one is an internal failure, not the caller's error.
// The failure is reported at the caller's `loc`.
template <typename T>
Ref new_or_panic(py::TypeCell& cell, const T& value, std::source_location loc) {
  PyTypeObject* type = cell.require(loc);
  try {
    return py::new_instance<T>(type, value);
  } catch (py::PythonError& e) {
    e.restore();
    py::print_pending();
    throw base::Panic(std::string("failed to create an instance of ") + cell.class_name, loc);
  }
}

// The kind record of a kind object, after the check that `self` is of the cell's class.
template <typename Kind>
const Kind& kind_of(PyObject* self, py::TypeCell& cell,
                    std::source_location loc = std::source_location::current()) {
  auto* inst = py::reach<base::WidgetRegistry, py::Use::Unguarded>(self, cell);
  const Kind* kind = std::get_if<Kind>(&inst->value.value);
  if (kind == nullptr) {
    throw base::Panic(
        std::string("an instance of ") + cell.class_name + " holds a widget of another kind", loc);
  }
  return *kind;
}

Ref float_object(float value) { return py::check(PyFloat_FromDouble(static_cast<double>(value))); }

Ref coord_object(const base::Coord& coord,
                 std::source_location loc = std::source_location::current()) {
  return new_or_panic(Coord_cell, coord, loc);
}

// Stores __match_args__: None for a kind without fields, else the field names in order.
void set_match_args(PyObject* type, std::initializer_list<const char*> fields) {
  if (fields.size() == 0) {
    py::set_class_attr(type, "__match_args__", Py_None);
    return;
  }
  Ref names = py::check(PyTuple_New(static_cast<Py_ssize_t>(fields.size())));
  Py_ssize_t i = 0;
  for (const char* field : fields) {
    Ref name = py::check(PyUnicode_FromString(field));
    if (PyTuple_SetItem(names.get(), i++, name.release()) != 0) py::throw_pending();
  }
  py::set_class_attr(type, "__match_args__", names.get());
}

// --- Constructors -------------------------------------------------------------------------

constexpr py::Params<0> kClickButtonParams{"WidgetRegistry_ClickButton.__new__()", {}};
constexpr py::Params<1> kToggleButtonParams{"WidgetRegistry_ToggleButton.__new__()", {"value"}};
constexpr py::Params<0> kConfirmButtonParams{"WidgetRegistry_ConfirmButton.__new__()", {}};
constexpr py::Params<1> kPressButtonParams{"WidgetRegistry_PressButton.__new__()", {"pressed"}};
constexpr py::Params<1> kDirectionalButtonParams{"WidgetRegistry_DirectionalButton.__new__()",
                                                 {"direction"}};
constexpr py::Params<2> kJoystickParams{"WidgetRegistry_Joystick.__new__()",
                                        {"delta", "intensity"}};

// The instance of the called class; the kind always comes from the class.
Ref make_widget(PyTypeObject* type, base::WidgetRegistry::Variant value) {
  return py::new_instance<base::WidgetRegistry>(type, base::WidgetRegistry{std::move(value)});
}

PyObject* ClickButton_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::run_entry([&] {
    py::check_requested_class(type, WidgetRegistry_ClickButton_cell);
    py::match(kClickButtonParams, args, kwargs);
    return make_widget(type, widget::ClickButton{});
  });
}

PyObject* ToggleButton_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::run_entry([&] {
    py::check_requested_class(type, WidgetRegistry_ToggleButton_cell);
    auto [value] = py::match(kToggleButtonParams, args, kwargs);
    return make_widget(type, widget::ToggleButton{py::to_bool(value, "value")});
  });
}

PyObject* ConfirmButton_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::run_entry([&] {
    py::check_requested_class(type, WidgetRegistry_ConfirmButton_cell);
    py::match(kConfirmButtonParams, args, kwargs);
    return make_widget(type, widget::ConfirmButton{});
  });
}

PyObject* PressButton_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::run_entry([&] {
    py::check_requested_class(type, WidgetRegistry_PressButton_cell);
    auto [pressed] = py::match(kPressButtonParams, args, kwargs);
    return make_widget(type, widget::PressButton{py::to_bool(pressed, "pressed")});
  });
}

PyObject* DirectionalButton_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::run_entry([&] {
    py::check_requested_class(type, WidgetRegistry_DirectionalButton_cell);
    auto [direction] = py::match(kDirectionalButtonParams, args, kwargs);
    return make_widget(type, widget::DirectionalButton{py::to_u8(direction, "direction")});
  });
}

PyObject* Joystick_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::run_entry([&] {
    py::check_requested_class(type, WidgetRegistry_Joystick_cell);
    auto [delta, intensity] = py::match(kJoystickParams, args, kwargs);
    // A braced list evaluates in order: a bad delta is reported before a bad intensity.
    widget::Joystick value{py::copy_arg<base::Coord>(delta, Coord_cell, "delta"),
                           py::to_f32(intensity, "intensity")};
    return make_widget(type, value);
  });
}

// --- Getters ------------------------------------------------------------------------------

PyObject* ToggleButton_value(PyObject* self, void*) {
  return py::run_entry([&] {
    return py::boolean(kind_of<widget::ToggleButton>(self, WidgetRegistry_ToggleButton_cell).value);
  });
}

PyObject* PressButton_pressed(PyObject* self, void*) {
  return py::run_entry([&] {
    return py::boolean(kind_of<widget::PressButton>(self, WidgetRegistry_PressButton_cell).pressed);
  });
}

PyObject* DirectionalButton_direction(PyObject* self, void*) {
  return py::run_entry([&] {
    const auto& kind =
        kind_of<widget::DirectionalButton>(self, WidgetRegistry_DirectionalButton_cell);
    return py::check(PyLong_FromLong(kind.direction));
  });
}

PyObject* Joystick_delta(PyObject* self, void*) {
  return py::run_entry([&] {
    return coord_object(kind_of<widget::Joystick>(self, WidgetRegistry_Joystick_cell).delta);
  });
}

PyObject* Joystick_intensity(PyObject* self, void*) {
  return py::run_entry([&] {
    return float_object(kind_of<widget::Joystick>(self, WidgetRegistry_Joystick_cell).intensity);
  });
}

template <float base::Coord::*Field>
PyObject* Coord_get(PyObject* self, void*) {
  return py::run_method<base::Coord, py::Use::Shared>(
      self, Coord_cell, [](const base::Coord& c) { return float_object(c.*Field); });
}

// --- Type specifications ------------------------------------------------------------------

PyType_Slot WidgetRegistry_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {0, nullptr},
};
PyType_Spec WidgetRegistry_spec = {
    .name = "velto_protocol.WidgetRegistry",
    .basicsize = sizeof(PyObject),
    .itemsize = 0,
    .flags = py::kTypeFlags | Py_TPFLAGS_BASETYPE,
    .slots = WidgetRegistry_slots,
};

// Every kind class has the instance layout of the whole widget value.
constexpr PyType_Spec kind_spec(const char* name, PyType_Slot* slots) {
  return {
      .name = name,
      .basicsize = sizeof(WidgetInstance),
      .itemsize = 0,
      .flags = py::kTypeFlags,
      .slots = slots,
  };
}

PyType_Slot ClickButton_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ClickButton_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<base::WidgetRegistry>)},
    {Py_tp_doc, const_cast<char*>(py::function_doc<kClickButtonParams>)},
    {0, nullptr},
};
PyType_Spec ClickButton_spec =
    kind_spec("velto_protocol.WidgetRegistry_ClickButton", ClickButton_slots);

PyGetSetDef ToggleButton_getset[] = {
    {"value", ToggleButton_value, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot ToggleButton_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ToggleButton_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<base::WidgetRegistry>)},
    {Py_tp_doc, const_cast<char*>(py::function_doc<kToggleButtonParams>)},
    {Py_tp_getset, ToggleButton_getset},
    {0, nullptr},
};
PyType_Spec ToggleButton_spec =
    kind_spec("velto_protocol.WidgetRegistry_ToggleButton", ToggleButton_slots);

PyType_Slot ConfirmButton_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ConfirmButton_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<base::WidgetRegistry>)},
    {Py_tp_doc, const_cast<char*>(py::function_doc<kConfirmButtonParams>)},
    {0, nullptr},
};
PyType_Spec ConfirmButton_spec =
    kind_spec("velto_protocol.WidgetRegistry_ConfirmButton", ConfirmButton_slots);

PyGetSetDef PressButton_getset[] = {
    {"pressed", PressButton_pressed, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot PressButton_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PressButton_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<base::WidgetRegistry>)},
    {Py_tp_doc, const_cast<char*>(py::function_doc<kPressButtonParams>)},
    {Py_tp_getset, PressButton_getset},
    {0, nullptr},
};
PyType_Spec PressButton_spec =
    kind_spec("velto_protocol.WidgetRegistry_PressButton", PressButton_slots);

PyGetSetDef DirectionalButton_getset[] = {
    {"direction", DirectionalButton_direction, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot DirectionalButton_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(DirectionalButton_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<base::WidgetRegistry>)},
    {Py_tp_doc, const_cast<char*>(py::function_doc<kDirectionalButtonParams>)},
    {Py_tp_getset, DirectionalButton_getset},
    {0, nullptr},
};
PyType_Spec DirectionalButton_spec =
    kind_spec("velto_protocol.WidgetRegistry_DirectionalButton", DirectionalButton_slots);

PyGetSetDef Joystick_getset[] = {
    {"delta", Joystick_delta, nullptr, nullptr, nullptr},
    {"intensity", Joystick_intensity, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot Joystick_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Joystick_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<base::WidgetRegistry>)},
    {Py_tp_doc, const_cast<char*>(py::function_doc<kJoystickParams>)},
    {Py_tp_getset, Joystick_getset},
    {0, nullptr},
};
PyType_Spec Joystick_spec = kind_spec("velto_protocol.WidgetRegistry_Joystick", Joystick_slots);

PyGetSetDef Coord_getset[] = {
    {"x", Coord_get<&base::Coord::x>, nullptr, nullptr, nullptr},
    {"y", Coord_get<&base::Coord::y>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot Coord_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<base::Coord>)},
    {Py_tp_getset, Coord_getset},
    {0, nullptr},
};
PyType_Spec Coord_spec = {
    .name = "velto_protocol.Coord",
    .basicsize = sizeof(CoordInstance),
    .itemsize = 0,
    .flags = py::kTypeFlags,
    .slots = Coord_slots,
};

// --- Class attributes ---------------------------------------------------------------------

void fill_no_fields(PyObject* type) { set_match_args(type, {}); }
void fill_toggle_button(PyObject* type) { set_match_args(type, {"value"}); }
void fill_press_button(PyObject* type) { set_match_args(type, {"pressed"}); }
void fill_directional_button(PyObject* type) { set_match_args(type, {"direction"}); }
void fill_joystick(PyObject* type) { set_match_args(type, {"delta", "intensity"}); }

void fill_widget_registry(PyObject* type);

}  // namespace

py::TypeCell WidgetRegistry_cell{"WidgetRegistry", &WidgetRegistry_spec, nullptr,
                                 fill_widget_registry};
py::TypeCell WidgetRegistry_ClickButton_cell{"WidgetRegistry_ClickButton", &ClickButton_spec,
                                             &WidgetRegistry_cell, fill_no_fields};
py::TypeCell WidgetRegistry_ToggleButton_cell{"WidgetRegistry_ToggleButton", &ToggleButton_spec,
                                              &WidgetRegistry_cell, fill_toggle_button};
py::TypeCell WidgetRegistry_ConfirmButton_cell{"WidgetRegistry_ConfirmButton", &ConfirmButton_spec,
                                               &WidgetRegistry_cell, fill_no_fields};
py::TypeCell WidgetRegistry_PressButton_cell{"WidgetRegistry_PressButton", &PressButton_spec,
                                             &WidgetRegistry_cell, fill_press_button};
py::TypeCell WidgetRegistry_DirectionalButton_cell{"WidgetRegistry_DirectionalButton",
                                                   &DirectionalButton_spec, &WidgetRegistry_cell,
                                                   fill_directional_button};
py::TypeCell WidgetRegistry_Joystick_cell{"WidgetRegistry_Joystick", &Joystick_spec,
                                          &WidgetRegistry_cell, fill_joystick};
py::TypeCell Coord_cell{"Coord", &Coord_spec};

namespace {

// In kind-index order.
constexpr std::array<py::TypeCell*, base::kWidgetKindCount> kKindCells = {
    &WidgetRegistry_ClickButton_cell,       &WidgetRegistry_ToggleButton_cell,
    &WidgetRegistry_ConfirmButton_cell,     &WidgetRegistry_PressButton_cell,
    &WidgetRegistry_DirectionalButton_cell, &WidgetRegistry_Joystick_cell,
};

// Stores the six kind classes, created with it, as class attributes, in kind order.
void fill_widget_registry(PyObject* type) {
  for (std::size_t kind = 0; kind < kKindCells.size(); ++kind) {
    PyObject* kind_class = reinterpret_cast<PyObject*>(kKindCells[kind]->type);
    if (kind_class == nullptr) {
      throw base::Panic(std::string(kKindCells[kind]->class_name) + " is not created with " +
                        WidgetRegistry_cell.class_name);
    }
    const std::string name(base::kWidgetKindNames[kind]);
    py::set_class_attr(type, name.c_str(), kind_class);
  }
}

}  // namespace

Ref widget_object(const base::WidgetRegistry& widget, std::source_location loc) {
  return new_or_panic(*kKindCells[widget.value.index()], widget, loc);
}

Ref call_handler(PyObject* callable, const base::WidgetRegistry& widget) {
  Ref object = widget_object(widget);
  PyObject* args[] = {object.get()};
  return Ref::steal(PyObject_Vectorcall(callable, args, 1, nullptr));
}

}  // namespace velto::server::models
