// Canonical Huffman lookup tables with trees for the codes longer than the
// table index.
#include "lzh/huffman_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/lzh_writer.h"

namespace {

constexpr uint16_t kFill = 0xBEEF;

class HuffmanTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table.assign(4096 + 1, kFill);  // one entry past the largest table
    for (int i = 0; i < HUFFMAN_NODE_COUNT; ++i) {
      leftChild[i] = static_cast<uint16_t>(0x4000 + i);
      rightChild[i] = static_cast<uint16_t>(0x6000 + i);
    }
  }

  bool build(const std::vector<uint8_t>& lengths, int tableBits, int symbolCount = -1) {
    if (symbolCount < 0) symbolCount = static_cast<int>(lengths.size());
    std::vector<uint8_t> padded = lengths;
    padded.resize(static_cast<size_t>(symbolCount), 0);
    return makeHuffmanTable(symbolCount, padded.data(), tableBits, table.data(), nodes);
  }

  // The symbol of a table entry that resolves its code directly; -1 for a
  // tree's root.
  static int symbolOf(uint16_t entry) {
    return entryLength(entry) == ENTRY_NODE ? -1 : static_cast<int>(entrySymbol(entry));
  }
  // The node of a tree's root; -1 for a symbol.
  static int nodeOf(uint16_t entry) {
    return entryLength(entry) == ENTRY_NODE ? static_cast<int>(entrySymbol(entry)) : -1;
  }

  // Decodes the symbol at the top of a 16-bit window the way the decoder
  // does; bitsUsed receives the length of the code that was followed.
  int lookUp(uint16_t window, int tableBits, int symbolCount, int* bitsUsed) const {
    const uint16_t entry = table[window >> (16 - tableBits)];
    if (entryLength(entry) != ENTRY_NODE) {
      *bitsUsed = static_cast<int>(entryLength(entry));
      return static_cast<int>(entrySymbol(entry));
    }
    unsigned j = entrySymbol(entry);
    int used = tableBits;
    for (unsigned mask = 0x8000u >> tableBits; j >= static_cast<unsigned>(symbolCount);
         mask >>= 1) {
      if (mask == 0 || j >= HUFFMAN_NODE_COUNT) return -1;
      j = (window & mask) ? rightChild[j] : leftChild[j];
      ++used;
    }
    *bitsUsed = used;
    return static_cast<int>(j);
  }

  std::vector<uint16_t> table;
  std::unique_ptr<HuffmanNodes> nodeOwner{new HuffmanNodes()};
  HuffmanNodes& nodes = *nodeOwner;
  uint16_t* leftChild = nodes.leftChild;
  uint16_t* rightChild = nodes.rightChild;
};

std::vector<uint8_t> lengthsWith(size_t count, std::initializer_list<std::pair<int, int>> set) {
  std::vector<uint8_t> out(count, 0);
  for (auto [symbol, length] : set) out[static_cast<size_t>(symbol)] = static_cast<uint8_t>(length);
  return out;
}

TEST_F(HuffmanTableTest, TwoCodesOfLengthOneFillTheHalves) {
  ASSERT_TRUE(build(lengthsWith(19, {{3, 1}, {7, 1}}), 8));
  for (int i = 0; i < 256; ++i) {
    ASSERT_EQ(symbolOf(table[i]), i < 128 ? 3 : 7) << i;
    ASSERT_EQ(entryLength(table[i]), 1u) << i;
  }
  EXPECT_EQ(table[256], kFill);  // nothing beyond the 256 entries
}

TEST_F(HuffmanTableTest, NineBitCodesHangUnderOneNode) {
  // Lengths 1..8 and two of 9: the 9-bit codes share the index 0xFF.
  auto lengths = lengthsWith(
      19, {{0, 1}, {1, 2}, {2, 3}, {5, 4}, {6, 5}, {8, 6}, {9, 7}, {10, 8}, {4, 9}, {11, 9}});
  ASSERT_TRUE(build(lengths, 8));
  EXPECT_EQ(nodeOf(table[255]), 19);  // the first node of the build is the symbol count
  EXPECT_EQ(leftChild[19], 4);
  EXPECT_EQ(rightChild[19], 11);
  EXPECT_EQ(leftChild[20], 0x4000 + 20);  // no second node was made
  EXPECT_EQ(symbolOf(table[0]), 0);
  EXPECT_EQ(symbolOf(table[127]), 0);
  EXPECT_EQ(symbolOf(table[128]), 1);
  EXPECT_EQ(symbolOf(table[254]), 10);
  EXPECT_EQ(entryLength(table[254]), 8u);
}

