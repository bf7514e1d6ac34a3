#include "startup/messages.h"

#include <cstring>

#include "paths/path_strings.h"
#include "platform/platform.h"
#include "startup/sfx_state.h"
#include "ui/host.h"

static char loadedText[MESSAGE_TEXT_SIZE];

const char* loadMessage(int id) {
  if (platformLoadString(static_cast<unsigned>(id), loadedText, MESSAGE_TEXT_SIZE) <= 0)
    loadedText[0] = 0;
  return loadedText;
}

void formatMessage(char* destination, int size, const char* format, const char* first,
                   const char* second) {
  if (size <= 0) return;
  const char* arguments[2] = {first, second};
  int used = 0;
  int next = 0;
  for (const char* p = format; *p; ++p) {
    // What this format byte stands for: itself, an argument, or a '%'.
    const char* piece = p;
    size_t count = 1;
    if (p[0] == '%' && (p[1] == 's' || p[1] == '%') && *++p == 's') {
      piece = next < 2 ? arguments[next++] : nullptr;
      count = piece ? std::strlen(piece) : 0;
    }
    while (count-- && used < size - 1) destination[used++] = *piece++;
  }
  // Never leave half of a double-byte character at the cut.
  if (used == size - 1) used = static_cast<int>(fitCharacters(destination, used + 1, used));
  destination[used] = 0;
}

void reportFileError(const char* message, const char* path) {
  if (sfxState.silent) return;
  formatMessage(sfxState.messageBuffer, MESSAGE_BUFFER_SIZE, "\"%s\" %s", path, message);
  hostErrorBox(sfxState.mainWindow, sfxState.messageBuffer, sfxState.config.title);
}

void reportImageError(int message) {
  reportFileError(loadMessage(message), sfxState.selfPath);
  sfxState.abortFlag = 1;
}
