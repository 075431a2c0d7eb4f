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
  /// True when a request for exclusive use would fail (any use, or no value).
  bool in_use() const { return state_ != kFree; }
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

/// How a callable uses an object: readers share it, changing methods hold it alone; the
/// immutable widget family has no access counter, so its callables take no use at all.
enum class Use { Unguarded, Shared, Exclusive };

/// The RuntimeError text of a request for `use` that conflicts with the use already taken.
constexpr const char* conflict_message(Use use) {
  return use == Use::Exclusive ? "Already borrowed" : "Already mutably borrowed";
}

/// Takes `U` use of a counter for the guard's lifetime, or throws the conflict's
/// RuntimeError at once. Unguarded use takes nothing.
template <Use U>
class UseGuard {
 public:
  explicit UseGuard(BorrowFlag& flag) : flag_(flag) {
    const bool taken = U == Use::Exclusive ? flag_.try_exclusive() : flag_.try_shared();
    if (!taken) throw_error(PyExc_RuntimeError, conflict_message(U));
  }
  ~UseGuard() {
    if constexpr (U == Use::Exclusive) {
      flag_.release_exclusive();
    } else {
      flag_.release_shared();
    }
  }
  UseGuard(const UseGuard&) = delete;
  UseGuard& operator=(const UseGuard&) = delete;

 private:
  BorrowFlag& flag_;
};

template <>
class UseGuard<Use::Unguarded> {
 public:
  explicit UseGuard(BorrowFlag&) {}
};

}  // namespace velto::py
