// The output sink: every decoded byte leaves through writeOutput, which
// writes the member's file and keeps the running CRC, or captures the notice
// text during the Notice pass. Plus the stored copy, progress reporting, and
// the adapter between the passes and the codec: it runs the decoder over the
// current member, reading the archive and writing through writeOutput, and
// turns the decoder's status into the message box and the abort.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "ui/host.h"

// The process's CRC table, built at the start of every pass, and the running
// value sfxState.runningCrc that the header check and the data check use in
// turn.
void makeCrcTable(uint16_t polynomial);
// Feeds length bytes into sfxState.runningCrc and returns the new value.
uint16_t updateCrc(const uint8_t* data, int64_t length);

// The current member's compressed data starts at the archive's position.
void beginMemberInput(uint64_t compressedSize);
// Decodes the current member (sfxState.entry, -lh4- to -lh7-) into the
// output sink. Leaves by raiseAbort on any failure, after the message box
// (none for a cancel).
void decodeMember();
// Bytes of the member's data still in the archive behind its position.
uint64_t unreadCompressedBytes();

void writeOutput(const uint8_t* buffer, uint32_t count, FileHandle file);
// Copies remaining bytes of stored member data from the archive.
void copyStored(uint64_t remaining);
// Percentage of done in total, 0 when total is 0, at most 100.
unsigned progressPercent(uint64_t done, uint64_t total);
// Sends the percentage to the main window, pumps messages, and leaves by
// raiseAbort when the user asked to cancel.
void reportProgress(uint64_t done, uint64_t total);
void pumpMessages(HostWindow dialog);
