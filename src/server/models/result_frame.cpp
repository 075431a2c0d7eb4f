// The reply to send, built from an id, a status and a Python result object.
#include "server/models/result_frame.h"

#include <string>
#include <utility>

#include "base/panic.h"
#include "py/args.h"
#include "server/models/results.h"

namespace velto::server::models {
namespace {
[[noreturn]] void binding_failed(const std::string& error_text) {
  throw base::Panic("Python data failed to be bound: " + error_text);
}

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

// Copies the record of `obj` if it is an instance of the cell's class that can be read;
// otherwise says why not, as the text of a Python error.
template <typename Record>
bool read_result(PyObject* obj, py::TypeCell& cell, Record& out, std::string& failure) {
  PyTypeObject* type = cell.require();
  if (!PyObject_TypeCheck(obj, type)) {
    failure = "TypeError: " + py::cannot_convert(obj, cell.class_name);
    return false;
  }
  auto* inst = py::instance_of<Record>(obj);
  if (inst->flag.exclusive()) {
    failure = "RuntimeError: Already mutably borrowed";
    return false;
  }
  py::SharedBorrow use(inst->flag);
  out = inst->value;
  return true;
}

}  // namespace

base::ResultFrame result_frame_new(uint8_t id, base::ServerStatus status, py::Ref data) {
  py::Ref object = std::move(data);
  std::string confirm_failure, error_failure;
  base::result::ConfirmResult confirm;
  if (read_result(object.get(), ConfirmResult_cell, confirm, confirm_failure)) {
    return base::ResultFrame{id, status, confirm};
  }
  base::result::ErrorResult error;
  if (read_result(object.get(), ErrorResult_cell, error, error_failure)) {
    return base::ResultFrame{id, status, std::move(error)};
  }
  binding_failed(binding_error_text(confirm_failure, error_failure));
}

}  // namespace velto::server::models
