// The UI seam on Windows: message boxes, the overwrite dialog, dialog texts,
// progress and the message pump.
#include <windows.h>

#include "ui/host.h"
#include "ui/win32/resource.h"
#include "ui/win32/win32_ui.h"

void hostErrorBox(HostWindow owner, const char* text, const char* caption) {
  messageBox(static_cast<HWND>(owner), text, caption, MB_ICONERROR | MB_OK);
}

bool hostAskYesNo(HostWindow owner, const char* text, const char* caption) {
  return messageBox(static_cast<HWND>(owner), text, caption, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

namespace {

// What the overwrite dialog shows: the existing file under the caption.
struct OverwriteQuestion {
  const char* path;
  const char* caption;
};

INT_PTR CALLBACK overwriteDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      const OverwriteQuestion* question = reinterpret_cast<const OverwriteQuestion*>(lParam);
      setText(dialog, question->caption);
      setItemText(dialog, IDC_EXISTING_PATH, question->path);
      SendDlgItemMessageW(dialog, IDC_QUESTION_ICON, STM_SETICON,
                          reinterpret_cast<WPARAM>(LoadIconW(nullptr, MAKEINTRESOURCEW(32514))), 0);
      centerWindow(dialog);
      return TRUE;
    }
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

}  // namespace

int hostAskOverwrite(HostWindow owner, const char* path, const char* caption) {
  OverwriteQuestion question{path, caption};
  return static_cast<int>(dialogBox(IDD_OVERWRITE, static_cast<HWND>(owner), overwriteDialogProc,
                                    reinterpret_cast<LPARAM>(&question)));
}

void hostSetItemText(HostWindow window, int id, const char* text) {
  if (window) setItemText(static_cast<HWND>(window), id, text);
}

void hostSendCommand(HostWindow window, int command, intptr_t value) {
  if (window)
    SendMessageW(static_cast<HWND>(window), WM_COMMAND, static_cast<WPARAM>(command), value);
}

void hostPumpMessages(HostWindow dialog) {
  // The passes call this for every window of output and every member: far
  // more often than a person can see or click, and each PeekMessage is a
  // request to the window system (under Wine to its server, about as
  // costly as writing the window). Every 20 ms keeps the dialog as lively.
  static DWORD lastPump;
  const DWORD now = GetTickCount();
  if (now - lastPump < 20) return;
  lastPump = now;
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (dialog && IsDialogMessageW(static_cast<HWND>(dialog), &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}
