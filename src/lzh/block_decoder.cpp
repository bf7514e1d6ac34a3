#include "lzh/block_decoder.h"

#include <cstring>

namespace {

constexpr int NO_SPECIAL_INDEX = -1;
constexpr uint32_t WALK_FAILED = 0xFFFFFFFFu;

// Follows the tree under a table entry with the stream bits after the table
// index (bits holds the code at its top, index included). Returns the symbol
// with its code length in the upper half, or WALK_FAILED: for a table
// without any code, a walk longer than the longest code, or a symbol under a
// node whose code is not longer than the index, none of which a valid build
// leaves behind.
uint32_t walkTree(const HuffmanNodes& nodes, unsigned node, unsigned symbolCount,
                  unsigned tableBits, const uint8_t* lengths, BitWord bits) {
  if (node < symbolCount) return WALK_FAILED;
  BitWord mask = BitWord{1} << (BIT_WORD_BITS - 1 - tableBits);
  for (unsigned steps = LZH_MAX_CODE_LENGTH - tableBits; node >= symbolCount; --steps) {
    if (steps == 0 || node >= HUFFMAN_NODE_COUNT) return WALK_FAILED;
    node = (bits & mask) ? nodes.rightChild[node] : nodes.leftChild[node];
    mask >>= 1;
  }
  const unsigned length = lengths[node];
  if (length <= tableBits) return WALK_FAILED;
  return node | length << 16;
}

void fillTable(uint16_t* table, unsigned size, uint16_t entry) {
  for (unsigned i = 0; i < size; ++i) table[i] = entry;
}

bool allZero(const uint8_t* lengths, unsigned count) {
  for (unsigned i = 0; i < count; ++i)
    if (lengths[i]) return false;
  return true;
}

// Copies a match of length bytes from distance bytes back. Byte by byte in
// effect: a match longer than its distance repeats what it has just written.
// Writes up to MATCH_COPY_OVERRUN bytes past the match (into bytes not
// decoded yet).
// Inlined also where the build favours size (the stub): a call per match
// costs a tenth of the decoding time.
__attribute__((always_inline)) inline void copyMatch(uint8_t* out, uint32_t distance,
                                                     unsigned length) {
  const uint8_t* from = out - distance;
  uint8_t* const end = out + length;
  if (distance >= 16) {
    do {
      uint8_t chunk[16];
      std::memcpy(chunk, from, 16);
      std::memcpy(out, chunk, 16);
      out += 16;
      from += 16;
    } while (out < end);
  } else if (distance >= 8) {
    do {
      uint64_t word;
      std::memcpy(&word, from, 8);
      std::memcpy(out, &word, 8);
      out += 8;
      from += 8;
    } while (out < end);
  } else if (distance == 1) {
    const uint64_t word = *from * 0x0101010101010101ull;
    do {
      std::memcpy(out, &word, 8);
      out += 8;
    } while (out < end);
  } else {
    do *out++ = *from++;
    while (out < end);
  }
}

}  // namespace

void LzhBlockDecoder::setMethodParameters(char methodCharacter) {
  // Only '4' to '7' come here; anything else is read as -lh5-.
  LzhMethodParameters method = lzhMethodParameters(methodCharacter);
  if (!method.positionSymbols) method = lzhMethodParameters('5');
  positionSymbols = method.positionSymbols;
  positionCountBits = method.positionCountBits;
  historySize = lzhReachOf(positionSymbols);
  input.startBitInput();
  blockRemaining = 0;
}

// Lengths are sent as 3 bits, or as 7 followed by one 1 bit per extra unit
// and a closing 0, read from a 16-bit look-ahead: at most 13 more ones. A
// length above 16 in a used slot is longer than any code may be; in a slot
// that only a position count beyond the alphabet names, it is read and
// ignored.
unsigned LzhBlockDecoder::readLengthField(bool used) {
  const unsigned view = input.lookahead16();
  unsigned c = view >> 13;
  if (c == 7) {
    for (unsigned mask = 0x1000; view & mask; mask >>= 1) ++c;
    if (used && c > LZH_MAX_CODE_LENGTH) input.fail(LZH_BROKEN);
    input.fillBits(c - 3);
  } else {
    input.fillBits(3);
  }
  return c;
}

