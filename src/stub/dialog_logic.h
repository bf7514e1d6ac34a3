// The rules of the stub's dialogs that do not need a window: which
// destination the main dialog accepts, how the options map to check boxes,
// and the run from the notice on (silent, in a temporary folder, waiting
// for the command). Portable, so that the tests run them natively.
#pragma once

#include <cstdint>

// The longest text of the directory box, in UTF-16 units.
constexpr int DIRECTORY_BOX_UNITS = 255;

// Strips the directory box text into extractDir (EXTRACT_DIR_SIZE bytes)
// and tells whether it is a full path: "\\..." or "?:\...". An empty box
// text, a quote that is never closed and a path longer than the box holds
// are refused (extractDir is then empty or the stripped text).
bool acceptDestination(const char* boxText, char* extractDir);

struct OptionBoxes {
  bool restoreAttributes;  // check box 1005
  bool overwrite;          // 1006
  bool autoRun;            // 1007 (disabled without a command)
  bool noFolders;          // 1008
  bool commandPresent;     // 1007 and the command line are enabled
};

// The check boxes as the options dialog shows them for the current state.
OptionBoxes optionsFromState();
// OK: the boxes become the state; the flags that no box shows stay.
void applyOptions(const OptionBoxes& boxes);

// Exit codes. Interactive: 0 when nothing was extracted (cancelled,
// declined, a start-up failure), 1 when everything was, 2 when the Scan or
// Extract pass failed. Silent: 0 when everything was extracted, 2 for any
// failure. A command that is waited for gives its own exit code instead of
// the success, and EXIT_FAILED when it cannot be started.
constexpr int EXIT_NOTHING_DONE = 0;
constexpr int EXIT_EXTRACTED = 1;
constexpr int EXIT_FAILED = 2;

// The run after the Notice pass: the destination (a new temporary folder
// with --temp, else the configured or /D= one when silent, else the main
// dialog's), the Scan and Extract passes (by mainDialog, which returns the
// interactive exit code, unless silent), the command when it is waited for,
// and the temporary folder removed. Returns the exit code.
int extractAndRun(int (*mainDialog)());
