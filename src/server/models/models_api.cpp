// The module's private C interface to its value classes, exported in a capsule.
#include "server/models/models_api.h"

#include <array>
#include <string_view>
#include <utility>

#include "py/args.h"
#include "py/entry.h"
#include "py/type_builder.h"
#include "server/models/result_frame.h"
#include "server/models/widget_classes.h"

namespace velto::server::models {

namespace {

using py::Ref;

PyObject* api_widget_object(const base::WidgetRegistry* widget) {
  return py::run_entry([&] { return widget_object(*widget); });
}

int api_widget_value(PyObject* obj, const char* param, base::WidgetRegistry* out) {
  return py::run_entry_int([&] {
    // Only the six kind classes hold a value; their base and its subclasses hold none.
    const std::array<py::TypeCell*, base::kWidgetKindCount> kinds = {
        &WidgetRegistry_ClickButton_cell,       &WidgetRegistry_ToggleButton_cell,
        &WidgetRegistry_ConfirmButton_cell,     &WidgetRegistry_PressButton_cell,
        &WidgetRegistry_DirectionalButton_cell, &WidgetRegistry_Joystick_cell,
    };
    for (py::TypeCell* cell : kinds) {
      if (Py_TYPE(obj) == cell->require()) {
        *out = py::reach<base::WidgetRegistry, py::Use::Unguarded>(obj, *cell, param)->value;
        return;
      }
    }
    py::throw_argument_error(param, py::cannot_convert(obj, WidgetRegistry_cell.class_name));
  });
}

PyObject* api_call_handler(PyObject* callable, const base::WidgetRegistry* widget) {
  return py::run_entry([&] {
    Ref result = call_handler(callable, *widget);
    if (!result) py::throw_pending();
    return result;
  });
}

int api_result_frame_new(uint8_t id, base::ServerStatus status, PyObject* data, const char* param,
                         base::ResultFrame* out) {
  return py::run_entry_int([&] { *out = result_frame_new(id, status, Ref::borrow(data), param); });
}

PyObject* api_encode_reply(const base::ResultFrame* reply) {
  return py::run_entry([&] {
    const base::EncodedReply encoded(*reply);
    return py::check(
        PyBytes_FromStringAndSize(encoded.data(), static_cast<Py_ssize_t>(encoded.size())));
  });
}

// Static storage: the capsule points into it for the life of the process.
const ModelsApi kModelsApi = {
    .size = sizeof(ModelsApi),
    .widget_object = api_widget_object,
    .widget_value = api_widget_value,
    .call_handler = api_call_handler,
    .result_frame_new = api_result_frame_new,
    .encode_reply = api_encode_reply,
};

}  // namespace

PyObject* new_models_api_capsule() {
  return PyCapsule_New(const_cast<ModelsApi*>(&kModelsApi), kModelsApiCapsuleName, nullptr);
}

}  // namespace velto::server::models
