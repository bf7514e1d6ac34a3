// The stub's own texts through the dialogs: the error boxes under the
// default title, and the folder box read back as CP932.
#include <cstring>

#include "paths/path_strings.h"
#include "platform/platform.h"
#include "platform/win32/win32_text.h"
#include "startup/messages.h"
#include "stub/stub.h"

void defaultTitleErrorBox(HWND owner, int message, UINT icon) {
  char caption[128];
  platformLoadString(MSG_DEFAULT_TITLE, caption, sizeof caption);
  messageBox(owner, loadMessage(message), caption, icon | MB_OK);
}

int getItemText(HWND dialog, int id, char* buffer, int size) {
  static wchar_t text[WIDE_TEXT_UNITS];
  static char whole[2 * WIDE_TEXT_UNITS];
  LRESULT units =
      SendDlgItemMessageW(dialog, id, WM_GETTEXT, WIDE_TEXT_UNITS, reinterpret_cast<LPARAM>(text));
  int length = toCp932(text, static_cast<int>(units), whole, sizeof whole);
  // A character that CP932 lacks reads as an empty box: nothing can be done
  // with a name the program cannot hold. A text longer than the buffer is
  // cut as the ANSI call cuts it, after the last whole character that fits.
  const int kept = length < 0 ? 0 : static_cast<int>(fitCharacters(whole, length, size - 1));
  std::memcpy(buffer, whole, kept);
  buffer[kept] = 0;
  return kept;
}
