// The command started after a successful extraction, in the destination.
#pragma once

#include <cstddef>
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

// The files the command will use are held from their creation until it has
// started (platformCreateHeldOutputBelow). At the start of an Extract pass,
// prepareCommandNames expands the command as runPostCommand will (nothing
// when it will not run); commandNamesFile then tells whether an output path
// (its member's part starting at memberOffset) is one of them: the program,
// or an argument that is a path as a whole. A relative one is taken in the
// destination, where the command starts. Names compare as Windows compares
// them: either separator, ASCII letters in either case.
void prepareCommandNames();
bool commandNamesFile(const char* path, size_t memberOffset);
