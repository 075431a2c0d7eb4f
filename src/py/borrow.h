// Access counters of instances: shared use by readers, exclusive use by changing methods.
#pragma once

#include "py/errors.h"

namespace velto::py {

/// The counter carried by every instance outside the widget family. Read and changed only
/// under the interpreter lock; it is not a lock: a conflicting request fails at once.
class BorrowFlag {
 public:
  bool exclusive() const { return state_ < 0; }
  bool try_shared() {
    if (state_ < 0) return false;
    ++state_;
    return true;
  }
  bool try_exclusive() {
    if (state_ != 0) return false;
    state_ = -1;
    return true;
  }
  void release_shared() { --state_; }
  void release_exclusive() { state_ = 0; }
  /// The value has been destroyed but the object lives on (an unraisable hook kept it):
  /// every later use fails, and its dealloc must not destroy the value again.
  void mark_destroyed() { state_ = kDestroyed; }
  bool destroyed() const { return state_ == kDestroyed; }

 private:
  static constexpr int kDestroyed = -2;
  int state_ = 0;  // > 0: that many readers; -1: one writer; kDestroyed: no value
};

/// Shared use for the guard's lifetime; RuntimeError "Already mutably borrowed" otherwise.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    if (!flag_.try_shared()) throw_error(PyExc_RuntimeError, "Already mutably borrowed");
  }
  ~SharedBorrow() { flag_.release_shared(); }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

/// Exclusive use for the guard's lifetime; RuntimeError "Already borrowed" otherwise.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    if (!flag_.try_exclusive()) throw_error(PyExc_RuntimeError, "Already borrowed");
  }
  ~ExclusiveBorrow() { flag_.release_exclusive(); }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

}  // namespace velto::py
