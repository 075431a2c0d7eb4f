// Access counters of instances: shared use by readers, exclusive use by changing methods.
#pragma once

#include "py/errors.h"

namespace velto::py {

/// The counter carried by every instance outside the widget family. Read and changed only
/// under the interpreter lock; it is not a lock: a conflicting request fails at once.
/// It also tells whether the instance holds a value: memory that the interpreter allocated
/// without our constructor (PyPy's object.__new__ allows that) reads as zero, "no value".
class BorrowFlag {
 public:
  BorrowFlag() = default;
  /// False for a value never built (zeroed memory) or already destroyed.
  bool has_value() const { return state_ != kUnbuilt && state_ != kDestroyed; }
  /// True when shared use would fail (exclusive use, or no value).
  bool exclusive() const { return state_ < kFree; }
  bool try_shared() {
    if (state_ < kFree) return false;
    ++state_;
    return true;
  }
  bool try_exclusive() {
    if (state_ != kFree) return false;
    state_ = kExclusive;
    return true;
  }
  void release_shared() { --state_; }
  void release_exclusive() { state_ = kFree; }
  /// The value has been destroyed but the object lives on (an unraisable hook kept it):
  /// every later use fails, and its dealloc must not destroy the value again.
  void mark_destroyed() { state_ = kDestroyed; }

 private:
  static constexpr int kUnbuilt = 0;  // what zeroed memory reads as
  static constexpr int kFree = 1;
  static constexpr int kExclusive = -1;
  static constexpr int kDestroyed = -2;
  int state_ = kFree;  // kFree + n: n readers
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
