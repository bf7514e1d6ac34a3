// Folder selection: the shell's folder browser.
#include <windows.h>
// (windows.h first: the headers below rely on it)
#include <objbase.h>
#include <shlobj.h>

#include <cstring>

#include "platform/win32/win32_text.h"
#include "startup/config.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"
#include "stub/dialog_logic.h"
#include "stub/stub.h"

static int CALLBACK browseCallback(HWND window, UINT notification, LPARAM, LPARAM data) {
  if (notification != BFFM_INITIALIZED) return 0;
  SendMessageW(window, BFFM_SETSELECTIONW, TRUE, data);
  return 1;
}

int browseWithShell(HWND owner, char* path, const char* title) {
  // The shell writes the path in UTF-16, and a short form may replace it
  // (pathToCp932).
  wchar_t buffer[WIDE_PATH_UNITS];
  BROWSEINFOW info = {};
  info.hwndOwner = owner;
  wchar_t wideTitle[128], wideSeed[WIDE_PATH_UNITS];
  toWide(title, wideTitle, 128, false);
  info.lpszTitle = wideTitle;
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
  HRESULT com = CoInitialize(nullptr);
  if (path[0]) {
    toWide(path, wideSeed, WIDE_PATH_UNITS, true);
    info.lpfn = browseCallback;
    info.lParam = reinterpret_cast<LPARAM>(wideSeed);
  }
  int result = 0;
  LPITEMIDLIST item = SHBrowseForFolderW(&info);
  if (item) {
    char chosen[EXTRACT_DIR_SIZE];
    if (SHGetPathFromIDListW(item, buffer) && pathToCp932(buffer, chosen, sizeof chosen)) {
      std::strcpy(path, chosen);
      result = 1;
    }
    // The item list comes from the task allocator, which is the shell's.
    CoTaskMemFree(item);
  }
  // Only a call that initialised COM here uninitialises it.
  if (com == S_OK) CoUninitialize();
  return result;
}

// Always the shell's browser. The old file dialog with a template of its own
// served systems before Windows 95 and NT 4.0, whose shell has no folder
// browser: the program binds the browser as it starts (bindLateImports), so
// such a system cannot even start it, and the older route could never be
// taken.
int chooseFolder(HWND owner, char* path) {
  char title[128];
  copyTextBounded(title, loadMessage(MSG_SELECT_FOLDER), sizeof title);
  return browseWithShell(owner, path, title);
}
