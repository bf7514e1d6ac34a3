// Runs a test body under the abort guard, as the extraction pass does for
// the decoder. The body may leave by raiseAbort (longjmp): it must not hold
// objects with destructors (strings, vectors, gtest assertions) at the point
// where it can abort; record results in plain variables and check them after.
#pragma once

#include <type_traits>

#include "extract/abort_guard.h"

// True when body returned normally, false when it was abandoned by raiseAbort.
template <typename F>
bool runGuardedCall(F&& body) {
  using Body = std::remove_reference_t<F>;
  return runGuarded([](unsigned long long p) { (*reinterpret_cast<Body*>(p))(); },
                    reinterpret_cast<unsigned long long>(&body));
}
