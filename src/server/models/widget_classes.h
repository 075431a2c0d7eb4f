// The Python classes of widget values: WidgetRegistry, its six kind classes, and Coord.
#pragma once

#include "base/widget_registry.h"
#include "py/type_builder.h"

namespace velto::server::models {

/// Instances of the six kind classes hold the whole widget value; its kind always matches
/// the class. A Coord instance holds its two floats.
using WidgetInstance = py::Instance<base::WidgetRegistry>;
using CoordInstance = py::Instance<base::Coord>;

/// The subclassable base without constructor. Creating it also creates the six kind
/// classes, which it carries as class attributes.
extern py::TypeCell WidgetRegistry_cell;
extern py::TypeCell WidgetRegistry_ClickButton_cell;
extern py::TypeCell WidgetRegistry_ToggleButton_cell;
extern py::TypeCell WidgetRegistry_ConfirmButton_cell;
extern py::TypeCell WidgetRegistry_PressButton_cell;
extern py::TypeCell WidgetRegistry_DirectionalButton_cell;
extern py::TypeCell WidgetRegistry_Joystick_cell;
/// Not a module attribute; created on first use.
extern py::TypeCell Coord_cell;

/// A new instance of the class of `widget`'s kind holding a copy of it. Failing to create
/// the class or the object is an internal failure.
py::Ref widget_object(const base::WidgetRegistry& widget);

/// Calls a registered handler: `callable(widget_object(widget))`, one positional argument
/// and no keywords. Returns the call's result, or null with the handler's exception set.
/// Caller holds the interpreter lock.
py::Ref call_handler(PyObject* callable, const base::WidgetRegistry& widget);

}  // namespace velto::server::models
