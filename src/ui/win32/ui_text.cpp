// The dialogs' texts in and out, and the dialogs and boxes themselves, all in
// the wide form (platform/win32/win32_text.h).
#include <cstring>

#include "paths/path_strings.h"
#include "platform/platform.h"
#include "platform/win32/win32_text.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"
#include "ui/win32/win32_ui.h"

int messageBox(HWND owner, const char* text, const char* caption, UINT type) {
  const wchar_t* wideText = wide(text, false);
  return MessageBoxW(owner, wideText, wide(caption, false), type);
}

void defaultTitleErrorBox(HWND owner, int message) {
  char caption[128];
  platformLoadString(MSG_DEFAULT_TITLE, caption, sizeof caption);
  messageBox(owner, loadMessage(message), caption, MB_ICONERROR | MB_OK);
}

void setText(HWND window, const char* text) {
  SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide(text, false)));
}

void setItemText(HWND dialog, int id, const char* text) { setText(GetDlgItem(dialog, id), text); }

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

INT_PTR dialogBox(int id, HWND owner, DLGPROC procedure) {
  HINSTANCE instance = static_cast<HINSTANCE>(sfxState.instance);
  // Made wide, the dialog's controls hold their texts in UTF-16; an ANSI edit
  // box would keep its text in the ANSI code page and lose the Japanese.
  return DialogBoxParamW(instance, MAKEINTRESOURCEW(id), owner, procedure, 0);
}
