#include "extract/temp_folder.h"

#include <cstring>

#include "platform/platform.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"

bool makeTempFolder() {
  char* path = sfxState.extractDir;
  // The temporary folder ends with its separator; "kasumiro-" and eight hex
  // digits from the clock follow. A name that is taken (by an earlier run,
  // or by someone who guessed it) is never used: the next one is tried.
  constexpr int NAME_LENGTH = 17;
  if (!platformTempDirectory(path, EXTRACT_DIR_SIZE - NAME_LENGTH)) {
    reportFileError(loadMessage(MSG_WRITE_ERROR), "%TEMP%");
    return false;
  }
  const size_t length = std::strlen(path);
  uint32_t number = static_cast<uint32_t>(platformCurrentFileTime() >> 12);
  for (int attempt = 0; attempt < 64; ++attempt, number = number * 69069u + 1u) {
    char* name = path + length;
    std::memcpy(name, "kasumiro-", 9);
    for (int i = 0; i < 8; ++i) name[9 + i] = "0123456789abcdef"[(number >> (28 - 4 * i)) & 15];
    name[NAME_LENGTH] = 0;
    if (platformCreatePrivateDirectory(path)) return true;
  }
  reportFileError(loadMessage(MSG_WRITE_ERROR), path);
  return false;
}

void removeTempFolder() { platformRemoveTree(sfxState.extractDir); }
