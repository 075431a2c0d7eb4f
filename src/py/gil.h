// The interpreter lock: waits without it, a serving thread's own state, and the exit rules.
//
// When the program ends, CPython ends every other thread that asks for the lock from then
// on: inside PyEval_RestoreThread / PyGILState_Ensure it calls pthread_exit, whose forced
// unwind (abi::__forced_unwind) runs the destructors of every frame above, without the lock.
// PyPy leaves such threads blocked in the request instead. Hence, for both:
//   - the lock is taken in straight-line code, never in a destructor (a destructor that
//     is ended by an unwind terminates the process);
//   - every catch ladder that a call into Python can reach rethrows abi::__forced_unwind
//     first (base/forced_unwind.h), so no trampoline or dealloc may be noexcept;
//   - guards and reference owners do nothing with the interpreter when this thread does
//     not hold the lock (holds_lock(), python.h): what they own is left to the process's
//     exit. A thread keeps its own account of that; the interpreter is not asked.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>

#include "base/forced_unwind.h"
#include "py/python.h"
#include "py/release_queue.h"

namespace velto::py {

/// Runs `wait` (a blocking call that touches no Python object) with the interpreter lock
/// released and takes the lock back after it, as straight-line code: at exit the retake may
/// end the thread, and then this frame has nothing left to undo. The caller holds the lock.
/// An ordinary exception from `wait` is passed on with the lock taken back.
template <typename Wait>
VELTO_CATCHES_FORCED_UNWIND auto without_gil(Wait&& wait) -> std::invoke_result_t<Wait&> {
  using R = std::invoke_result_t<Wait&>;
  if constexpr (std::is_void_v<R>) {
    without_gil([&] {
      wait();
      return true;
    });
  } else {
    detail::tl_without_lock = true;
    PyThreadState* saved = PyEval_SaveThread();
    std::optional<R> result;
    try {
      result.emplace(wait());
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      PyEval_RestoreThread(saved);
      detail::tl_without_lock = false;
      throw;
    }
    PyEval_RestoreThread(saved);
    detail::tl_without_lock = false;
    return std::move(*result);
  }
}

/// Registers, with `atexit`, the mark of the thread that will end the interpreter (CPython
/// runs the exit functions on it, holding the lock, just before it begins to end), which
/// holds_lock() needs. Nothing on PyPy. Caller holds the lock; throws on failure.
void watch_interpreter_end();

/// The interpreter's state for one thread of ours, made on the thread's first `acquire()`
/// and kept, without the lock, for the thread's life. Creating a state per call costs
/// microseconds, taking the lock with an existing one a fraction of that. Until its first
/// acquire the thread never waits for the lock. Used on the thread itself only, which runs
/// without the lock from this object's construction on, except between acquire and release.
class ThreadState {
 public:
  ThreadState() { detail::tl_without_lock = true; }
  /// Does nothing: a state not given back by `finish()` is left to the process's exit.
  ~ThreadState() = default;
  ThreadState(const ThreadState&) = delete;
  ThreadState& operator=(const ThreadState&) = delete;

  /// Takes the lock with this thread's state, then carries out queued releases. At exit
  /// CPython ends the thread inside this call; a thread without a state then ends before
  /// making one, as the interpreter may already have dropped what a new state needs.
  void acquire() {
    if (saved_ == nullptr) {
#ifndef PYPY_VERSION
      if (interpreter_ending()) PyThread_exit_thread();
#endif
      gil_ = PyGILState_Ensure();
    } else {
      PyEval_RestoreThread(std::exchange(saved_, nullptr));
    }
    detail::tl_without_lock = false;
    made_ = true;
    drain_releases();
  }
  /// Gives the lock back. Caller holds it.
  void release() {
    detail::tl_without_lock = true;
    saved_ = PyEval_SaveThread();
  }

  /// Gives the state back to the interpreter; last, without the lock. Skipped when the
  /// interpreter is ending: its lock cannot be taken any more.
  void finish() {
    if (!made_ || saved_ == nullptr || interpreter_ending()) return;
    PyEval_RestoreThread(std::exchange(saved_, nullptr));
    detail::tl_without_lock = false;
    drain_releases();
    detail::tl_without_lock = true;
    PyGILState_Release(gil_);
    made_ = false;
  }

  /// Holds the lock for a scope: `acquire()` on construction; on destruction `release()`,
  /// unless the thread no longer holds the lock: it lost it inside the scope, to a
  /// pure-Python handler that gave it away for a moment at exit, and is being unwound.
  class Hold {
   public:
    explicit Hold(ThreadState& ts) : ts_(ts) { ts_.acquire(); }
    ~Hold() {
      if (holds_lock()) ts_.release();
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    ThreadState& ts_;
  };

 private:
  PyGILState_STATE gil_{};
  PyThreadState* saved_ = nullptr;  // set while this thread has made its state and not the lock
  bool made_ = false;
};

}  // namespace velto::py
