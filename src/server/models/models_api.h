// The module's private C interface to its value classes, exported in a capsule.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/frame.h"
#include "base/widget_registry.h"
#include "py/python.h"

namespace velto::server::models {

/// The module attribute that holds the capsule, and the capsule's name (which
/// PyCapsule_Import looks up as "<module>.<attribute>").
inline constexpr const char* kModelsApiAttribute = "_models_api";
inline constexpr const char* kModelsApiCapsuleName = "velto_protocol._models_api";

/// What an extension built from the same sources may call to make and read the module's
/// own objects, as the module itself does (its test probes). Every function takes and
/// returns plain values, runs as an entry point of the module and reports failure the
/// C-API way: null or -1, with the module's exception set (PanicException for an internal
/// failure, reported on standard error first). The caller holds the interpreter lock.
struct ModelsApi {
  /// sizeof(ModelsApi) in the module that filled the table: an importer built from other
  /// sources refuses a table of another size.
  std::size_t size;
  /// A new object of the class of `widget`'s kind holding a copy of it.
  PyObject* (*widget_object)(const base::WidgetRegistry* widget);
  /// Copies the value held by an object of one of the six kind classes into `out`; for
  /// anything else the TypeError "argument '<param>': ..." of the conversion.
  int (*widget_value)(PyObject* obj, const char* param, base::WidgetRegistry* out);
  /// Calls a handler as the dispatch does: `callable(<widget's object>)`; returns its result.
  PyObject* (*call_handler)(PyObject* callable, const base::WidgetRegistry* widget);
  /// The reply whose data is read from the result object `data`, into `out`.
  int (*result_frame_new)(uint8_t id, base::ServerStatus status, PyObject* data, const char* param,
                          base::ResultFrame* out);
  /// The bytes sent for `reply`, as a bytes object.
  PyObject* (*encode_reply)(const base::ResultFrame* reply);
};

/// The capsule holding the module's table (a new reference).
PyObject* new_models_api_capsule();

}  // namespace velto::server::models
