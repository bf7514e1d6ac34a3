// The rules of the stub's dialogs that do not need a window: which
// destination the main dialog accepts and how the options map to check
// boxes. Portable, so that the tests run them natively.
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
// OK: the boxes become the state; flags keep no other bit.
void applyOptions(const OptionBoxes& boxes);
