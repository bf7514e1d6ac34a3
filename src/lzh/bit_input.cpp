#include "lzh/bit_input.h"

#include "extract/abort_guard.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"

CompressedInput compressedInput;

void beginMemberInput(uint64_t compressedSize) {
  compressedInput.compressedRemaining = compressedSize;
  compressedInput.inputPosition = 0xFFFFFFFFu;
  compressedInput.overrunBytes = 0;
  compressedInput.inputFill = 0;
}

uint64_t unreadCompressedBytes() {
  const CompressedInput& in = compressedInput;
  uint64_t buffered = in.inputPosition < in.inputFill ? in.inputFill - in.inputPosition : 0;
  return in.compressedRemaining - buffered;
}

int readArchiveByte(FileHandle file, uint64_t remaining) {
  CompressedInput& in = compressedInput;
  if (in.inputPosition >= INPUT_BUFFER_SIZE) {
    uint32_t want =
        remaining < INPUT_BUFFER_SIZE ? static_cast<uint32_t>(remaining) : INPUT_BUFFER_SIZE;
    uint32_t got = 0;
    if (!platformRead(file, in.inputBuffer, want, &got) || got != want) return -1;
    in.inputPosition = 0;
    in.inputFill = got;
  }
  return in.inputBuffer[in.inputPosition++];
}

static uint8_t fetchByte() {
  CompressedInput& in = compressedInput;
  if (in.compressedRemaining == 0) {
    if (++in.overrunBytes > INPUT_OVERRUN_MARGIN) {
      reportFileError(loadMessage(MSG_ARCHIVE_BROKEN), sfxState.selfPath);
      raiseAbort();
    }
    return 0;
  }
  uint64_t before = in.compressedRemaining--;
  int b = readArchiveByte(sfxState.archiveFile, before);
  if (b < 0) {
    reportFileError(loadMessage(MSG_READ_ERROR), sfxState.selfPath);
    raiseAbort();
  }
  return static_cast<uint8_t>(b);
}

void fillBits(unsigned n) {
  CompressedInput& in = compressedInput;
  unsigned buffer = in.bitBuffer;
  while (n > in.pendingBits) {
    n -= in.pendingBits;
    buffer = (buffer << in.pendingBits) + (in.pendingByte >> (8 - in.pendingBits));
    in.pendingByte = fetchByte();
    in.pendingBits = 8;
  }
  in.pendingBits = static_cast<uint8_t>(in.pendingBits - n);
  buffer = (buffer << n) + (in.pendingByte >> (8 - n));
  in.bitBuffer = static_cast<uint16_t>(buffer);
  in.pendingByte = static_cast<uint8_t>(in.pendingByte << n);
}

uint16_t getBits(unsigned n) {
  uint16_t x = n ? static_cast<uint16_t>(compressedInput.bitBuffer >> (16 - n)) : 0;
  fillBits(n);
  return x;
}

void startBitInput() {
  compressedInput.bitBuffer = 0;
  compressedInput.pendingByte = 0;
  compressedInput.pendingBits = 0;
  fillBits(16);
}