TEST_F(HuffmanTableTest, CompleteShortCodeCoversTheTableAndZerosLeaveNoTrace) {
  struct Case {
    std::vector<uint8_t> lengths;
    int tableBits;
  };
  const Case cases[] = {
      {lengthsWith(19, {{2, 3}, {3, 3}, {5, 3}, {7, 3}, {11, 3}, {13, 3}, {17, 3}, {18, 3}}), 8},
      {lengthsWith(14, {{0, 2}, {13, 2}, {6, 2}, {7, 3}, {8, 4}, {9, 5}, {10, 6}, {12, 7}, {1, 7}}),
       8},
      {lengthsWith(510, {{0, 1},
                         {300, 12},
                         {509, 2},
                         {65, 3},
                         {66, 4},
                         {67, 5},
                         {68, 6},
                         {69, 7},
                         {70, 8},
                         {71, 9},
                         {72, 10},
                         {73, 11},
                         {74, 12}}),
       12},
  };
  for (const auto& c : cases) {
    SetUp();
    ASSERT_TRUE(build(c.lengths, c.tableBits));
    const size_t size = size_t{1} << c.tableBits;
    const auto codes = testkit::canonicalCodes(c.lengths);
    for (size_t i = 0; i < size; ++i) {
      ASSERT_GE(symbolOf(table[i]), 0) << "entry " << i << " is a tree";
      const unsigned symbol = entrySymbol(table[i]);
      ASSERT_LT(symbol, c.lengths.size()) << "entry " << i << " not covered";
      ASSERT_NE(c.lengths[symbol], 0) << "entry " << i << " holds a zero-length symbol";
      ASSERT_EQ(entryLength(table[i]), c.lengths[symbol]) << "entry " << i;
      // The entry lies inside the symbol's canonical code.
      const int jut = c.tableBits - c.lengths[symbol];
      ASSERT_EQ(i >> jut, codes[symbol]) << "entry " << i;
    }
    EXPECT_EQ(table[size], kFill);
    EXPECT_EQ(leftChild[c.lengths.size()], 0x4000 + c.lengths.size());  // no nodes
  }
}

TEST_F(HuffmanTableTest, AllZeroLengthsWriteNothing) {
  for (int symbols : {14, 17, 19, 510}) {
    SetUp();
    ASSERT_TRUE(
        build(std::vector<uint8_t>(static_cast<size_t>(symbols), 0), symbols == 510 ? 12 : 8));
    for (size_t i = 0; i < table.size(); ++i) ASSERT_EQ(table[i], kFill) << i;
    for (int i = 0; i < HUFFMAN_NODE_COUNT; ++i) {
      ASSERT_EQ(leftChild[i], 0x4000 + i);
      ASSERT_EQ(rightChild[i], 0x6000 + i);
    }
  }
}

struct RejectCase {
  const char* name;
  std::vector<uint8_t> lengths;
  int tableBits;
};

std::vector<uint8_t> ladder(int last, int lastCount) {
  std::vector<uint8_t> out;
  for (int len = 1; len < last; ++len) out.push_back(static_cast<uint8_t>(len));
  for (int k = 0; k < lastCount; ++k) out.push_back(static_cast<uint8_t>(last));
  return out;
}

