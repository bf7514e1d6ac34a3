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
#include "stub/dialog_logic.h"
#include "stub/dll_search.h"
#include "stub/resource.h"
#include "stub/stub.h"

static int showMainDialog() {
  return static_cast<int>(dialogBox(IDD_MAIN, nullptr, mainDialogProc));
}

int programMain(HINSTANCE instance, const char* commandTail) {
  sfxState.instance = instance;
  sfxState.archiveFile = INVALID_HANDLE_VALUE;
  sfxState.outputFile = INVALID_HANDLE_VALUE;
  InitCommonControls();
  const StartSwitches switches = parseStartSwitches(commandTail);
  const int silent = sfxState.silent = switches.silent;
  // What a run that ends before the passes returns.
  const int stopped = silent ? EXIT_FAILED : EXIT_NOTHING_DONE;
  // The configured title is not known yet: start-up errors use the default.
  int message = 0;
  DWORD version = GetVersion();
  if (!isSupportedWindows(version) || !win32HasWideCalls(version)) {
    message = MSG_NEEDS_WIN95;
  } else if (switches.action != START_RUN) {
    // Asked for with /?, the list is shown even in a silent run.
    if (!silent || switches.action == START_SHOW_HELP)
      defaultTitleErrorBox(nullptr, MSG_SWITCHES,
                           switches.action == START_SHOW_HELP ? MB_ICONINFORMATION : MB_ICONERROR);
    return switches.action == START_SHOW_HELP ? EXIT_NOTHING_DONE : EXIT_FAILED;
  } else {
    win32ModulePath(instance, sfxState.selfPath, SELF_PATH_SIZE);
    if (!loadConfig(switches.destination, switches.overwrite ? FLAG_OVERWRITE : 0))
      message = MSG_ARCHIVE_BROKEN;
  }
  if (message) {
    if (!silent) defaultTitleErrorBox(nullptr, message);
    return stopped;
  }
  if (!runExtraction(nullptr, MODE_NOTICE)) return stopped;
  return extractAndRun(showMainDialog);
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
