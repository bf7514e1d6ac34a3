// Reading and completing the configuration block of the program's own image.
#pragma once

#include <cstdint>

// Reads the block at offset 512 of sfxState.selfPath into sfxState.config and
// completes it: default title, the destination from the command line (null
// or empty for none), environment and path-variable expansion, quoting,
// default prompt, options; addedFlags (the command line's /O) join the
// block's flags. False when the block cannot be read.
bool loadConfig(const char* destination, uint32_t addedFlags = 0);

// Writes path into destination (size bytes), between double quotes when it
// holds a blank and does not already begin with a quote. Returns destination.
char* quotePathIfSpaced(const char* path, char* destination, int size = 256);

// Copies at most size - 1 bytes of source, never cutting a double-byte
// character in half, and terminates destination.
void copyTextBounded(char* destination, const char* source, int size);
