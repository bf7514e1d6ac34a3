#include "extract/abort_guard.h"

#include <cstdlib>

AbortGuard* activeAbortGuard = nullptr;

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
