// Threads ended by a forced unwind (pthread_exit, cancellation) and the catch ladders they cross.
#pragma once

#include <cxxabi.h>

/// Marks a function whose catch ladder starts with `catch (abi::__forced_unwind&) { throw; }`.
/// That handler binds a reference to an exception that has no object, which the undefined
/// behaviour sanitizer's null check would report and abort on; the unwind itself is sound.
/// Never inlined: g++ checks an inlined body by its caller's sanitizer settings.
#if defined(__GNUC__) || defined(__clang__)
#define VELTO_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null"), noinline))
#else
#define VELTO_CATCHES_FORCED_UNWIND
#endif
