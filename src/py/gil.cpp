// The mark of the thread that ends the interpreter.
#include "py/gil.h"

#include "py/entry.h"

namespace velto::py {

namespace {

#ifndef PYPY_VERSION
PyObject* mark_ending_thread(PyObject*, PyObject*) {
  return run_entry([] {
    detail::tl_ends_interpreter = true;
    return none();
  });
}

PyMethodDef mark_ending_thread_def = {"_mark_ending_thread", mark_ending_thread, METH_NOARGS,
                                      "_mark_ending_thread()\n--\n\n"};
#endif

}  // namespace

void watch_interpreter_end() {
#ifndef PYPY_VERSION
  Ref atexit = check(PyImport_ImportModule("atexit"));
  Ref mark = check(PyCFunction_New(&mark_ending_thread_def, nullptr));
  Ref registered = check(PyObject_CallMethod(atexit.get(), "register", "O", mark.get()));
#endif
}

}  // namespace velto::py