// The table of a code sent in the single-symbol form (a count of 0): every
// lookup yields the symbol and consumes no bits. A symbol outside the
// alphabet could only send the decoder into the nodes.
bool LzhBlockDecoder::constantCode(unsigned symbol, unsigned symbolCount, uint8_t* lengths,
                                   uint16_t* table, unsigned tableBits) {
  std::memset(lengths, 0, symbolCount);
  fillTable(table, 1u << tableBits, tableEntry(symbol, 0));
  if (symbol < symbolCount) return true;
  input.fail(LZH_BROKEN);
  return false;
}

// The table of a code sent as explicit lengths. Lengths that are all zero
// define no code: a block may send them for a code it never uses (the
// position code of a block without matches); a lookup in the table fails.
bool LzhBlockDecoder::explicitCode(unsigned symbolCount, const uint8_t* lengths, uint16_t* table,
                                   unsigned tableBits) {
  if (allZero(lengths, symbolCount)) {
    fillTable(table, 1u << tableBits, EMPTY_TABLE_ENTRY);
    return true;
  }
  if (makeHuffmanTable(static_cast<int>(symbolCount), lengths, static_cast<int>(tableBits), table,
                       nodes))
    return true;
  input.fail(LZH_BROKEN);
  return false;
}

bool LzhBlockDecoder::readPtLengths(int symbolCount, int countBits, int specialIndex) {
  const unsigned count = static_cast<unsigned>(symbolCount);
  const int n = static_cast<int>(input.getBits(static_cast<unsigned>(countBits)));
  if (n == 0)
    return constantCode(input.getBits(static_cast<unsigned>(countBits)), count, ptLengths, ptTable,
                        PT_TABLE_BITS);
  // The pre-tree's count may not exceed its alphabet. The position code's
  // may, as far as its count field reaches: other readers accept such
  // blocks, and the lengths past the alphabet take no part in the code.
  if (specialIndex != NO_SPECIAL_INDEX && n > symbolCount) {
    input.fail(LZH_BROKEN);
    return false;
  }
  int i = 0;
  while (i < n) {
    ptLengths[i] = static_cast<uint8_t>(readLengthField(i < symbolCount));
    ++i;
    if (i == specialIndex) {
      int z = static_cast<int>(input.getBits(2));
      // At most 3 + 3 = 6 lengths: always inside the pre-tree's alphabet.
      while (z-- > 0 && i < symbolCount) ptLengths[i++] = 0;
    }
  }
  if (i < symbolCount) std::memset(ptLengths + i, 0, static_cast<size_t>(symbolCount - i));
  return input.status == LZH_OK && explicitCode(count, ptLengths, ptTable, PT_TABLE_BITS);
}

// Decodes one symbol of a code with an index of tableBits, consuming its
// code (the caller has made sure of 16 bits of look-ahead).
unsigned LzhBlockDecoder::decodeSymbol(const uint16_t* table, unsigned tableBits,
                                       unsigned symbolCount, const uint8_t* lengths) {
  const uint16_t entry = table[input.peekBits(tableBits)];
  if (entryLength(entry) != ENTRY_NODE) {
    input.consume(entryLength(entry));
    return entrySymbol(entry);
  }
  const uint32_t found =
      walkTree(nodes, entrySymbol(entry), symbolCount, tableBits, lengths, input.bitBuffer);
  if (found == WALK_FAILED) {
    input.fail(LZH_BROKEN);
    return 0;
  }
  input.consume(found >> 16);
  return found & 0xFFFF;
}

