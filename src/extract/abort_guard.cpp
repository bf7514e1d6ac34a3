#include "extract/abort_guard.h"

#include <cstdlib>

AbortGuard* activeAbortGuard = nullptr;

#if defined(_WIN32)

void raiseAbort() {
  if (!activeAbortGuard) std::abort();
  __builtin_longjmp(activeAbortGuard->target, 1);
}

// Not inlined: __builtin_setjmp saves this frame, which must stay alive and
// unchanged until body returns.
__attribute__((noinline)) bool runGuarded(void (*body)(unsigned long long), unsigned long long argument) {
  AbortGuard guard;
  AbortGuard* volatile outer = activeAbortGuard;
  activeAbortGuard = &guard;
  if (__builtin_setjmp(guard.target) != 0) {
    activeAbortGuard = outer;
    return false;
  }
  body(argument);
  activeAbortGuard = outer;
  return true;
}

#else

void raiseAbort() {
  if (!activeAbortGuard) std::abort();
  std::longjmp(activeAbortGuard->target, 1);
}

bool runGuarded(void (*body)(unsigned long long), unsigned long long argument) {
  AbortGuard guard;
  AbortGuard* volatile outer = activeAbortGuard;
  activeAbortGuard = &guard;
  if (setjmp(guard.target) != 0) {
    activeAbortGuard = outer;
    return false;
  }
  body(argument);
  activeAbortGuard = outer;
  return true;
}

#endif
