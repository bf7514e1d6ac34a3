// The command started after a successful extraction, in the destination.
#pragma once

#include <cstdint>

#include "startup/config_block.h"

// The settings under which the program waits for the command: the Extract
// pass then leaves it to the program's end (runCommandAndWait), where no
// window of the program is left that would stand still while it waits.
constexpr uint32_t COMMAND_WAITED_FOR = FLAG_WAIT_FOR_COMMAND | FLAG_TEMP_FOLDER;

// Acts only when autoRun is set, a command is configured, nothing failed
// and the command is not waited for.
void runPostCommand();

enum CommandOutcome { COMMAND_NOT_RUN, COMMAND_NOT_STARTED, COMMAND_ENDED };

// Starts the command as runPostCommand would, whatever the settings, and
// waits for its end: COMMAND_ENDED with its exit code in *exitCode;
// COMMAND_NOT_RUN when there is none to run (none configured, autoRun off,
// or a pass failed); COMMAND_NOT_STARTED when it could not be started.
CommandOutcome runCommandAndWait(uint32_t* exitCode);
