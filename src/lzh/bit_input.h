// Compressed-data input: a 16 KiB byte layer that never reads past the
// current member's compressed data, and a bit reader with a 16-bit
// look-ahead, most significant bit first. Past the member's data the stream
// reads as zero bits, but only for a small margin: a decoder that keeps
// consuming bits that do not exist is reading a broken archive.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr uint32_t INPUT_BUFFER_SIZE = 16384;
// Zero bytes that may be fetched beyond the member's compressed data. A valid
// stream fetches at most three (the 16-bit look-ahead plus a partial byte).
constexpr uint32_t INPUT_OVERRUN_MARGIN = 8;

struct CompressedInput {
  uint8_t inputBuffer[INPUT_BUFFER_SIZE];
  uint32_t inputPosition;        // >= INPUT_BUFFER_SIZE: buffer empty
  uint64_t compressedRemaining;  // bytes of the member not yet fetched
  uint16_t bitBuffer;            // next 16 bits, bit 15 first
  uint8_t pendingByte;           // bits after bitBuffer, left-aligned
  uint8_t pendingBits;           // 0..8
  uint32_t overrunBytes;         // zero bytes fetched past the member's data
  uint32_t inputFill;            // bytes the last refill put into inputBuffer
};

extern CompressedInput compressedInput;

// Prepares the input for a member whose data starts at the file position.
void beginMemberInput(uint64_t compressedSize);

// Bytes of the member's data still in the file behind the current position
// (read neither into the buffer nor handed out).
uint64_t unreadCompressedBytes();

int readArchiveByte(FileHandle file, uint64_t remaining);
void fillBits(unsigned n);
uint16_t getBits(unsigned n);
void startBitInput();
