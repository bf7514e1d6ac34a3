// Huffman table construction on arbitrary code-length arrays.
//
// Input layout:
//   byte 0  bits 0-1: alphabet of 19, 14, 17 or 510 symbols
//           bit 2:    12 index bits (else 8)
//           bits 3-4: how the lengths are made from the rest:
//                     0: each byte's low 5 bits (0..31, so lengths above 16
//                        occur), 1: each byte modulo 17,
//                     2: a complete code grown as a random binary tree,
//                     3: the same with one length changed afterwards
//   byte 1  fill value of the table and the tree nodes before the build
//   rest    the lengths, or the choices that grow the tree
//
// Checked for every input:
//   - the build succeeds exactly when isUsableCode says so, and that agrees
//     with the code space summed here (all lengths 0..16, total 0 or 2^16);
//   - a refused array, and an array without any code, leave the table and
//     the nodes untouched;
//   - for a usable code, every canonical code, followed by any bits, decodes
//     to its own symbol after exactly its length in bits: through a table
//     entry that holds the symbol and that length, or through the node its
//     entry roots and then one node per further bit.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "lzh/huffman_table.h"

namespace {

constexpr int ALPHABETS[4] = {19, 14, 17, 510};
constexpr int MAX_LENGTH = 16;

HuffmanNodes nodes;
uint16_t* const leftChild = nodes.leftChild;
uint16_t* const rightChild = nodes.rightChild;

class ByteSource {
 public:
  ByteSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// A complete code: start from one leaf, split leaves chosen by the input
// until the wanted number of leaves exists, then hand the leaves' depths to
// symbols chosen by the input.
std::vector<uint8_t> growCompleteCode(int symbolCount, ByteSource& in) {
  const int wanted = 2 + in.next() % (symbolCount - 1);
  std::vector<uint8_t> depths{0};
  while (static_cast<int>(depths.size()) < wanted) {
    size_t pick = in.next() % depths.size();
    while (depths[pick] >= MAX_LENGTH) pick = (pick + 1) % depths.size();
    ++depths[pick];
    depths.push_back(depths[pick]);
  }
  std::vector<int> freeSymbols;
  for (int s = 0; s < symbolCount; ++s) freeSymbols.push_back(s);
  std::vector<uint8_t> lengths(symbolCount, 0);
  for (uint8_t depth : depths) {
    size_t pick = in.next() % freeSymbols.size();
    lengths[freeSymbols[pick]] = depth;
    freeSymbols.erase(freeSymbols.begin() + static_cast<long>(pick));
  }
  return lengths;
}

bool usableBySum(const std::vector<uint8_t>& lengths) {
  uint64_t total = 0;
  for (uint8_t len : lengths) {
    if (len > MAX_LENGTH) return false;
    if (len) total += uint64_t{1} << (MAX_LENGTH - len);
  }
  return total == 0 || total == (uint64_t{1} << MAX_LENGTH);
}

std::string describe(int symbolCount, int tableBits, int symbol, uint32_t code, int len) {
  return "alphabet " + std::to_string(symbolCount) + ", " + std::to_string(tableBits) +
         " index bits, symbol " + std::to_string(symbol) + ", code " + std::to_string(code) +
         " of length " + std::to_string(len);
}

// Looks up the bits of one code as the decoder does: the table entry under
// the first tableBits bits, then one node per further bit. padding fills the
// index when the code is shorter than the index.
void checkCode(const std::vector<uint8_t>& lengths, int tableBits, const uint16_t* table,
               int symbol, uint32_t code) {
  const int symbolCount = static_cast<int>(lengths.size());
  const int len = lengths[symbol];
  auto what = [&] { return describe(symbolCount, tableBits, symbol, code, len); };
  if (len <= tableBits) {
    const uint32_t span = 1u << (tableBits - len);
    for (uint32_t padding = 0; padding < span; ++padding) {
      const uint16_t entry = table[(code << (tableBits - len)) | padding];
      FUZZ_CHECK(entry == tableEntry(static_cast<unsigned>(symbol), static_cast<unsigned>(len)),
                 what() + ": entry " + std::to_string(entry));
    }
    return;
  }
  const uint16_t root = table[code >> (len - tableBits)];
  FUZZ_CHECK(entryLength(root) == ENTRY_NODE, what() + ": entry " + std::to_string(root));
  unsigned entry = entrySymbol(root);
  for (int bit = len - tableBits - 1; bit >= 0; --bit) {
    FUZZ_CHECK(entry >= static_cast<unsigned>(symbolCount) && entry < HUFFMAN_NODE_COUNT,
               what() + ": entry " + std::to_string(entry) + " before its end");
    entry = (code >> bit) & 1 ? rightChild[entry] : leftChild[entry];
  }
  FUZZ_CHECK(entry == static_cast<unsigned>(symbol), what() + ": reached " + std::to_string(entry));
}

void checkUsableTable(const std::vector<uint8_t>& lengths, int tableBits, const uint16_t* table) {
  const int symbolCount = static_cast<int>(lengths.size());
  // Canonical codes: by length, then by symbol, each the next free value.
  uint32_t count[MAX_LENGTH + 1] = {};
  for (uint8_t len : lengths)
    if (len) ++count[len];
  uint32_t next[MAX_LENGTH + 2] = {};
  for (int len = 1; len <= MAX_LENGTH; ++len) next[len + 1] = (next[len] + count[len]) << 1;
  // Every index of the table is either inside the span of a short code or
  // the first bits of a long one, so this visits the whole table.
  for (int s = 0; s < symbolCount; ++s)
    if (lengths[s]) checkCode(lengths, tableBits, table, s, next[lengths[s]]++);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int symbolCount = ALPHABETS[data[0] & 3];
  const int tableBits = data[0] & 4 ? 12 : 8;
  const int form = (data[0] >> 3) & 3;
  const uint16_t fill = static_cast<uint16_t>(data[1] * 0x0101u);
  ByteSource in(data + 2, size - 2);

  std::vector<uint8_t> lengths(symbolCount, 0);
  if (form <= 1) {
    for (auto& len : lengths) len = form == 0 ? in.next() & 0x1F : in.next() % 17;
  } else {
    lengths = growCompleteCode(symbolCount, in);
    if (form == 3) lengths[in.next() % symbolCount] = in.next() % 21;
  }

  const size_t tableSize = size_t{1} << tableBits;
  std::vector<uint16_t> table(tableSize, fill);
  for (int i = 0; i < HUFFMAN_NODE_COUNT; ++i) leftChild[i] = rightChild[i] = fill;
  const std::vector<uint16_t> tableBefore = table;

  const bool usable = isUsableCode(symbolCount, lengths.data());
  FUZZ_CHECK(usable == usableBySum(lengths), "isUsableCode says " + std::to_string(usable));
  if (form == 2) FUZZ_CHECK(usable, "a grown code is complete");

  const bool built = makeHuffmanTable(symbolCount, lengths.data(), tableBits, table.data(), nodes);
  FUZZ_CHECK(built == usable,
             "build " + std::to_string(built) + ", usable " + std::to_string(usable));

  bool anyLength = false;
  for (uint8_t len : lengths) anyLength |= len != 0;
  if (!built || !anyLength) {
    FUZZ_CHECK(table == tableBefore, "table changed");
    for (int i = 0; i < HUFFMAN_NODE_COUNT; ++i)
      FUZZ_CHECK(leftChild[i] == fill && rightChild[i] == fill,
                 "node " + std::to_string(i) + " changed");
    return 0;
  }
  checkUsableTable(lengths, tableBits, table.data());
  return 0;
}
