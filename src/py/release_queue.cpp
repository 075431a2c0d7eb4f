// The process-wide queue of reference releases made without the interpreter lock.
#include "py/release_queue.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace velto::py {

namespace {

// Never destroyed: threads of ours may still queue while the process exits.
struct Queue {
  std::mutex mutex;
  std::vector<PyObject*> pending;
  std::atomic<bool> dirty{false};
};

Queue& queue() {
  static Queue* q = new Queue;  // plain C++ state, not a Python object
  return *q;
}

}  // namespace

void release_later(PyObject* obj) {
  if (obj == nullptr) return;
  Queue& q = queue();
  std::lock_guard lock(q.mutex);
  q.pending.push_back(obj);
  q.dirty.store(true, std::memory_order_release);
}

void drain_releases() {
  Queue& q = queue();
  if (!q.dirty.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard lock(q.mutex);
    batch.swap(q.pending);
    q.dirty.store(false, std::memory_order_relaxed);
  }
  // Outside the mutex: a release can run Python code, which may queue more.
  for (PyObject* obj : batch) Py_DECREF(obj);
}

void SharedRef::reset() {
  PyObject* p = std::exchange(p_, nullptr);
  if (p == nullptr) return;
  if (holds_lock()) {
    Py_DECREF(p);
  } else {
    release_later(p);
  }
}

}  // namespace velto::py
