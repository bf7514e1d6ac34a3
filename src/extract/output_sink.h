// The output sink: every decoded byte leaves through writeOutput, which
// writes the member's file and keeps the running CRC, or captures the notice
// text during the Notice pass. Plus the stored copy and progress reporting.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "ui/host.h"

void writeOutput(const uint8_t* buffer, uint32_t count, FileHandle file);
// Copies remaining bytes of stored member data from the archive.
void copyStored(uint64_t remaining);
uint64_t divideU64(uint64_t dividend, uint64_t divisor);  // divisor not 0
// Percentage of done in total, 0 when total is 0, at most 100.
unsigned progressPercent(uint64_t done, uint64_t total);
// Sends the percentage to the main window, pumps messages, and leaves by
// raiseAbort when the user asked to cancel.
void reportProgress(uint64_t done, uint64_t total);
void pumpMessages(HostWindow dialog);
