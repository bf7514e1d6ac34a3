#include "extract/post_command.h"

#include "paths/path_strings.h"
#include "paths/path_variables.h"
#include "platform/platform.h"
#include "startup/config.h"
#include "startup/sfx_state.h"

void runPostCommand() {
  SfxConfig& config = sfxState.config;
  if (!sfxState.autoRun || !config.runCommand[0] || sfxState.abortFlag) return;
  char expanded[260];
  platformExpandEnvironment(config.runCommand, expanded, sizeof expanded);
  expandPathVariables(expanded, sfxState.messageBuffer, sfxState.extractDir, MESSAGE_BUFFER_SIZE);
  copyTextBounded(config.runCommand, sfxState.messageBuffer, sizeof config.runCommand);
  const char* arguments =
      splitCommandLine(sfxState.messageBuffer, config.runCommand, MESSAGE_BUFFER_SIZE);
  platformStartCommand(sfxState.mainWindow, sfxState.messageBuffer, arguments, sfxState.extractDir);
}