bool LzhBlockDecoder::readCharLengths() {
  const int n = static_cast<int>(input.getBits(LZH_CHAR_COUNT_BITS));
  if (n == 0)
    return constantCode(input.getBits(LZH_CHAR_COUNT_BITS), LZH_CHAR_SYMBOLS, charLengths,
                        charTable, CHAR_TABLE_BITS);
  if (n > LZH_CHAR_SYMBOLS) {
    input.fail(LZH_BROKEN);
    return false;
  }
  int i = 0;
  while (i < n) {
    input.lookahead16();
    const unsigned c = decodeSymbol(ptTable, PT_TABLE_BITS, LZH_PRETREE_SYMBOLS, ptLengths);
    if (c > 2) {
      charLengths[i++] = static_cast<uint8_t>(c - 2);
      continue;
    }
    const int run = c == 0   ? 1
                    : c == 1 ? static_cast<int>(input.getBits(4)) + 3
                             : static_cast<int>(input.getBits(LZH_CHAR_COUNT_BITS)) + 20;
    // A zero run may carry past the announced count (the loop then ends),
    // but never past the alphabet.
    if (run > LZH_CHAR_SYMBOLS - i) {
      input.fail(LZH_BROKEN);
      return false;
    }
    std::memset(charLengths + i, 0, static_cast<size_t>(run));
    i += run;
  }
  if (i < LZH_CHAR_SYMBOLS)
    std::memset(charLengths + i, 0, static_cast<size_t>(LZH_CHAR_SYMBOLS - i));
  return input.status == LZH_OK &&
         explicitCode(LZH_CHAR_SYMBOLS, charLengths, charTable, CHAR_TABLE_BITS);
}

bool LzhBlockDecoder::readBlockHeader() {
  const unsigned size = input.getBits(LZH_BLOCK_SIZE_BITS);
  blockRemaining = size ? size : 1u << LZH_BLOCK_SIZE_BITS;  // 0 stands for 65536 codes
  return input.status == LZH_OK &&
         readPtLengths(LZH_PRETREE_SYMBOLS, LZH_PRETREE_COUNT_BITS, LZH_PRETREE_SPECIAL_INDEX) &&
         readCharLengths() && readPtLengths(positionSymbols, positionCountBits, NO_SPECIAL_INDEX);
}

unsigned LzhBlockDecoder::decodeChar() {
  if (blockRemaining == 0 && !readBlockHeader()) return 0;
  --blockRemaining;
  input.lookahead16();
  return decodeSymbol(charTable, CHAR_TABLE_BITS, LZH_CHAR_SYMBOLS, charLengths);
}

unsigned LzhBlockDecoder::decodePosition() {
  input.lookahead16();
  const unsigned j =
      decodeSymbol(ptTable, PT_TABLE_BITS, static_cast<unsigned>(positionSymbols), ptLengths);
  if (j <= 1 || input.status != LZH_OK) return j;
  return (1u << (j - 1)) + input.getBits(j - 1);
}