TEST_F(HuffmanTableTest, ImpossibleArraysAreBrokenAndTouchNothing) {
  // 2 * 32768 + 2 * 16384 + 506 * 128: well over the code space.
  std::vector<uint8_t> overFull(510, 9);
  overFull[0] = overFull[1] = 2;
  overFull[2] = overFull[3] = 1;
  const RejectCase cases[] = {
      {"one code of length 1", {1}, 8},
      {"three of length 1", {1, 1, 1}, 8},
      {"four of length 1, twice the code space", {1, 1, 1, 1}, 8},
      {"two of 1 and four of 2, twice the code space", {1, 2, 1, 2, 2, 2}, 8},
      {"65536 * 3 at 12 bits", std::vector<uint8_t>(6, 1), 12},
      {"under-full", {1, 2}, 8},
      {"under-full by one 16-bit code", ladder(16, 1), 8},
      {"over-full character code", overFull, 12},
      {"complete but with length 17", ladder(17, 2), 8},
      {"complete but with length 20", ladder(20, 2), 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    EXPECT_FALSE(build(c.lengths, c.tableBits, c.lengths.size() > 19 ? 510 : 19));
    for (size_t i = 0; i < table.size(); ++i) ASSERT_EQ(table[i], kFill) << i;
    for (int i = 0; i < HUFFMAN_NODE_COUNT; ++i) {
      ASSERT_EQ(leftChild[i], 0x4000 + i);
      ASSERT_EQ(rightChild[i], 0x6000 + i);
    }
  }
}

TEST_F(HuffmanTableTest, LongestCodesAreAccepted) {
  // Lengths 1..15 and two of 16 for a 19-symbol alphabet; and 1..15, 16, 16
  // inside the character alphabet with a 12-bit table.
  for (int tableBits : {8, 12}) {
    SetUp();
    const auto lengths = ladder(16, 2);
    ASSERT_TRUE(build(lengths, tableBits, tableBits == 8 ? 19 : 510));
    int used = 0;
    const int symbolCount = tableBits == 8 ? 19 : 510;
    EXPECT_EQ(lookUp(0xFFFF, tableBits, symbolCount, &used), 16);
    EXPECT_EQ(used, 16);
    EXPECT_EQ(lookUp(0xFFFE, tableBits, symbolCount, &used), 15);
    EXPECT_EQ(used, 16);
    EXPECT_EQ(lookUp(0xFFFC, tableBits, symbolCount, &used), 14);
    EXPECT_EQ(used, 15);
  }
}

// Random complete codes, as an encoder sends them: every code looked up
// through the table and its tree yields its symbol after exactly its length.
TEST_F(HuffmanTableTest, RandomCompleteCodesDecodeToTheirCanonicalCodes) {
  std::mt19937 random(20240601);
  struct Alphabet {
    int symbols;
    int tableBits;
  };
  const Alphabet alphabets[] = {{19, 8}, {14, 8}, {17, 8}, {510, 12}};
  int longCodes = 0;
  for (int round = 0; round < 200; ++round) {
    const Alphabet a = alphabets[round % 4];
    std::vector<uint32_t> freqs(static_cast<size_t>(a.symbols), 0);
    const int used = 2 + static_cast<int>(random() % static_cast<unsigned>(a.symbols - 1));
    for (int k = 0; k < used; ++k) {
      // Skewed weights make codes longer than the table index.
      freqs[random() % freqs.size()] = 1u << (random() % 24);
    }
    int nonZero = 0;
    for (uint32_t f : freqs) nonZero += f != 0;
    if (nonZero < 2) continue;
    const auto lengths = testkit::buildCodeLengths(freqs, 16);
    const auto codes = testkit::canonicalCodes(lengths);
    SetUp();
    ASSERT_TRUE(build(lengths, a.tableBits)) << "round " << round;
    for (int s = 0; s < a.symbols; ++s) {
      const int len = lengths[static_cast<size_t>(s)];
      if (len == 0) continue;
      longCodes += len > a.tableBits;
      const uint16_t filler = static_cast<uint16_t>(random()) & ((1u << (16 - len)) - 1);
      const uint16_t window =
          static_cast<uint16_t>(codes[static_cast<size_t>(s)] << (16 - len) | filler);
      int bits = 0;
      ASSERT_EQ(lookUp(window, a.tableBits, a.symbols, &bits), s) << "round " << round;
      if (len > a.tableBits) {
        ASSERT_EQ(bits, len) << "round " << round << " symbol " << s;
      }
    }
  }
  EXPECT_GT(longCodes, 100);  // the trees were exercised
}

}  // namespace
