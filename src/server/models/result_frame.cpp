// The reply to send, built from an id, a status and a Python result object.
#include "server/models/result_frame.h"

#include <string>
#include <utility>

#include "py/args.h"
#include "server/models/results.h"

namespace velto::server::models {
namespace {

// The TypeError text of a failed conversion: the enum, then each alternative in the order
// tried, with why it failed ("TypeError: 'int' object cannot be converted to ...").
std::string binding_error_text(const std::string& confirm_failure,
                               const std::string& error_failure) {
  return "TypeError: failed to extract enum ResultBinding ('Confirm | Error')\n"
         "- variant Confirm (Confirm): TypeError: failed to extract field "
         "ResultBinding::Confirm.0, caused by " +
         confirm_failure +
         "\n"
         "- variant Error (Error): TypeError: failed to extract field "
         "ResultBinding::Error.0, caused by " +
         error_failure;
}

// The text of the Python error a refused alternative stands for ("TypeError: ...").
std::string refusal_text(py::Refusal why, PyObject* obj, const py::TypeCell& cell) {
  py::RefusalError error = py::refusal_error(why, obj, cell, py::Use::Shared);
  return std::string(error.type_name) + ": " + error.message;
}

}  // namespace

base::ResultFrame result_frame_new(uint8_t id, base::ServerStatus status, py::Ref data,
                                   const char* param) {
  py::Ref object = std::move(data);
  base::result::ConfirmResult confirm;
  const py::Refusal not_confirm = py::try_copy(object.get(), ConfirmResult_cell, confirm);
  if (not_confirm == py::Refusal::kNone) return base::ResultFrame{id, status, confirm};
  base::result::ErrorResult error;
  const py::Refusal not_error = py::try_copy(object.get(), ErrorResult_cell, error);
  if (not_error == py::Refusal::kNone) return base::ResultFrame{id, status, std::move(error)};
  // A result object that holds no value is the caller's bad argument, not a failed binding.
  if (not_confirm == py::Refusal::kNoValue) {
    py::throw_refusal(not_confirm, object.get(), ConfirmResult_cell, py::Use::Shared, param);
  }
  if (not_error == py::Refusal::kNoValue) {
    py::throw_refusal(not_error, object.get(), ErrorResult_cell, py::Use::Shared, param);
  }
  py::binding_failed(binding_error_text(refusal_text(not_confirm, object.get(), ConfirmResult_cell),
                                        refusal_text(not_error, object.get(), ErrorResult_cell)));
}

}  // namespace velto::server::models
