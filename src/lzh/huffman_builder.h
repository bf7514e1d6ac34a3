// Huffman codes for the encoder: code lengths limited to a maximum (16 in the
// -lh5- to -lh7- block format) and the canonical code values the decoder
// derives from those lengths.
#pragma once

#include <cstdint>

// The largest alphabet of the block format (the character code).
constexpr int HUFFMAN_MAX_SYMBOLS = 510;

// Fills lengths[0..symbolCount) with code lengths of at most maxLength bits
// (1..16) for the given frequencies (each below 2^22) and returns the number
// of symbols in use. Unused symbols get length 0. With two or more symbols in
// use the lengths form a complete code; a single used symbol gets length 0 as
// well (the block format sends such a code in its one-symbol form).
int buildHuffmanLengths(const uint32_t* frequencies, int symbolCount, int maxLength,
                        uint8_t* lengths);

// Canonical code values: by increasing length, and within one length by
// increasing symbol, each code the next free value. Symbols of length 0 get 0.
void buildCanonicalCodes(const uint8_t* lengths, int symbolCount, uint16_t* codes);
