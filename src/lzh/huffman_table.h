// Canonical Huffman lookup tables: a direct table indexed by the next
// tableBits bits, with small trees (in leftChild/rightChild) for longer codes.
#pragma once

#include <cstdint>

constexpr int HUFFMAN_NODE_COUNT = 2 * 510 - 1;
constexpr int MAX_CODE_LENGTH = 16;

extern uint16_t leftChild[HUFFMAN_NODE_COUNT];
extern uint16_t rightChild[HUFFMAN_NODE_COUNT];

// Fills table (2^tableBits entries) for the code given by its lengths. An
// array that does not describe a complete code (or holds lengths above 16)
// is reported as a broken archive and leaves by raiseAbort; tables and nodes
// are then untouched. An array of zero lengths only passes and writes nothing.
void makeHuffmanTable(int symbolCount, const uint8_t* codeLengths, int tableBits, uint16_t* table);

// The same checks without the report: true when lengths describe a complete
// code (or no code at all). Exposed for tests and fuzzing.
bool isUsableCode(int symbolCount, const uint8_t* codeLengths);
