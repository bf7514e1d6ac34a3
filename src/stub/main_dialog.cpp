// The main dialog: destination, options, browse, and the passes with their
// status line, progress bar and Cancel.
#include <windows.h>
// (windows.h first: the headers below rely on it)
#include <commctrl.h>

#include "extract/passes.h"
#include "paths/path_strings.h"
#include "platform/platform.h"
#include "startup/config.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"
#include "stub/dialog_logic.h"
#include "stub/resource.h"
#include "stub/stub.h"
#include "ui/host.h"

static void disableItem(HWND dialog, int id) { EnableWindow(GetDlgItem(dialog, id), FALSE); }

static void initialise(HWND dialog) {
  const RunConfig& config = sfxState.config;
  setText(dialog, config.title);
  if (config.message[0]) setItemText(dialog, IDC_LABEL, config.message);
  setItemText(dialog, IDC_DIRECTORY, config.defaultDir);
  setItemText(dialog, IDC_STATUS, config.prompt);
  SendDlgItemMessageW(dialog, IDC_DIRECTORY, EM_LIMITTEXT, DIRECTORY_BOX_UNITS, 0);
  SendMessageW(dialog, WM_SETICON, ICON_BIG,
               reinterpret_cast<LPARAM>(LoadIconW(static_cast<HINSTANCE>(sfxState.instance),
                                                  MAKEINTRESOURCEW(IDI_APPLICATION_ICON))));
  centerWindow(dialog);
  sfxState.extracting = 0;
  sfxState.cancelRequested = 0;
  // The folder of a --temp run is the program's own: nothing to ask, the
  // extraction starts as soon as the dialog shows.
  if (config.flags & FLAG_TEMP_FOLDER) {
    setItemText(dialog, IDC_DIRECTORY, sfxState.extractDir);
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  }
}

static BOOL extract(HWND dialog) {
  // Room for everything the box holds (255 units, up to 4 bytes each in
  // program text): a longer text is refused whole rather than read short.
  char* text = sfxState.messageBuffer;
  getItemText(dialog, IDC_DIRECTORY, text, MESSAGE_BUFFER_SIZE);
  if (!(sfxState.config.flags & FLAG_TEMP_FOLDER) &&
      !acceptDestination(text, sfxState.extractDir)) {
    defaultTitleErrorBox(dialog, MSG_FULL_PATH_REQUIRED);
    return FALSE;
  }
  disableItem(dialog, IDOK);
  disableItem(dialog, IDC_BROWSE);
  disableItem(dialog, IDC_OPTIONS);
  disableItem(dialog, IDC_DIRECTORY);
  SetFocus(GetDlgItem(dialog, IDCANCEL));
  SendDlgItemMessageW(dialog, IDCANCEL, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
  sfxState.extracting = 1;
  sfxState.progress.total = 0;
  // 1 when everything was extracted; 2 when the Scan or Extract pass failed
  // or was cancelled, so that a script that starts the program can tell.
  const bool done = runExtraction(dialog, MODE_SCAN) && runExtraction(dialog, MODE_EXTRACT);
  EndDialog(dialog, done ? 1 : 2);
  return TRUE;
}

static void browse(HWND dialog) {
  getItemText(dialog, IDC_DIRECTORY, sfxState.messageBuffer, EXTRACT_DIR_SIZE);
  unquotePath(sfxState.currentPath, sfxState.messageBuffer);
  if (!chooseFolder(dialog, sfxState.currentPath)) return;
  quotePathIfSpaced(sfxState.currentPath, sfxState.messageBuffer, MESSAGE_BUFFER_SIZE);
  setItemText(dialog, IDC_DIRECTORY, sfxState.messageBuffer);
}

INT_PTR CALLBACK mainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    initialise(dialog);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  switch (LOWORD(wParam)) {
    case IDOK:
      return extract(dialog);
    case IDCANCEL:
      if (sfxState.extracting == 1)
        sfxState.cancelRequested = 1;
      else
        EndDialog(dialog, 0);
      return TRUE;
    case IDC_BROWSE:
      browse(dialog);
      return FALSE;
    case IDC_OPTIONS:
      dialogBox(IDD_OPTIONS, dialog, optionsDialogProc);
      return FALSE;
    case CMD_PROGRESS:
      SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(lParam), 0);
      return FALSE;
    default:
      return FALSE;
  }
}

// The options dialog's check boxes and the option each one shows.
static const int OPTION_BOX_IDS[] = {IDC_RESTORE_ATTRIBUTES, IDC_OVERWRITE, IDC_AUTO_RUN,
                                     IDC_NO_FOLDERS};
static bool OptionBoxes::*const OPTION_BOX_FIELDS[] = {
    &OptionBoxes::restoreAttributes, &OptionBoxes::overwrite, &OptionBoxes::autoRun,
    &OptionBoxes::noFolders};

INT_PTR CALLBACK optionsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    OptionBoxes boxes = optionsFromState();
    // Without a command the automatic run is off, so its box stays clear.
    for (int i = 0; i < 4; ++i)
      SendDlgItemMessageW(dialog, OPTION_BOX_IDS[i], BM_SETCHECK,
                          boxes.*OPTION_BOX_FIELDS[i] ? BST_CHECKED : BST_UNCHECKED, 0);
    if (boxes.commandPresent) {
      char format[20];
      char line[sizeof sfxState.config.runCommand + 20];
      platformLoadString(MSG_COMMAND, format, sizeof format);
      formatMessage(line, sizeof line, format, sfxState.config.runCommand);
      setItemText(dialog, IDC_COMMAND_LINE, line);
    } else {
      disableItem(dialog, IDC_AUTO_RUN);
      disableItem(dialog, IDC_COMMAND_LINE);
    }
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  switch (LOWORD(wParam)) {
    case IDOK: {
      OptionBoxes boxes{};
      for (int i = 0; i < 4; ++i)
        boxes.*OPTION_BOX_FIELDS[i] =
            SendDlgItemMessageW(dialog, OPTION_BOX_IDS[i], BM_GETCHECK, 0, 0) == BST_CHECKED;
      applyOptions(boxes);
      EndDialog(dialog, 1);
      return TRUE;
    }
    case IDCANCEL:
      EndDialog(dialog, 1);
      return TRUE;
    default:
      return FALSE;
  }
}
