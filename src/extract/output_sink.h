// The output sink: every byte of a member's data leaves through writeOutput,
// which writes the member's file and keeps the running CRC, or, in the
// Notice pass (no file), captures the notice text.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Writes count bytes to file, or captures them as the notice text when file
// is PLATFORM_INVALID_FILE. False (after the write-error box naming
// currentPath) when the write failed or came short.
bool writeOutput(const uint8_t* buffer, uint32_t count, FileHandle file);
