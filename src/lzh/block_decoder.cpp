#include "lzh/block_decoder.h"

#include <cstring>

#include "extract/abort_guard.h"
#include "extract/output_sink.h"
#include "lzh/bit_input.h"
#include "lzh/huffman_table.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"

LzhBlockDecoder lzhDecoder;

static constexpr int NO_SPECIAL_INDEX = -1;

[[noreturn]] static void brokenArchive() {
  reportFileError(loadMessage(MSG_ARCHIVE_BROKEN), sfxState.selfPath);
  raiseAbort();
}

void setMethodParameters(char methodCharacter) {
  if (methodCharacter == '6' || methodCharacter == '7') {
    lzhDecoder.positionSymbols = 17;
    lzhDecoder.positionCountBits = 5;
  } else {
    lzhDecoder.positionSymbols = 14;
    lzhDecoder.positionCountBits = 4;
  }
  startBitInput();
  lzhDecoder.blockRemaining = 0;
}

// Lengths are sent as 3 bits, or as 7 followed by one 1 bit per extra unit
// and a closing 0. A run of more than 13 ones is longer than any code may be.
static unsigned readLengthField() {
  unsigned c = compressedInput.bitBuffer >> 13;
  if (c == 7) {
    unsigned mask = 0x1000;
    while (compressedInput.bitBuffer & mask) {
      mask >>= 1;
      ++c;
    }
    if (c > MAX_CODE_LENGTH) brokenArchive();
    fillBits(c - 3);
  } else {
    fillBits(3);
  }
  return c;
}

void readPtLengths(int symbolCount, int countBits, int specialIndex) {
  LzhBlockDecoder& d = lzhDecoder;
  int n = getBits(countBits);
  if (n == 0) {
    // One symbol only: every lookup yields it and consumes no bits. A symbol
    // outside the alphabet could only send the decoder into the node arrays.
    unsigned c = getBits(countBits);
    if (c >= static_cast<unsigned>(symbolCount)) brokenArchive();
    std::memset(d.ptLengths, 0, symbolCount);
    for (auto& entry : d.ptTable) entry = static_cast<uint16_t>(c);
    return;
  }
  if (n > symbolCount) brokenArchive();
  int i = 0;
  while (i < n) {
    d.ptLengths[i++] = static_cast<uint8_t>(readLengthField());
    if (i == specialIndex) {
      int z = getBits(2);
      // At most 3 + 3 = 6 lengths: always inside the 19-symbol alphabet.
      while (z-- > 0 && i < symbolCount) d.ptLengths[i++] = 0;
    }
  }
  if (i < symbolCount) std::memset(d.ptLengths + i, 0, symbolCount - i);
  // Explicit lengths that are all zero define no code and would leave the
  // previous table in use; no encoder sends them.
  bool any = false;
  for (int k = 0; k < symbolCount; ++k) any |= d.ptLengths[k] != 0;
  if (!any) brokenArchive();
  makeHuffmanTable(symbolCount, d.ptLengths, 8, d.ptTable);
}

// Follows the tree below a table entry, one stream bit per level, starting
// with the bit under mask. The walk is bounded by the longest code.
static unsigned walkTree(unsigned j, unsigned symbolCount, unsigned mask) {
  while (j >= symbolCount) {
    if (mask == 0) brokenArchive();
    j = (compressedInput.bitBuffer & mask) ? rightChild[j] : leftChild[j];
    mask >>= 1;
  }
  return j;
}

void readCharLengths() {
  LzhBlockDecoder& d = lzhDecoder;
  int n = getBits(9);
  if (n == 0) {
    unsigned c = getBits(9);
    if (c >= CHAR_SYMBOLS) brokenArchive();
    std::memset(d.charLengths, 0, CHAR_SYMBOLS);
    for (auto& entry : d.charTable) entry = static_cast<uint16_t>(c);
    return;
  }
  if (n > CHAR_SYMBOLS) brokenArchive();
  int i = 0;
  while (i < n) {
    unsigned c = d.ptTable[compressedInput.bitBuffer >> 8];
    if (c >= PRETREE_SYMBOLS) c = walkTree(c, PRETREE_SYMBOLS, 0x80);
    fillBits(d.ptLengths[c]);
    if (c > 2) {
      d.charLengths[i++] = static_cast<uint8_t>(c - 2);
    } else {
      int run = c == 0 ? 1 : c == 1 ? getBits(4) + 3 : getBits(9) + 20;
      // A zero run may not reach past the lengths the block announced.
      if (run > n - i) brokenArchive();
      std::memset(d.charLengths + i, 0, run);
      i += run;
    }
  }
  if (i < CHAR_SYMBOLS) std::memset(d.charLengths + i, 0, CHAR_SYMBOLS - i);
  bool any = false;
  for (int k = 0; k < CHAR_SYMBOLS; ++k) any |= d.charLengths[k] != 0;
  if (!any) brokenArchive();
  makeHuffmanTable(CHAR_SYMBOLS, d.charLengths, 12, d.charTable);
}

