// Test-only LZH stream writer: an MSB-first bit writer, length-limited Huffman
// code lengths and the block-format pieces of the -lh4- to -lh7- methods, for
// blocks made to measure from literals and matches (support/compress.h gives
// the program's own streams).
//
// The low-level pieces write exactly what they are told, without checking that
// the result is a sensible code, so that tests can hand-craft damaged blocks
// (over-full length arrays, lengths above 16, counts beyond the alphabet, ...).
#ifndef KASUMIRO_TESTS_SUPPORT_LZH_WRITER_H
#define KASUMIRO_TESTS_SUPPORT_LZH_WRITER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testkit {

// Collects bits most significant bit first: the first bit put becomes bit 7 of
// the first byte.
class BitWriter {
 public:
  // Appends the low `nbits` bits of `value` (0..32 bits), highest of them first.
  void put(uint32_t value, unsigned nbits);
  // Appends `count` copies of the bit `bit`.
  void putRepeated(unsigned bit, size_t count);
  // Number of bits written so far.
  size_t bitCount() const { return bitCount_; }
  // The bytes written so far; a partial last byte is padded with zero bits.
  std::vector<uint8_t> bytes() const;

 private:
  std::vector<uint8_t> bytes_;
  size_t bitCount_ = 0;
};

// CRC-16/ARC: reflected polynomial 0xA001, initial value 0, no final XOR.
uint16_t crc16(const uint8_t* data, size_t size, uint16_t crc = 0);
uint16_t crc16(const std::vector<uint8_t>& data, uint16_t crc = 0);

// Huffman code lengths for `freqs`, none longer than `maxLen`. Symbols with
// frequency 0 get length 0. With two or more used symbols the lengths form a
// complete prefix code (Kraft sum exactly 1); a lone used symbol gets length 1,
// no used symbol leaves everything 0. Throws std::invalid_argument when the used
// symbols cannot fit into codes of `maxLen` bits.
std::vector<uint8_t> buildCodeLengths(const std::vector<uint32_t>& freqs, unsigned maxLen = 16);

// Canonical codes for a length array: by increasing length, within a length by
// increasing symbol, each code the next free value. Symbols of length 0 get 0.
// Over-full arrays still get (overlapping, meaningless) values; nothing checks.
std::vector<uint32_t> canonicalCodes(const std::vector<uint8_t>& lengths);

// Method parameters of the block format.
struct LhMethod {
  unsigned positionSymbols;    // 14 for -lh4-/-lh5-, 17 for -lh6-/-lh7-
  unsigned positionCountBits;  // 4 or 5
  uint32_t maxDistanceField;   // largest distance field within the window
};
// '4' -> 4 KiB dictionary, '5' -> 8 KiB, '6' -> 32 KiB, '7' -> 64 KiB.
// Throws std::invalid_argument for other characters.
LhMethod lhMethod(char methodChar);

// Alphabet sizes and symbol numbering of the block format.
constexpr unsigned kCharSymbols = 510;
constexpr unsigned kPreTreeSymbols = 19;
inline uint16_t matchSymbol(unsigned length) { return static_cast<uint16_t>(length + 253); }

// Position symbol of a distance field (0 -> 0; otherwise its bit length);
// symbol j > 1 is followed by j - 1 extra bits.
unsigned positionSymbolOf(uint32_t distanceField);

// One length in the pre-tree/position form: 0..6 in three bits; 7 and more as
// three 1 bits, (length - 7) further 1 bits and a closing 0 bit. Any length can
// be written, also the ones above 16 that only damaged data carries.
void putPtLength(BitWriter& out, unsigned length);

// A code-length array in the readPtLengths form: the count (lengths.size(), in
// `countBits` bits), then every length with putPtLength; when `specialIndex` is
// reached (the pre-tree uses 3), a 2-bit zero run with the number of zero
// lengths that follow (at most 3, never beyond the end of the array), which
// are then skipped. Pass specialIndex < 0 for no zero run (the position code).
// The caller trims trailing zeros if it wants the shortest form.
void writePtLengths(BitWriter& out, const std::vector<uint8_t>& lengths, unsigned countBits,
                    int specialIndex);

