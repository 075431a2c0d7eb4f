// Result<T, E>: a value or an error, returned by every fallible operation.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

#include "base/error.h"

namespace velto::base {

/// Tag type that builds the error side of a Result: `return Err(Error{"..."});`.
template <typename E>
struct Err {
  E error;
};
template <typename E>
Err(E) -> Err<E>;

/// A value of type T or an error of type E. Never ignore one.
template <typename T, typename E = Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  template <typename F>
  Result(Err<F> err) : v_(std::in_place_index<1>, std::move(err.error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return *std::get_if<0>(&v_);
  }
  const T& value() const& {
    assert(ok());
    return *std::get_if<0>(&v_);
  }
  T&& value() && {
    assert(ok());
    return std::move(*std::get_if<0>(&v_));
  }
  E& error() & {
    assert(!ok());
    return *std::get_if<1>(&v_);
  }
  const E& error() const& {
    assert(!ok());
    return *std::get_if<1>(&v_);
  }
  E&& error() && {
    assert(!ok());
    return std::move(*std::get_if<1>(&v_));
  }

 private:
  std::variant<T, E> v_;
};

/// Success without a value.
struct Unit {};

}  // namespace velto::base
