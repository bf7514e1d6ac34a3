// Program start of the stub: from the process entry to the exit code.
#include <windows.h>
// (windows.h first: the headers below rely on it)
#include <commctrl.h>

#include "extract/passes.h"
#include "platform/platform.h"
#include "platform/win32/win32_text.h"
#include "startup/config.h"
#include "startup/messages.h"
#include "startup/program_start.h"
#include "startup/sfx_state.h"
#include "stub/dll_search.h"
#include "stub/resource.h"
#include "stub/stub.h"

int programMain(HINSTANCE instance, const char* commandTail) {
  sfxState.instance = instance;
  sfxState.archiveFile = INVALID_HANDLE_VALUE;
  sfxState.outputFile = INVALID_HANDLE_VALUE;
  InitCommonControls();
  // The configured title is not known yet: start-up errors use the default.
  DWORD version = GetVersion();
  if (!isSupportedWindows(version) || !win32HasWideCalls(version)) {
    defaultTitleErrorBox(nullptr, MSG_NEEDS_WIN95);
    return 0;
  }
  win32ModulePath(instance, sfxState.selfPath, SELF_PATH_SIZE);
  if (!loadConfig(commandTail)) {
    defaultTitleErrorBox(nullptr, MSG_ARCHIVE_BROKEN);
    return 0;
  }
  if (!runExtraction(nullptr, MODE_NOTICE)) return 0;
  return static_cast<int>(dialogBox(IDD_MAIN, nullptr, mainDialogProc));
}

// The process entry: no C runtime start-up, nothing to construct. The DLL
// search is narrowed before anything can load a DLL, and the DLLs that the
// program loads itself come after that.
extern "C" void __stdcall kasumiroEntry() {
  narrowDllSearch();
  int code = 0;
  if (bindLateImports())
    code = programMain(win32Module(), commandLineTail(win32CommandLine()));
  else
    defaultTitleErrorBox(nullptr, MSG_NEEDS_WIN95);
  ExitProcess(static_cast<UINT>(code));
}
