// Folder selection: the shell's folder browser from Windows 95 and NT 4.0
// on, the old file dialog with a template of its own before that.
#include <windows.h>
// (windows.h first: the headers below rely on it)
#include <commdlg.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstring>

#include "platform/win32/win32_text.h"
#include "startup/config.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"
#include "ui/dialog_logic.h"
#include "ui/win32/resource.h"
#include "ui/win32/win32_ui.h"

static int CALLBACK browseCallback(HWND window, UINT notification, LPARAM, LPARAM data) {
  if (notification != BFFM_INITIALIZED) return 0;
  SendMessageA(window, win32WideText ? BFFM_SETSELECTIONW : BFFM_SETSELECTIONA, TRUE, data);
  return 1;
}

int browseWithShell(HWND owner, char* path, const char* title) {
  IMalloc* allocator = nullptr;
  if (FAILED(SHGetMalloc(&allocator))) return 0;
  // Wide, the shell writes the path in UTF-16, and a short form may replace
  // it (pathToCp932).
  char* buffer =
      static_cast<char*>(allocator->Alloc(win32WideText ? sizeof(wchar_t) * WIDE_PATH_UNITS : 260));
  if (!buffer) {
    allocator->Release();
    return 0;
  }
  // BROWSEINFOA and BROWSEINFOW differ only in the type of their texts.
  BROWSEINFOW info = {};
  info.hwndOwner = owner;
  wchar_t wideTitle[128], wideSeed[260];
  info.lpszTitle = reinterpret_cast<const wchar_t*>(title);
  LPARAM seed = reinterpret_cast<LPARAM>(path);
  if (win32WideText) {
    toWide(title, wideTitle, 128, false);
    info.lpszTitle = wideTitle;
    toWide(path, wideSeed, 260, true);
    seed = reinterpret_cast<LPARAM>(wideSeed);
  }
  HRESULT com = 1;
  if (useNewBrowseStyle(GetVersion())) {
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
    com = CoInitialize(nullptr);
  } else {
    info.ulFlags = BIF_RETURNONLYFSDIRS;
  }
  if (path[0]) {
    info.lpfn = browseCallback;
    info.lParam = seed;
  }
  int result = 0;
  LPITEMIDLIST item = textCall(SHBrowseForFolderW, SHBrowseForFolderA)(&info);
  if (item) {
    if (win32WideText) {
      wchar_t* wide = reinterpret_cast<wchar_t*>(buffer);
      char chosen[260];
      // A folder that CP932 cannot name counts as no file-system folder.
      if (SHGetPathFromIDListW(item, wide) && pathToCp932(wide, chosen, sizeof chosen)) {
        std::strcpy(path, chosen);
        result = 1;
      }
    } else if (SHGetPathFromIDListA(item, buffer)) {
      std::strcpy(path, buffer);
      result = 1;
    }
    allocator->Free(item);
  }
  allocator->Free(buffer);
  allocator->Release();
  // Only a call that initialised COM here uninitialises it.
  if (com == S_OK) CoUninitialize();
  return result;
}

// The path buffer of the open file dialog; one such dialog is open at a time.
static char* fileDialogPath;

static UINT_PTR CALLBACK fileDialogHook(HWND window, UINT message, WPARAM wParam, LPARAM) {
  // The dialog sets the keyboard focus as it always does.
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
    int focus = GetDlgCtrlID(GetFocus());
    if (focus != IDC_DIRECTORY_LIST && focus != IDC_DRIVE_LIST) {
      // While the dialog is open the current directory is the one it shows.
      GetCurrentDirectoryA(260, fileDialogPath);
      PostMessageA(window, WM_COMMAND, IDABORT, 1);
    }
  }
  return FALSE;
}

int browseWithFileDialog(HWND owner, char* path, const char* title) {
  sfxState.messageBuffer[0] = 0;
  fileDialogPath = path;
  OPENFILENAMEA dialog = {};
  // The old 76-byte structure: the dialog the old systems know.
  dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  dialog.hwndOwner = owner;
  dialog.hInstance = static_cast<HINSTANCE>(sfxState.instance);
  dialog.lpstrFile = sfxState.messageBuffer;
  dialog.nMaxFile = 260;
  dialog.lpstrInitialDir = path;
  dialog.lpstrTitle = title;
  dialog.Flags =
      OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_ENABLEHOOK | OFN_ENABLETEMPLATE | OFN_PATHMUSTEXIST;
  dialog.lpfnHook = fileDialogHook;
  dialog.lpTemplateName = MAKEINTRESOURCEA(IDD_FOLDER);
  return GetOpenFileNameA(&dialog) ? 1 : 0;
}

int chooseFolder(HWND owner, char* path) {
  char title[128];
  if ((GetVersion() & 0xFF) >= 4) {
    copyTextBounded(title, loadMessage(MSG_SELECT_FOLDER), sizeof title);
    return browseWithShell(owner, path, title);
  }
  copyTextBounded(title, loadMessage(MSG_BROWSE_DIRECTORY), sizeof title);
  return browseWithFileDialog(owner, path, title);
}
