#include "lzh/huffman_table.h"

#include "extract/abort_guard.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"

uint16_t leftChild[HUFFMAN_NODE_COUNT];
uint16_t rightChild[HUFFMAN_NODE_COUNT];

// Sums the code space in 32 bits instead of modulo 65536: an over-full array
// whose total is a multiple of 65536 would otherwise pass and fill past the
// table or the node arrays.
static bool countLengths(int symbolCount, const uint8_t* codeLengths, uint16_t* count) {
  for (int len = 0; len <= MAX_CODE_LENGTH; ++len) count[len] = 0;
  uint32_t total = 0;
  for (int s = 0; s < symbolCount; ++s) {
    unsigned len = codeLengths[s];
    if (len == 0) continue;
    if (len > MAX_CODE_LENGTH) return false;
    ++count[len];
    total += 1u << (MAX_CODE_LENGTH - len);
  }
  return total == 0 || total == 65536u;
}

bool isUsableCode(int symbolCount, const uint8_t* codeLengths) {
  uint16_t count[MAX_CODE_LENGTH + 1];
  return countLengths(symbolCount, codeLengths, count);
}

static void brokenArchive() {
  reportFileError(loadMessage(MSG_ARCHIVE_BROKEN), sfxState.selfPath);
  raiseAbort();
}

void makeHuffmanTable(int symbolCount, const uint8_t* codeLengths, int tableBits, uint16_t* table) {
  uint16_t count[MAX_CODE_LENGTH + 1];
  if (!countLengths(symbolCount, codeLengths, count)) brokenArchive();

  uint32_t start[MAX_CODE_LENGTH + 2];
  uint32_t weight[MAX_CODE_LENGTH + 1];
  start[1] = 0;
  for (int len = 1; len <= MAX_CODE_LENGTH; ++len) {
    weight[len] = 1u << (MAX_CODE_LENGTH - len);
    start[len + 1] = start[len] + count[len] * weight[len];
  }
  if (start[MAX_CODE_LENGTH + 1] == 0) return;  // no code at all: nothing to write

  const int jut = MAX_CODE_LENGTH - tableBits;
  const uint32_t tableSize = 1u << tableBits;
  for (int len = 1; len <= tableBits; ++len) {
    start[len] >>= jut;
    weight[len] >>= jut;
  }
  // Entries that no short code covers get the trees of the long codes.
  uint32_t i = (start[tableBits + 1] & 0xFFFF) >> jut;
  if (i != 0)
    for (; i < tableSize; ++i) table[i] = 0;

  int avail = symbolCount;
  for (int s = 0; s < symbolCount; ++s) {
    int len = codeLengths[s];
    if (len == 0) continue;
    uint32_t next = start[len] + weight[len];
    if (len <= tableBits) {
      for (uint32_t k = start[len]; k < next; ++k) table[k] = static_cast<uint16_t>(s);
    } else {
      uint16_t* cursor = &table[start[len] >> jut];
      uint32_t bits = start[len] << tableBits;
      for (int k = len - tableBits; k > 0; --k) {
        if (*cursor == 0) {
          // A complete code never needs more nodes than this; the test keeps
          // the node arrays safe whatever earlier builds left in them.
          if (avail >= HUFFMAN_NODE_COUNT) brokenArchive();
          leftChild[avail] = rightChild[avail] = 0;
          *cursor = static_cast<uint16_t>(avail++);
        }
        if (*cursor >= HUFFMAN_NODE_COUNT) brokenArchive();
        cursor = (bits & 0x8000) ? &rightChild[*cursor] : &leftChild[*cursor];
        bits <<= 1;
      }
      *cursor = static_cast<uint16_t>(s);
    }
    start[len] = next;
  }
}
