#include "extract/abort_guard.h"

#include <cstdlib>

#if defined(_WIN32)
#define GUARD_SET(target) __builtin_setjmp(target)
#define GUARD_JUMP(target) __builtin_longjmp(target, 1)
#else
#define GUARD_SET(target) setjmp(target)
#define GUARD_JUMP(target) std::longjmp(target, 1)
#endif

AbortGuard* activeAbortGuard = nullptr;

void raiseAbort() {
  if (!activeAbortGuard) std::abort();
  GUARD_JUMP(activeAbortGuard->target);
}

// Not inlined: the jump target is this frame, which must stay alive and
// unchanged until body returns.
__attribute__((noinline)) bool runGuarded(void (*body)(unsigned long long),
                                          unsigned long long argument) {
  AbortGuard guard;
  AbortGuard* volatile outer = activeAbortGuard;
  activeAbortGuard = &guard;
  if (GUARD_SET(guard.target) != 0) {
    activeAbortGuard = outer;
    return false;
  }
  body(argument);
  activeAbortGuard = outer;
  return true;
}
