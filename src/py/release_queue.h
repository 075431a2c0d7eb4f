// The process-wide queue of reference releases made by threads that do not hold the lock.
#pragma once

#include <utility>

#include "py/python.h"

namespace velto::py {

/// Queues the release of one reference. Safe without the interpreter lock.
void release_later(PyObject* obj);

/// Releases every queued reference. Caller holds the interpreter lock. Cheap when the
/// queue is clean (one atomic load), so every entry point calls it first.
void drain_releases();

/// A reference that may be dropped on any thread: released at once by a thread that holds
/// the interpreter lock, queued otherwise (also by a thread being unwound at exit). Copying
/// takes a new reference and needs the lock.
class SharedRef {
 public:
  SharedRef() = default;
  /// Takes over a new reference.
  static SharedRef steal(PyObject* p) { return SharedRef(p); }
  /// Adds a reference to a borrowed pointer. Caller holds the lock.
  static SharedRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return SharedRef(p);
  }
  SharedRef(const SharedRef& other) : p_(other.p_) { Py_XINCREF(p_); }
  SharedRef& operator=(const SharedRef&) = delete;
  SharedRef(SharedRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  SharedRef& operator=(SharedRef&& other) {  // the release can run Python code
    if (this != &other) {
      reset();
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~SharedRef() { reset(); }

  PyObject* get() const { return p_; }
  void reset();

 private:
  explicit SharedRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace velto::py
