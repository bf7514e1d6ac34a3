// The dialogs' texts in and out, and the dialogs and boxes themselves, in the
// ANSI or the wide form as chosen at start-up (platform/win32/win32_text.h).
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/win32_text.h"
#include "startup/sfx_state.h"
#include "ui/win32/win32_ui.h"

int messageBox(HWND owner, const char* text, const char* caption, UINT type) {
  if (!win32WideText) return MessageBoxA(owner, text, caption, type);
  const wchar_t* wideText = wide(text, false);
  return MessageBoxW(owner, wideText, wide(caption, false), type);
}

// A text message to window: through SendMessageW where the dialogs are
// wide (text in UTF-16), else through SendMessageA.
static LRESULT sendText(HWND window, UINT message, WPARAM wParam, const void* text) {
  return (win32WideText ? SendMessageW : SendMessageA)(window, message, wParam,
                                                       reinterpret_cast<LPARAM>(text));
}

void setText(HWND window, const char* text) {
  sendText(window, WM_SETTEXT, 0,
           win32WideText ? static_cast<const void*>(wide(text, false)) : text);
}

void setItemText(HWND dialog, int id, const char* text) { setText(GetDlgItem(dialog, id), text); }

int getItemText(HWND dialog, int id, char* buffer, int size) {
  HWND item = GetDlgItem(dialog, id);
  if (!win32WideText) return static_cast<int>(sendText(item, WM_GETTEXT, size, buffer));
  static wchar_t text[WIDE_TEXT_UNITS];
  static char whole[2 * WIDE_TEXT_UNITS];
  int length = toCp932(text, static_cast<int>(sendText(item, WM_GETTEXT, WIDE_TEXT_UNITS, text)),
                       whole, sizeof whole);
  // A character that CP932 lacks reads as an empty box: nothing can be done
  // with a name the program cannot hold. A text longer than the buffer is
  // cut as the ANSI call cuts it, after the last whole character that fits.
  int kept = 0;
  while (kept < length) {
    int step = platformIsLeadByte(static_cast<unsigned char>(whole[kept])) ? 2 : 1;
    if (kept + step >= size) break;
    kept += step;
  }
  std::memcpy(buffer, whole, kept);
  buffer[kept] = 0;
  return kept;
}

INT_PTR dialogBox(int id, HWND owner, DLGPROC procedure) {
  HINSTANCE instance = static_cast<HINSTANCE>(sfxState.instance);
  // Made wide, the dialog's controls hold their texts in UTF-16; an ANSI edit
  // box would keep its text in the ANSI code page and lose the Japanese.
  if (win32WideText) return DialogBoxParamW(instance, MAKEINTRESOURCEW(id), owner, procedure, 0);
  return DialogBoxParamA(instance, MAKEINTRESOURCEA(id), owner, procedure, 0);
}
