// A member's data from the archive to the output sink: stored members are
// copied, -lh4- to -lh7- members run through the codec. Every failure is
// returned (false) after its box, none for a cancel; the pass then deletes
// the partial file and ends (what the program once raised as
// ABORT_EXCEPTION).
#pragma once

#include <cstdint>

// The current member's compressed data starts at the archive's position.
void beginMemberInput(uint64_t compressedSize);
// Decodes the current member (sfxState.entry, -lh4- to -lh7-) into the
// output sink. False after a broken stream, a failed read or write (each
// with its box) or a cancel.
bool decodeCompressedMember();
// Bytes of the member's compressed data still in the archive behind its
// position.
uint64_t unreadCompressedBytes();
// Copies remaining bytes of stored member data from the archive. False
// after a failed read or write (with its box) or a cancel.
bool copyStored(uint64_t remaining);
