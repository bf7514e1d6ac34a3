// The dialogs' texts in, and the dialogs and boxes themselves, all in the
// wide form (platform/win32/win32_text.h).
#include "platform/win32/win32_text.h"
#include "ui/win32/win32_ui.h"

void centerWindow(HWND window) {
  RECT r;
  GetWindowRect(window, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  MoveWindow(window, x, y, width, height, FALSE);
}

int messageBox(HWND owner, const char* text, const char* caption, UINT type) {
  const wchar_t* wideText = wide(text, false);
  return MessageBoxW(owner, wideText, wide(caption, false), type);
}

void setText(HWND window, const char* text) {
  SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide(text, false)));
}

void setItemText(HWND dialog, int id, const char* text) { setText(GetDlgItem(dialog, id), text); }

INT_PTR dialogBox(int id, HWND owner, DLGPROC procedure, LPARAM parameter) {
  // Made wide, the dialog's controls hold their texts in UTF-16; an ANSI edit
  // box would keep its text in the ANSI code page and lose the Japanese.
  return DialogBoxParamW(win32Module(), MAKEINTRESOURCEW(id), owner, procedure, parameter);
}