// Decodes codes into out until it reaches stop (a match may run past it),
// or until a failure; returns where the output ends. The bit reader lives
// in locals here: stores through out could alias the decoder's fields and
// would force them back to memory at every byte.
uint8_t* LzhBlockDecoder::decodeRun(uint8_t* out, uint8_t* stop) {
  BitWord bits = input.bitBuffer;
  unsigned count = input.bitCount;
  const uint8_t* next = input.next;
  const uint8_t* end = input.end;
  uint32_t remaining = blockRemaining;
  const uint16_t* const chars = charTable;
  const uint16_t* const positions = ptTable;
  const unsigned positionCount = static_cast<unsigned>(positionSymbols);

#define LZH_SAVE_BITS() (input.bitBuffer = bits, input.bitCount = count, input.next = next)
#define LZH_LOAD_BITS() \
  (bits = input.bitBuffer, count = input.bitCount, next = input.next, end = input.end)
#define LZH_LOAD_WORD()                                                               \
  (bits |= BitInput::wordAt(next) >> count, next += (BIT_WORD_BITS - 1 - count) >> 3, \
   count |= REFILL_BITS)
#define LZH_REFILL()                                             \
  do {                                                           \
    if (end - next >= static_cast<ptrdiff_t>(sizeof(BitWord))) { \
      LZH_LOAD_WORD();                                           \
    } else {                                                     \
      LZH_SAVE_BITS();                                           \
      input.refillSlow();                                        \
      LZH_LOAD_BITS();                                           \
    }                                                            \
  } while (0)
#define LZH_CONSUME(n) (bits <<= (n), count -= (n))
#define LZH_TOP(n) (bits >> (BIT_WORD_BITS - (n)))
// Resolves a table entry to its symbol, directly or through the tree of the
// long codes, and consumes the code; a broken tree ends the run.
#define LZH_RESOLVE(entry, symbolCount, tableBits, lengths, symbol)                   \
  do {                                                                                \
    if (entryLength(entry) != ENTRY_NODE) {                                           \
      symbol = entrySymbol(entry);                                                    \
      LZH_CONSUME(entryLength(entry));                                                \
    } else {                                                                          \
      const uint32_t found =                                                          \
          walkTree(nodes, entrySymbol(entry), symbolCount, tableBits, lengths, bits); \
      if (found == WALK_FAILED) {                                                     \
        input.fail(LZH_BROKEN);                                                       \
        goto done;                                                                    \
      }                                                                               \
      symbol = found & 0xFFFF;                                                        \
      LZH_CONSUME(found >> 16);                                                       \
    }                                                                                 \
  } while (0)

  for (;;) {
    // The fast loop: while two words can be loaded from the buffer without a
    // check, the window has room for three more bytes and the block three
    // more codes. After one refill, a 64-bit look-ahead holds three literal
    // codes of up to 12 bits or one whole match (16 + 16 + 15 bits).
    if (BIT_WORD_BITS == 64) {
      while (end - next >= static_cast<ptrdiff_t>(2 * sizeof(BitWord)) && stop - out > 3 &&
             remaining > 3) {
        LZH_LOAD_WORD();
        uint16_t entry = chars[LZH_TOP(CHAR_TABLE_BITS)];
        if (entry < LITERAL_ENTRY_LIMIT) {
          LZH_CONSUME(entryLength(entry));
          *out++ = static_cast<uint8_t>(entrySymbol(entry));
          --remaining;
          entry = chars[LZH_TOP(CHAR_TABLE_BITS)];
          if (entry < LITERAL_ENTRY_LIMIT) {
            LZH_CONSUME(entryLength(entry));
            *out++ = static_cast<uint8_t>(entrySymbol(entry));
            --remaining;
            entry = chars[LZH_TOP(CHAR_TABLE_BITS)];
            if (entry < LITERAL_ENTRY_LIMIT) {
              LZH_CONSUME(entryLength(entry));
              *out++ = static_cast<uint8_t>(entrySymbol(entry));
              --remaining;
              continue;
            }
          }
          // The code after the literals is not a literal: a match needs up
          // to 47 bits, and the literals may have left fewer.
          if (count < 48) LZH_LOAD_WORD();
        }
        unsigned symbol;
        LZH_RESOLVE(entry, LZH_CHAR_SYMBOLS, CHAR_TABLE_BITS, charLengths, symbol);
        --remaining;
        if (symbol < 256) {
          *out++ = static_cast<uint8_t>(symbol);
          continue;
        }
        const unsigned length = symbol - LZH_MATCH_LENGTH_OFFSET;
        entry = positions[LZH_TOP(PT_TABLE_BITS)];
        unsigned distance;
        LZH_RESOLVE(entry, positionCount, PT_TABLE_BITS, ptLengths, distance);
        {
          // Symbols 0 and 1 are the distance fields 0 and 1; symbol j above
          // them is 2^(j-1) plus j-1 more bits. Without a branch: the extra
          // bits of 0 and 1 are none, read as a shift by one more than all.
          const unsigned extra = distance - (distance != 0);
          const unsigned base = static_cast<unsigned>(distance != 0) << extra;
          distance = base | static_cast<unsigned>((bits >> 1) >> (BIT_WORD_BITS - 1 - extra));
          LZH_CONSUME(extra);
        }
        copyMatch(out, distance + 1, length);
        out += length;
      }
    }
    // One code at a time, with every check.
    if (out >= stop) break;
    if (remaining == 0) {
      LZH_SAVE_BITS();
      const bool ok = readBlockHeader();
      LZH_LOAD_BITS();
      if (!ok) break;
      remaining = blockRemaining;
    }
    --remaining;
    LZH_REFILL();
    uint16_t entry = chars[LZH_TOP(CHAR_TABLE_BITS)];
    unsigned symbol;
    LZH_RESOLVE(entry, LZH_CHAR_SYMBOLS, CHAR_TABLE_BITS, charLengths, symbol);
    if (symbol < 256) {
      *out++ = static_cast<uint8_t>(symbol);
      continue;
    }
    const unsigned length = symbol - LZH_MATCH_LENGTH_OFFSET;
    // A 32-bit look-ahead is refilled before each code of a match.
    if (BIT_WORD_BITS < 64) LZH_REFILL();
    entry = positions[LZH_TOP(PT_TABLE_BITS)];
    unsigned distance;
    LZH_RESOLVE(entry, positionCount, PT_TABLE_BITS, ptLengths, distance);
    if (distance > 1) {
      if (BIT_WORD_BITS < 64) LZH_REFILL();
      const unsigned extra = distance - 1;
      distance = 1u << extra | static_cast<unsigned>(LZH_TOP(extra));
      LZH_CONSUME(extra);
    }
    copyMatch(out, distance + 1, length);
    out += length;
  }
done:
  LZH_SAVE_BITS();
  blockRemaining = remaining;
  return out;

#undef LZH_SAVE_BITS
#undef LZH_LOAD_BITS
#undef LZH_LOAD_WORD
#undef LZH_REFILL
#undef LZH_CONSUME
#undef LZH_TOP
#undef LZH_RESOLVE
}

