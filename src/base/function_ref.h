// FunctionRef: a non-owning reference to something callable, for callbacks that do not
// outlive the call they are passed to.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace velto::base {

template <typename Signature>
class FunctionRef;

/// Refers to a callable for the duration of one call: two pointers, no allocation, one
/// indirect call. The callable must outlive every use of the reference.
template <typename R, typename... Args>
class FunctionRef<R(Args...)> {
 public:
  template <typename F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
           std::is_invocable_r_v<R, F&, Args...>)
      FunctionRef(F&& f)  // NOLINT: converts implicitly, as a function parameter should
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* object, Args... args) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

}  // namespace velto::base