// The single-symbol form: a count of 0, then `symbol` in `countBits` bits.
void writePtSingle(BitWriter& out, unsigned countBits, unsigned symbol);

// Pre-tree symbols that describe a character length array (runs of zeros as
// symbols 0/1/2 with their run values, lengths L as symbol L + 2).
struct PreTreeItem {
  uint8_t symbol;  // 0..18
  uint16_t extra;  // run value for symbols 1 (4 bits) and 2 (9 bits)
};
std::vector<PreTreeItem> preTreeItemsFor(const std::vector<uint8_t>& charLengths);
unsigned preTreeExtraBits(unsigned symbol);  // 1 -> 4, 2 -> 9, others 0

// A character length array in the readCharLengths form: the count
// (charLengths.size(), 9 bits), then the pre-tree items, each coded with the
// canonical codes of `preTreeLengths`. When `preTreeSingle` is >= 0 the
// pre-tree was sent in its single-symbol form and its symbols cost no bits.
// Throws std::invalid_argument when an item's symbol has no code.
void writeCharLengths(BitWriter& out, const std::vector<uint8_t>& charLengths,
                      const std::vector<uint8_t>& preTreeLengths, int preTreeSingle = -1);
// Same, from explicit items (for hand-made runs, e.g. one past index 509).
void writeCharLengthItems(BitWriter& out, unsigned count, const std::vector<PreTreeItem>& items,
                          const std::vector<uint8_t>& preTreeLengths, int preTreeSingle = -1);

// One code of a block: either a length array (sent with the count
// lengths.size()) or, when `single` >= 0, the single-symbol form.
struct CodeSpec {
  std::vector<uint8_t> lengths;
  int single = -1;

  static CodeSpec fromLengths(std::vector<uint8_t> l) { return CodeSpec{std::move(l), -1}; }
  static CodeSpec singleSymbol(int symbol) { return CodeSpec{{}, symbol}; }
  bool empty() const { return lengths.empty() && single < 0; }
};

// One character code of a block, with the distance field of a match.
struct Token {
  uint16_t symbol;         // 0..255 literal, 256..509 match of length symbol - 253
  uint32_t distanceField;  // for matches: distance - 1
  static Token literal(uint8_t byte) { return Token{byte, 0}; }
  static Token match(unsigned length, uint32_t distance) {
    return Token{matchSymbol(length), distance - 1};
  }
};

// A block from explicit codes. `blockSize` is written as 16 bits (65536 and any
// other multiple of 65536 appear as 0); when negative, tokens.size() is used.
// An empty `preTree` is derived from the character lengths (single form when
// one pre-tree symbol is used); an empty `chars` or `positions` code is
// derived from the tokens' frequencies (single form when at most one symbol
// is used, trailing zero lengths left out). Tokens are coded with the
// canonical codes of the given lengths. Throws std::invalid_argument when a
// token needs a code that the block does not have.
struct BlockSpec {
  long blockSize = -1;
  CodeSpec preTree;
  CodeSpec chars;
  CodeSpec positions;
  std::vector<Token> tokens;
};
void writeBlock(BitWriter& out, const BlockSpec& block, char methodChar);

// `tokens` as blocks of at most `codesPerBlock` codes (1..65536), each with the
// codes chosen for its own tokens.
void writeBlocks(BitWriter& out, const std::vector<Token>& tokens, char methodChar,
                 size_t codesPerBlock = 65536);

// The bytes that tokens stand for; matches reaching before the start copy
// spaces, as from a fresh window.
std::vector<uint8_t> expandTokens(const std::vector<Token>& tokens);

}  // namespace testkit

#endif  // KASUMIRO_TESTS_SUPPORT_LZH_WRITER_H
