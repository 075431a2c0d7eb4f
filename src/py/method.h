// The prologue of every method, getter and slot of a class with an access counter.
#pragma once

#include <type_traits>
#include <utility>

#include "py/args.h"
#include "py/borrow.h"
#include "py/entry.h"
#include "py/type_builder.h"

namespace velto::py {

/// How a callable uses its object: readers share it, changing methods hold it alone.
enum class Use { Shared, Exclusive };

template <Use U>
using UseGuard = std::conditional_t<U == Use::Exclusive, ExclusiveBorrow, SharedBorrow>;

/// Runs a method as an entry point, in the one order every method follows: match the
/// arguments, check `self` (its class, and that it holds a value), take its use, then run
/// `body(value, args)`, which converts the arguments and does the work, and give the use
/// back. An arity error is raised before `self` is looked at; an access conflict before
/// any argument is converted.
template <typename T, Use U, std::size_t N, typename Body>
PyObject* run_method(PyObject* self, TypeCell& cell, const Params<N>& params, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return run_entry([&] {
    const Args<N> a = match(params, args, nargs, kwnames);
    Instance<T>* inst = self_as<T>(self, cell);
    UseGuard<U> use(inst->flag);
    return body(inst->value, a);
  });
}

/// The same for a method that takes no arguments (METH_NOARGS), a getter or a slot:
/// `body(value)` runs under the use of `self`.
template <typename T, Use U, typename Body>
PyObject* run_method(PyObject* self, TypeCell& cell, Body&& body) {
  return run_entry([&] {
    Instance<T>* inst = self_as<T>(self, cell);
    UseGuard<U> use(inst->flag);
    return body(inst->value);
  });
}

/// The same as the first form for a method that holds its object only for part of its run:
/// `body(value, args)` runs under the use, and what it returns is handed to `after`, which
/// runs once the use has been given back (a wait that other calls on the object must not
/// be refused during).
template <typename T, Use U, std::size_t N, typename Body, typename After>
PyObject* run_method_then(PyObject* self, TypeCell& cell, const Params<N>& params,
                          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body,
                          After&& after) {
  return run_entry([&] {
    const Args<N> a = match(params, args, nargs, kwnames);
    Instance<T>* inst = self_as<T>(self, cell);
    auto held = [&] {
      UseGuard<U> use(inst->flag);
      return body(inst->value, a);
    }();
    return after(std::move(held));
  });
}

}  // namespace velto::py
