// The static-Huffman block decoder of -lh4- to -lh7-: LZSS with canonical
// Huffman codes sent per block, decoded through a 64 KiB ring buffer that is
// handed to the output sink whenever it fills and at the end of the member.
#pragma once

#include <cstdint>

constexpr uint32_t WINDOW_SIZE = 65536;
constexpr int CHAR_SYMBOLS = 510;
constexpr int PRETREE_SYMBOLS = 19;

struct LzhBlockDecoder {
  uint8_t slideWindow[WINDOW_SIZE];
  uint32_t windowPos;
  int64_t producedCount;
  uint16_t blockRemaining;
  int positionSymbols;
  int positionCountBits;
  uint8_t charLengths[CHAR_SYMBOLS];
  uint16_t charTable[4096];
  uint8_t ptLengths[128];
  uint16_t ptTable[256];
};

extern LzhBlockDecoder lzhDecoder;

// Decodes the current member (sfxState.entry) from the compressed input into
// the output sink. Leaves by raiseAbort on any failure.
void decodeMember();

void setMethodParameters(char methodCharacter);
uint16_t decodeChar();
uint16_t decodePosition();
void readPtLengths(int symbolCount, int countBits, int specialIndex);
void readCharLengths();
