// Huffman codes for the encoder: code lengths limited to a maximum (16 in the
// -lh5- to -lh7- block format) and the canonical code values the decoder
// derives from those lengths.
#pragma once

#include <cstdint>

#include "lzh/lzh_format.h"

// The largest alphabet of the block format (the character code).
constexpr int HUFFMAN_MAX_SYMBOLS = LZH_CHAR_SYMBOLS;

// The Huffman tree of a set of frequencies, kept as its symbols in order of
// frequency and its number of leaves at each depth, so that codes for
// several length limits can be taken from one tree.
class HuffmanShape {
 public:
  // Builds the tree for symbolCount frequencies (each below 2^22) and
  // returns the number of symbols in use.
  int build(const uint32_t* frequencies, int symbolCount);

  // Code lengths of at most maxLength bits (1..16). Unused symbols get 0.
  // With two or more symbols in use the lengths form a complete code; a
  // single used symbol gets 0 as well (the block format sends such a code in
  // its one-symbol form). maxLength must leave room: 2^maxLength >= used.
  void lengths(int maxLength, uint8_t* out) const;

  int used() const { return used_; }

 private:
  int symbolCount_ = 0;
  int used_ = 0;
  int deepest_ = 0;
  uint16_t order_[HUFFMAN_MAX_SYMBOLS];      // used symbols, least frequent first
  uint16_t count_[HUFFMAN_MAX_SYMBOLS + 1];  // leaves at each depth of the tree
};

// Lengths for one limit: HuffmanShape::build, then lengths(maxLength).
int buildHuffmanLengths(const uint32_t* frequencies, int symbolCount, int maxLength,
                        uint8_t* lengths);

// Canonical code values: by increasing length, and within one length by
// increasing symbol, each code the next free value. Symbols of length 0 get 0.
void buildCanonicalCodes(const uint8_t* lengths, int symbolCount, uint16_t* codes);
