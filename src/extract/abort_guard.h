// ABORT_EXCEPTION: the one non-local exit of decoding and writing. Raisers
// show their message first, then jump to the guard of the extraction pass,
// the only place that catches it. The decoder's state is plain data, so
// nothing between a raiser and the guard has anything to destroy: keep it so
// (no objects with destructors on that path).
#pragma once

#if defined(_WIN32)
// The stub has no C runtime to speak of: the compiler's own non-local jump
// costs a few instructions and no import.
struct AbortGuard {
  void* target[5];
};
#else
#include <csetjmp>
struct AbortGuard {
  std::jmp_buf target;
};
#endif

// The guard that is active now, or null outside a guarded call.
extern AbortGuard* activeAbortGuard;

// Leaves to the active guard. Calling it with no guard active is a
// programming error and ends the process.
[[noreturn]] void raiseAbort();

// Runs body(argument) under a fresh guard. Returns true when body returned
// normally, false when it was abandoned by raiseAbort.
bool runGuarded(void (*body)(unsigned long long), unsigned long long argument);
