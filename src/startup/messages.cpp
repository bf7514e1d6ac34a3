#include "startup/messages.h"

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
  auto put = [&](char c) {
    if (used < size - 1) destination[used++] = c;
  };
  for (const char* p = format; *p; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      const char* a = next < 2 ? arguments[next++] : nullptr;
      for (; a && *a; ++a) put(*a);
      ++p;
    } else if (p[0] == '%' && p[1] == '%') {
      put('%');
      ++p;
    } else {
      put(*p);
    }
  }
  // Never leave half of a double-byte character at the cut.
  if (used == size - 1) {
    int i = 0;
    while (i < used) {
      int step = platformIsLeadByte(static_cast<unsigned char>(destination[i])) ? 2 : 1;
      if (i + step > used) break;
      i += step;
    }
    used = i;
  }
  destination[used] = 0;
}

void reportFileError(const char* message, const char* path) {
  formatMessage(sfxState.messageBuffer, MESSAGE_BUFFER_SIZE, "\"%s\" %s", path, message);
  hostErrorBox(sfxState.mainWindow, sfxState.messageBuffer, sfxState.config.title);
}
