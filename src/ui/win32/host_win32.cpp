// The UI seam on Windows: message boxes, the overwrite dialog, dialog texts,
// progress and the message pump.
#include <windows.h>

#include "startup/sfx_state.h"
#include "ui/host.h"
#include "ui/win32/resource.h"
#include "ui/win32/win32_ui.h"

void hostErrorBox(HostWindow owner, const char* text, const char* caption) {
  messageBox(static_cast<HWND>(owner), text, caption, MB_ICONERROR | MB_OK);
}

bool hostAskYesNo(HostWindow owner, const char* text, const char* caption) {
  return messageBox(static_cast<HWND>(owner), text, caption, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

int hostAskOverwrite(HostWindow owner, const char*, const char*) {
  // The dialog shows currentPath under the configured title.
  return static_cast<int>(dialogBox(IDD_OVERWRITE, static_cast<HWND>(owner), overwriteDialogProc));
}

void hostSetItemText(HostWindow window, int id, const char* text) {
  if (window) setItemText(static_cast<HWND>(window), id, text);
}

void hostSendCommand(HostWindow window, int command, intptr_t value) {
  if (window)
    SendMessageW(static_cast<HWND>(window), WM_COMMAND, static_cast<WPARAM>(command), value);
}

void hostPumpMessages(HostWindow dialog) {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (dialog && IsDialogMessageW(static_cast<HWND>(dialog), &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

INT_PTR CALLBACK overwriteDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      setText(dialog, sfxState.config.title);
      setItemText(dialog, IDC_EXISTING_PATH, sfxState.currentPath);
      SendDlgItemMessageW(dialog, IDC_QUESTION_ICON, STM_SETICON,
                          reinterpret_cast<WPARAM>(LoadIconW(nullptr, MAKEINTRESOURCEW(32514))), 0);
      centerWindow(dialog);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDYES:
        case IDNO:
        case IDCANCEL:
        case IDC_OVERWRITE_ALL:
          EndDialog(dialog, LOWORD(wParam));
          return TRUE;
        default:
          return FALSE;
      }
    default:
      return FALSE;
  }
}