uint16_t decodeChar() {
  LzhBlockDecoder& d = lzhDecoder;
  if (d.blockRemaining == 0) {
    d.blockRemaining = getBits(16);
    readPtLengths(PRETREE_SYMBOLS, 5, 3);
    readCharLengths();
    readPtLengths(d.positionSymbols, d.positionCountBits, NO_SPECIAL_INDEX);
  }
  --d.blockRemaining;
  unsigned j = d.charTable[compressedInput.bitBuffer >> 4];
  if (j < CHAR_SYMBOLS) {
    fillBits(d.charLengths[j]);
  } else {
    fillBits(12);
    j = walkTree(j, CHAR_SYMBOLS, 0x8000);
    // A symbol reached through the tree has a code longer than the index.
    if (d.charLengths[j] <= 12) brokenArchive();
    fillBits(d.charLengths[j] - 12);
  }
  return static_cast<uint16_t>(j);
}

uint16_t decodePosition() {
  LzhBlockDecoder& d = lzhDecoder;
  unsigned count = static_cast<unsigned>(d.positionSymbols);
  unsigned j = d.ptTable[compressedInput.bitBuffer >> 8];
  if (j < count) {
    fillBits(d.ptLengths[j]);
  } else {
    fillBits(8);
    j = walkTree(j, count, 0x8000);
    if (d.ptLengths[j] <= 8) brokenArchive();
    fillBits(d.ptLengths[j] - 8);
  }
  if (j != 0) j = (1u << (j - 1)) + getBits(j - 1);
  return static_cast<uint16_t>(j);
}

static void flushWindow(uint32_t count) {
  writeOutput(lzhDecoder.slideWindow, count, sfxState.outputFile);
  if (sfxState.outputFile != PLATFORM_INVALID_FILE)
    reportProgress(sfxState.progress.done, sfxState.progress.total);
}

void decodeMember() {
  LzhBlockDecoder& d = lzhDecoder;
  sfxState.runningCrc = 0;
  std::memset(d.slideWindow, 0x20, WINDOW_SIZE);
  setMethodParameters(sfxState.entry.method);
  d.producedCount = 0;
  d.windowPos = 0;
  const int64_t size = static_cast<int64_t>(sfxState.entry.uncompressedSize);
  if (size <= 0) return;
  uint8_t* window = d.slideWindow;
  uint32_t pos = 0;
  do {
    unsigned c = decodeChar();
    if (c <= 255) {
      window[pos++] = static_cast<uint8_t>(c);
      ++d.producedCount;
      ++sfxState.progress.done;
      if (pos == WINDOW_SIZE) {
        d.windowPos = pos;
        flushWindow(WINDOW_SIZE);
        pos = 0;
      }
    } else {
      unsigned length = c - 253;
      uint32_t source = (pos - decodePosition() - 1) & 0xFFFF;
      d.producedCount += length;
      sfxState.progress.done += length;
      if (pos + length < WINDOW_SIZE && source + length < WINDOW_SIZE) {
        // Common case: neither index wraps. Byte by byte on purpose: a match
        // longer than its distance repeats what it has just written.
        uint8_t* to = window + pos;
        const uint8_t* from = window + source;
        for (unsigned k = 0; k < length; ++k) to[k] = from[k];
        pos += length;
      } else {
        for (unsigned k = 0; k < length; ++k) {
          window[pos++] = window[(source + k) & 0xFFFF];
          if (pos == WINDOW_SIZE) {
            d.windowPos = pos;
            flushWindow(WINDOW_SIZE);
            pos = 0;
          }
        }
      }
    }
  } while (d.producedCount < size);
  d.windowPos = pos;
  if (pos != 0) flushWindow(pos);
}
