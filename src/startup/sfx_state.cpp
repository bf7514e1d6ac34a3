#include "startup/sfx_state.h"

#include <cstring>

SfxState sfxState;

void resetSfxState() {
  std::memset(&sfxState, 0, sizeof sfxState);
  sfxState.archiveFile = PLATFORM_INVALID_FILE;
  sfxState.outputFile = PLATFORM_INVALID_FILE;
}
