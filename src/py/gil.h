// The interpreter lock for threads of ours: nested holds and a serving thread's own state.
#pragma once

#include "py/python.h"
#include "py/release_queue.h"

namespace velto::py {

/// Holds the interpreter lock for a scope; nests when the thread already holds it.
class GilHold {
 public:
  GilHold() : state_(PyGILState_Ensure()) { drain_releases(); }
  ~GilHold() { PyGILState_Release(state_); }
  GilHold(const GilHold&) = delete;
  GilHold& operator=(const GilHold&) = delete;

 private:
  PyGILState_STATE state_;
};

/// Releases the lock for a scope on a thread that holds it (a blocking system call).
class GilRelease {
 public:
  GilRelease() : saved_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(saved_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* saved_;
};

/// The interpreter's state for one thread of ours, made on the thread's first hold of the
/// lock and kept, without the lock, for the thread's life; `Hold` takes the lock with it.
/// Creating a state per call costs microseconds, taking the lock with an existing one a
/// fraction of that. Until its first hold the thread never waits for the lock.
/// Construct, hold and destroy on the thread itself, without holding the lock.
class ThreadState {
 public:
  ThreadState() = default;
  ~ThreadState() {
    if (saved_ == nullptr) return;  // never held the lock
    // The interpreter is gone or going: its lock cannot be taken any more.
    if (!Py_IsInitialized() || _Py_IsFinalizing()) return;
    PyEval_RestoreThread(saved_);
    drain_releases();
    PyGILState_Release(gil_);
  }
  ThreadState(const ThreadState&) = delete;
  ThreadState& operator=(const ThreadState&) = delete;

  /// Holds the lock for a scope, with this thread's state.
  class Hold {
   public:
    explicit Hold(ThreadState& ts) : ts_(ts) {
      if (ts_.saved_ == nullptr) {
        ts_.gil_ = PyGILState_Ensure();
      } else {
        PyEval_RestoreThread(ts_.saved_);
      }
      drain_releases();
    }
    ~Hold() { ts_.saved_ = PyEval_SaveThread(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    ThreadState& ts_;
  };

 private:
  PyGILState_STATE gil_{};
  PyThreadState* saved_ = nullptr;  // null until the first hold
};

}  // namespace velto::py
