// The command started after a successful extraction, in the destination.
#pragma once

#include <cstddef>

// Acts only when autoRun is set, a command is configured and nothing failed.
void runPostCommand();

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
