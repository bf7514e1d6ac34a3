#include "lzh/huffman_table.h"

#include <cstring>

// Sums the code space in 32 bits instead of modulo 65536: an over-full array
// whose total is a multiple of 65536 would otherwise pass and fill past the
// table or the node arrays.
static bool countLengths(int symbolCount, const uint8_t* codeLengths, uint16_t* count) {
  for (int len = 0; len <= LZH_MAX_CODE_LENGTH; ++len) count[len] = 0;
  uint32_t total = 0;
  for (int s = 0; s < symbolCount; ++s) {
    unsigned len = codeLengths[s];
    if (len == 0) continue;
    if (len > LZH_MAX_CODE_LENGTH) return false;
    ++count[len];
    total += 1u << (LZH_MAX_CODE_LENGTH - len);
  }
  return total == 0 || total == 65536u;
}

bool isUsableCode(int symbolCount, const uint8_t* codeLengths) {
  uint16_t count[LZH_MAX_CODE_LENGTH + 1];
  return countLengths(symbolCount, codeLengths, count);
}

bool makeHuffmanTable(int symbolCount, const uint8_t* codeLengths, int tableBits, uint16_t* table,
                      HuffmanNodes& nodes) {
  uint16_t count[LZH_MAX_CODE_LENGTH + 1];
  if (!countLengths(symbolCount, codeLengths, count)) return false;

  uint32_t start[LZH_MAX_CODE_LENGTH + 2];
  uint32_t weight[LZH_MAX_CODE_LENGTH + 1];
  start[1] = 0;
  for (int len = 1; len <= LZH_MAX_CODE_LENGTH; ++len) {
    weight[len] = 1u << (LZH_MAX_CODE_LENGTH - len);
    start[len + 1] = start[len] + count[len] * weight[len];
  }
  if (start[LZH_MAX_CODE_LENGTH + 1] == 0) return true;  // no code at all: nothing to write

  const int jut = LZH_MAX_CODE_LENGTH - tableBits;
  const uint32_t tableSize = 1u << tableBits;
  for (int len = 1; len <= tableBits; ++len) {
    start[len] >>= jut;
    weight[len] >>= jut;
  }
  // Entries that no short code covers get the trees of the long codes. While
  // the trees grow, such an entry holds its root's node number as the nodes
  // hold theirs (0: none yet); the roots are marked as such at the end.
  const uint32_t longStart = (start[tableBits + 1] & 0xFFFF) >> jut;
  if (longStart != 0) std::memset(table + longStart, 0, (tableSize - longStart) * sizeof *table);

  uint16_t* const left = nodes.leftChild;
  uint16_t* const right = nodes.rightChild;
  int avail = symbolCount;
  for (int s = 0; s < symbolCount; ++s) {
    const int len = codeLengths[s];
    if (len == 0) continue;
    const uint32_t next = start[len] + weight[len];
    if (len <= tableBits) {
      const uint16_t entry = tableEntry(static_cast<unsigned>(s), static_cast<unsigned>(len));
      // A code's span is a power of two: four entries per store from 4 up.
      if (next - start[len] >= 4) {
        const uint64_t four = entry * 0x0001000100010001ull;
        for (uint32_t k = start[len]; k < next; k += 4) std::memcpy(&table[k], &four, 8);
        start[len] = next;
        continue;
      }
      for (uint32_t k = start[len]; k < next; ++k) table[k] = entry;
    } else {
      uint16_t* cursor = &table[start[len] >> jut];
      uint32_t bits = start[len] << tableBits;
      for (int k = len - tableBits; k > 0; --k) {
        if (*cursor == 0) {
          // A complete code never needs more nodes than this; the tests keep
          // the node arrays safe whatever earlier builds left in them.
          if (avail >= HUFFMAN_NODE_COUNT) return false;
          left[avail] = right[avail] = 0;
          *cursor = static_cast<uint16_t>(avail++);
        }
        if (*cursor >= HUFFMAN_NODE_COUNT) return false;
        cursor = (bits & 0x8000) ? &right[*cursor] : &left[*cursor];
        bits <<= 1;
      }
      *cursor = static_cast<uint16_t>(s);
    }
    start[len] = next;
  }
  if (longStart != 0)
    for (uint32_t i = longStart; i < tableSize; ++i) table[i] = tableEntry(table[i], ENTRY_NODE);
  return true;
}
