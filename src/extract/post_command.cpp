#include "extract/post_command.h"

#include "paths/path_strings.h"
#include "paths/path_variables.h"
#include "platform/platform.h"
#include "startup/config.h"
#include "startup/sfx_state.h"

// Expands the environment, then the program's own path variables (with the
// destination), of text into destination (size bytes).
static void expandCommandPart(const char* text, char* destination, int size) {
  char expanded[260];
  platformExpandEnvironment(text, expanded, sizeof expanded);
  expandPathVariables(expanded, destination, sfxState.extractDir, size);
}

static CommandOutcome startCommand(uint32_t* exitCode) {
  SfxConfig& config = sfxState.config;
  if (!sfxState.autoRun || !config.runCommand[0] || sfxState.abortFlag) return COMMAND_NOT_RUN;
  // The command is split into program and arguments before anything is
  // expanded: a blank in the destination (in %ExtractDir%) must never
  // change which program starts.
  char program[260];
  const char* arguments = splitCommandLine(program, config.runCommand, sizeof program);
  char* expandedProgram = sfxState.messageBuffer;
  char* expandedArguments = sfxState.messageBuffer + MESSAGE_BUFFER_SIZE / 2;
  expandCommandPart(arguments, expandedArguments, MESSAGE_BUFFER_SIZE / 2);
  expandCommandPart(program, expandedProgram, MESSAGE_BUFFER_SIZE / 2);
  return platformStartCommand(sfxState.mainWindow, expandedProgram, expandedArguments,
                              sfxState.extractDir, exitCode)
             ? COMMAND_ENDED
             : COMMAND_NOT_STARTED;
}

void runPostCommand() {
  if (!(sfxState.config.flags & COMMAND_WAITED_FOR)) startCommand(nullptr);
}

CommandOutcome runCommandAndWait(uint32_t* exitCode) { return startCommand(exitCode); }
