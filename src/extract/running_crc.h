// The running CRC-16 of a pass: one table, built when the pass opens the
// archive, and the value sfxState.runningCrc that the header check and the
// data check use in turn.
#pragma once

#include <cstdint>

// Builds the table (CRC-16/ARC) for the pass.
void prepareRunningCrc();
// Feeds length bytes into sfxState.runningCrc and returns the new value;
// nothing for a length of 0 or less.
uint16_t addToRunningCrc(const uint8_t* data, int64_t length);
