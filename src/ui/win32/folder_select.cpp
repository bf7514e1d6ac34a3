// Folder selection: the shell's folder browser from Windows 95 and NT 4.0
// on, the old file dialog with a template of its own before that.
#include <windows.h>
// (windows.h first: the headers below rely on it)
#include <commdlg.h>
#include <objbase.h>
#include <shlobj.h>

#include "startup/messages.h"
#include "startup/sfx_state.h"
#include "ui/dialog_logic.h"
#include "ui/win32/resource.h"
#include "ui/win32/win32_ui.h"

static int CALLBACK browseCallback(HWND window, UINT notification, LPARAM, LPARAM data) {
  if (notification != BFFM_INITIALIZED) return 0;
  SendMessageA(window, BFFM_SETSELECTIONA, TRUE, data);
  return 1;
}

int browseWithShell(HWND owner, char* path, const char* title) {
  IMalloc* allocator = nullptr;
  if (FAILED(SHGetMalloc(&allocator))) return 0;
  char* buffer = static_cast<char*>(allocator->Alloc(260));
  if (!buffer) {
    allocator->Release();
    return 0;
  }
  BROWSEINFOA info = {};
  info.hwndOwner = owner;
  info.lpszTitle = title;
  HRESULT com = 1;
  if (useNewBrowseStyle(GetVersion())) {
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
    com = CoInitialize(nullptr);
  } else {
    info.ulFlags = BIF_RETURNONLYFSDIRS;
  }
  if (path[0]) {
    info.lpfn = browseCallback;
    info.lParam = reinterpret_cast<LPARAM>(path);
  }
  int result = 0;
  LPITEMIDLIST item = SHBrowseForFolderA(&info);
  if (item) {
    if (SHGetPathFromIDListA(item, buffer)) {
      lstrcpyA(path, buffer);
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

static UINT_PTR CALLBACK fileDialogHook(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<const OPENFILENAMEA*>(lParam)->lCustData);
    return TRUE;
  }
  if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
    int focus = GetDlgCtrlID(GetFocus());
    if (focus != IDC_DIRECTORY_LIST && focus != IDC_DRIVE_LIST) {
      // While the dialog is open the current directory is the one it shows.
      GetCurrentDirectoryA(260, reinterpret_cast<char*>(GetWindowLongPtrA(window, DWLP_USER)));
      PostMessageA(window, WM_COMMAND, IDABORT, 1);
    }
  }
  return FALSE;
}

int browseWithFileDialog(HWND owner, char* path, const char* title) {
  sfxState.messageBuffer[0] = 0;
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
  dialog.lCustData = reinterpret_cast<LPARAM>(path);
  dialog.lpfnHook = fileDialogHook;
  dialog.lpTemplateName = MAKEINTRESOURCEA(IDD_FOLDER);
  return GetOpenFileNameA(&dialog) ? 1 : 0;
}

int chooseFolder(HWND owner, char* path) {
  char title[128];
  if ((GetVersion() & 0xFF) >= 4) {
    lstrcpynA(title, loadMessage(MSG_SELECT_FOLDER), sizeof title);
    return browseWithShell(owner, path, title);
  }
  lstrcpynA(title, loadMessage(MSG_BROWSE_DIRECTORY), sizeof title);
  return browseWithFileDialog(owner, path, title);
}
