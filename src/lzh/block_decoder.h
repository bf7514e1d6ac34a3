// The static-Huffman block decoder of -lh4- to -lh7-: LZSS with canonical
// Huffman codes sent per block. A decoder object takes a member's compressed
// bytes from a source and hands the decoded bytes to a sink 64 KiB at a time
// (and the rest at the end); any failure ends decodeMember with a status.
// The object holds all of its state, so any number may exist; it is plain
// data and needs no construction.
#pragma once

#include <cstdint>

#include "lzh/bit_input.h"
#include "lzh/huffman_table.h"
#include "lzh/lzh_format.h"

// The window handed to the sink at a time, and the history kept in front
// of it: the whole dictionary of the largest method.
constexpr uint32_t WINDOW_SIZE = LZH_MAX_DICTIONARY;
constexpr int CHAR_TABLE_BITS = 12;
constexpr int PT_TABLE_BITS = 8;
// A match copy writes whole words: up to this many bytes past its end.
constexpr uint32_t MATCH_COPY_OVERRUN = 15;
// Behind the window: a match that starts at its last byte runs up to
// LZH_MAX_MATCH - 1 bytes past its end before the window is handed over,
// and the copy writes its overrun beyond that.
constexpr uint32_t WINDOW_SLACK = 512;
static_assert(WINDOW_SLACK >= LZH_MAX_MATCH - 1 + MATCH_COPY_OVERRUN,
              "the slack behind the window takes the longest match and its overrun");

struct LzhSink {
  // Takes count decoded bytes; false stops decoding.
  bool (*write)(void* context, const uint8_t* data, uint32_t count);
  void* context;
};

struct LzhBlockDecoder {
  BitInput input;
  HuffmanNodes nodes;
  int64_t producedCount;    // bytes decoded for the member (handed over or not)
  uint32_t blockRemaining;  // codes still to come in the block; 0: a block header is next
  int positionSymbols;      // 14 or 17
  int positionCountBits;    // 4 or 5
  uint32_t historySize;     // how far back a match can reach: 8 KiB or 64 KiB
  uint8_t charLengths[LZH_CHAR_SYMBOLS];
  uint8_t ptLengths[128];  // pre-tree, then position code; a count may name up to 31
  uint16_t charTable[1 << CHAR_TABLE_BITS];
  uint16_t ptTable[1 << PT_TABLE_BITS];
  // 64 KiB of history (the previous window; spaces at a member's start),
  // then the window, then the slack. Matches copy from the history without
  // wrapping; a full window is handed over and its last bytes move down to
  // become the history.
  uint8_t slideWindow[WINDOW_SIZE + WINDOW_SIZE + WINDOW_SLACK];

  // Decodes one member of method -lh<method>- whose compressedSize bytes the
  // source delivers, until uncompressedSize bytes have been handed to the
  // sink (never more: a match that runs past the end is cut there).
  LzhStatus decodeMember(char method, const LzhSource& source, uint64_t compressedSize,
                         int64_t uncompressedSize, const LzhSink& sink);

  // The 64 KiB window proper; idle between members (a stored copy may use it).
  uint8_t* window() { return slideWindow + WINDOW_SIZE; }

  // The steps of decodeMember, for tests. Each records a failure in
  // input.status; the ones returning bool return false then.
  void setMethodParameters(char methodCharacter);
  bool readBlockHeader();
  bool readPtLengths(int symbolCount, int countBits, int specialIndex);
  bool readCharLengths();
  unsigned decodeChar();      // 0 after a failure
  unsigned decodePosition();  // the distance field; 0 after a failure

 private:
  uint8_t* decodeRun(uint8_t* out, uint8_t* stop);
  bool handOver(const uint8_t* data, uint32_t count, const LzhSink& sink, int64_t& unsent);
  unsigned readLengthField(bool used);
  bool constantCode(unsigned symbol, unsigned symbolCount, uint8_t* lengths, uint16_t* table,
                    unsigned tableBits);
  bool explicitCode(unsigned symbolCount, const uint8_t* lengths, uint16_t* table,
                    unsigned tableBits);
  unsigned decodeSymbol(const uint16_t* table, unsigned tableBits, unsigned symbolCount,
                        const uint8_t* lengths);
};
