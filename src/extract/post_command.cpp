#include "extract/post_command.h"

#include "paths/path_strings.h"
#include "paths/path_variables.h"
#include "platform/platform.h"
#include "startup/config.h"
#include "startup/sfx_state.h"

// Expands the environment, then the program's own path variables (with the
// destination), of text into destination (size bytes).
static void expandCommandPart(const char* text, char* destination, int size) {
  static char expanded[CURRENT_PATH_SIZE];
  platformExpandEnvironment(text, expanded, sizeof expanded);
  expandPathVariables(expanded, destination, sfxState.extractDir, size);
}

void runPostCommand() {
  RunConfig& config = sfxState.config;
  if (!sfxState.autoRun || !config.runCommand[0] || sfxState.abortFlag) return;
  // The command is split into program and arguments before anything is
  // expanded: a blank in the destination (in %ExtractDir%) must never
  // change which program starts.
  // Program text: a destination beyond CP932 takes up to 4 bytes for each
  // character in %ExtractDir%.
  static char program[sizeof config.runCommand];
  const char* arguments = splitCommandLine(program, config.runCommand, sizeof program);
  static char expandedProgram[CURRENT_PATH_SIZE], expandedArguments[CURRENT_PATH_SIZE];
  expandCommandPart(arguments, expandedArguments, sizeof expandedArguments);
  expandCommandPart(program, expandedProgram, sizeof expandedProgram);
  platformStartCommand(sfxState.mainWindow, expandedProgram, expandedArguments,
                       sfxState.extractDir);
}
