// Ref: the one owning handle of a PyObject reference.
#pragma once

#include <cassert>
#include <string_view>
#include <utility>

#include "py/python.h"

namespace velto::py {

/// Owns one reference. A raw PyObject* elsewhere is always borrowed.
class Ref {
 public:
  Ref() = default;
  /// Takes over a new reference (may be null).
  static Ref steal(PyObject* p) { return Ref(p); }
  /// Adds a reference to a borrowed pointer (may be null).
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  // Not noexcept: the release can run Python code, which a thread ended at exit leaves
  // by a forced unwind.
  Ref& operator=(Ref&& other) {
    if (this != &other) {
      PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  /// Drops the reference; a thread being unwound at exit leaves it (see gil.h).
  ~Ref() {
    if (p_ == nullptr || !holds_lock()) return;
    assert(PyGILState_Check());
    Py_DECREF(p_);
  }

  PyObject* get() const { return p_; }
  /// Hands the reference to the caller, who must release it.
  [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

/// A new `str` holding the UTF-8 text (a new reference, or null with the error set).
inline PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace velto::py