bool LzhBlockDecoder::handOver(const uint8_t* data, uint32_t count, const LzhSink& sink,
                               int64_t& unsent) {
  if (!input.withinMargin()) input.fail(LZH_BROKEN);
  if (input.status != LZH_OK) return false;
  // A last match may run past the member's size (only in a damaged or
  // crafted stream): the sink never gets more than the header promised, so
  // every reader sees the member at the size that the listing shows.
  if (count > unsent) count = static_cast<uint32_t>(unsent);
  unsent -= count;
  if (count != 0 && !sink.write(sink.context, data, count)) {
    input.fail(LZH_STOPPED);
    return false;
  }
  return true;
}

LzhStatus LzhBlockDecoder::decodeMember(char method, const LzhSource& source,
                                        uint64_t compressedSize, int64_t uncompressedSize,
                                        const LzhSink& sink) {
  input.beginInput(source, compressedSize);
  setMethodParameters(method);
  uint8_t* const start = window();
  uint8_t* const full = start + WINDOW_SIZE;
  // Bytes that a match takes from before the member's start read as spaces.
  std::memset(start - historySize, 0x20, historySize);
  producedCount = 0;
  if (uncompressedSize <= 0) return input.status;

  int64_t left = uncompressedSize;
  int64_t unsent = uncompressedSize;
  uint8_t* out = start;
  for (;;) {
    uint8_t* const stop = left < full - out ? out + left : full;
    uint8_t* const from = out;
    out = decodeRun(out, stop);
    left -= out - from;
    producedCount = uncompressedSize - left;
    if (out < stop) return input.status;  // decodeRun stops early only on a failure
    if (out >= full) {
      if (!handOver(start, WINDOW_SIZE, sink, unsent)) return input.status;
      // The window's last bytes become the history; bytes of a match that
      // ran past the window's end begin the next window.
      std::memmove(start - historySize, full - historySize,
                   historySize + static_cast<size_t>(out - full));
      out -= WINDOW_SIZE;
    }
    if (left <= 0) break;
  }
  if (out > start) {
    if (!handOver(start, static_cast<uint32_t>(out - start), sink, unsent)) return input.status;
  } else if (!input.withinMargin()) {
    input.fail(LZH_BROKEN);
  }
  return input.status;
}
