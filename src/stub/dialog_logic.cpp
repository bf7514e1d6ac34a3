#include "stub/dialog_logic.h"

#include <cstring>

#include "extract/passes.h"
#include "extract/post_command.h"
#include "extract/temp_folder.h"
#include "paths/path_strings.h"
#include "platform/program_text.h"
#include "startup/sfx_state.h"

bool acceptDestination(const char* boxText, char* extractDir) {
  extractDir[0] = 0;
  const char* text = boxText;
  while (*text == ' ' || *text == '\t') ++text;
  // The path's bytes: inside the quotes, or the whole rest. A quote that is
  // never closed, or a path that extractDir cannot hold whole, is refused:
  // cutting it would name another folder than the one the user chose.
  const char* end;
  if (*text == '"') {
    end = std::strchr(++text, '"');
    if (!end) return false;
  } else {
    end = text + std::strlen(text);
  }
  // The box holds 255 UTF-16 units (up to 4 bytes each in program text).
  if (end - text > EXTRACT_DIR_SIZE - 1 ||
      programTextUnits(text, static_cast<size_t>(end - text)) > DIRECTORY_BOX_UNITS)
    return false;
  unquotePath(extractDir, boxText);
  if (!boxText[0]) return false;
  return (extractDir[0] == '\\' && extractDir[1] == '\\') ||
         (extractDir[0] && extractDir[1] == ':' && extractDir[2] == '\\');
}

OptionBoxes optionsFromState() {
  OptionBoxes boxes{};
  boxes.restoreAttributes = (sfxState.config.flags & FLAG_RESTORE_ATTRIBUTES) != 0;
  boxes.overwrite = (sfxState.config.flags & FLAG_OVERWRITE) != 0;
  boxes.noFolders = sfxState.noFolders != 0;
  boxes.commandPresent = sfxState.config.runCommand[0] != 0;
  boxes.autoRun = boxes.commandPresent && sfxState.autoRun != 0;
  return boxes;
}

void applyOptions(const OptionBoxes& boxes) {
  const uint32_t others = sfxState.config.flags & ~(FLAG_RESTORE_ATTRIBUTES | FLAG_OVERWRITE);
  sfxState.config.flags = others | (boxes.restoreAttributes ? FLAG_RESTORE_ATTRIBUTES : 0) |
                          (boxes.overwrite ? FLAG_OVERWRITE : 0);
  sfxState.autoRun = boxes.autoRun ? 1 : 0;
  sfxState.noFolders = boxes.noFolders ? 1 : 0;
}

int extractAndRun(int (*mainDialog)()) {
  const uint32_t flags = sfxState.config.flags;
  const bool temporary = (flags & FLAG_TEMP_FOLDER) != 0;
  const int extracted = sfxState.silent ? EXIT_NOTHING_DONE : EXIT_EXTRACTED;
  if (temporary
          ? !makeTempFolder()
          : sfxState.silent && !acceptDestination(sfxState.config.defaultDir, sfxState.extractDir))
    return EXIT_FAILED;
  int result;
  if (sfxState.silent) {
    sfxState.progress.total = 0;
    result = runExtraction(nullptr, MODE_SCAN) && runExtraction(nullptr, MODE_EXTRACT)
                 ? extracted
                 : EXIT_FAILED;
  } else {
    result = mainDialog();
  }
  if (result == extracted && (flags & COMMAND_WAITED_FOR)) {
    // The dialog is gone: the command has no owner window.
    sfxState.mainWindow = nullptr;
    uint32_t code = 0;
    const CommandOutcome outcome = runCommandAndWait(&code);
    if (outcome == COMMAND_ENDED) result = static_cast<int>(code);
    if (outcome == COMMAND_NOT_STARTED) result = EXIT_FAILED;
  }
  if (temporary) removeTempFolder();
  return result;
}
