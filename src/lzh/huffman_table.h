// Canonical Huffman lookup tables: a direct table indexed by the next
// tableBits bits whose entries give a symbol together with its code length,
// and small trees (in HuffmanNodes) for the codes longer than the index.
#pragma once

#include <cstdint>

#include "lzh/lzh_format.h"

// A complete code of n symbols has n - 1 inner nodes; the largest alphabet
// bounds them all.
constexpr int HUFFMAN_NODE_COUNT = 2 * LZH_CHAR_SYMBOLS - 1;

// The tree nodes of the codes of one block. A node's leftChild entry is
// followed on a 0 bit, its rightChild entry on a 1 bit; each holds a symbol
// (below the build's symbol count) or another node number. The builds of one
// block share the arrays: each numbers its nodes from its own symbol count.
struct HuffmanNodes {
  uint16_t leftChild[HUFFMAN_NODE_COUNT];
  uint16_t rightChild[HUFFMAN_NODE_COUNT];
};

// A table entry holds a symbol and its code length, so that one lookup
// resolves a short code: symbol << 5 | length. The length field 31 marks the
// root of a tree instead, with the node number in place of the symbol.
constexpr unsigned ENTRY_LENGTH_BITS = 5;
constexpr unsigned ENTRY_NODE = 31;
constexpr uint16_t tableEntry(unsigned symbol, unsigned length) {
  return static_cast<uint16_t>(symbol << ENTRY_LENGTH_BITS | length);
}
constexpr unsigned entrySymbol(uint16_t entry) { return entry >> ENTRY_LENGTH_BITS; }
constexpr unsigned entryLength(uint16_t entry) { return entry & ((1u << ENTRY_LENGTH_BITS) - 1); }
// A table without any code: its entries lead to a node number past the node
// arrays, so a lookup there fails.
constexpr uint16_t EMPTY_TABLE_ENTRY = tableEntry(0x7FF, ENTRY_NODE);
// In the character table, the entries below this one are the literal bytes
// with codes of up to 12 bits: one comparison tells them apart.
constexpr uint16_t LITERAL_ENTRY_LIMIT = tableEntry(256, 0);

// Fills table (2^tableBits entries) and the nodes for the code given by its
// lengths. False when the array does not describe a complete code (or holds
// lengths above 16); table and nodes are then untouched. An array of zero
// lengths only passes and writes nothing.
bool makeHuffmanTable(int symbolCount, const uint8_t* codeLengths, int tableBits, uint16_t* table,
                      HuffmanNodes& nodes);

// The same checks without building: true when lengths describe a complete
// code (or no code at all).
bool isUsableCode(int symbolCount, const uint8_t* codeLengths);
