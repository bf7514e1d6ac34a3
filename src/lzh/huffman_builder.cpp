#include "lzh/huffman_builder.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int SYMBOL_BITS = 10;  // symbols fit in 10 bits of a sort key
constexpr uint32_t SYMBOL_MASK = (1u << SYMBOL_BITS) - 1;

}  // namespace

int HuffmanShape::build(const uint32_t* frequencies, int symbolCount) {
  symbolCount_ = symbolCount;
  // Leaves sorted by frequency, ties by symbol: key = frequency:symbol.
  uint32_t keys[HUFFMAN_MAX_SYMBOLS];
  int used = 0;
  for (int s = 0; s < symbolCount; ++s) {
    if (frequencies[s] != 0)
      keys[used++] = (frequencies[s] << SYMBOL_BITS) | static_cast<uint32_t>(s);
  }
  used_ = used;
  deepest_ = 0;
  if (used < 2) {
    if (used == 1) order_[0] = static_cast<uint16_t>(keys[0] & SYMBOL_MASK);
    return used;
  }
  std::sort(keys, keys + used);
  for (int i = 0; i < used; ++i) order_[i] = static_cast<uint16_t>(keys[i] & SYMBOL_MASK);

  // Two-queue construction: leaves 0..used-1 in order, internal nodes
  // appended from index used on, themselves created in increasing weight.
  uint32_t weight[2 * HUFFMAN_MAX_SYMBOLS];
  uint16_t parent[2 * HUFFMAN_MAX_SYMBOLS];
  for (int i = 0; i < used; ++i) weight[i] = keys[i] >> SYMBOL_BITS;
  int leaf = 0, node = used;
  const int root = 2 * used - 2;
  for (int next = used; next <= root; ++next) {
    int pick[2];
    for (int& p : pick) {
      if (leaf < used && (node >= next || weight[leaf] <= weight[node]))
        p = leaf++;
      else
        p = node++;
    }
    weight[next] = weight[pick[0]] + weight[pick[1]];
    parent[pick[0]] = parent[pick[1]] = static_cast<uint16_t>(next);
  }

  // Depth of every node, leaves counted per depth; the tree can be deeper
  // than any limit, up to used - 1.
  uint16_t depth[2 * HUFFMAN_MAX_SYMBOLS];
  std::memset(count_, 0, sizeof count_);
  depth[root] = 0;
  for (int i = root - 1; i >= 0; --i) {
    depth[i] = static_cast<uint16_t>(depth[parent[i]] + 1);
    if (i < used) {
      ++count_[depth[i]];
      deepest_ = std::max(deepest_, static_cast<int>(depth[i]));
    }
  }
  return used;
}

void HuffmanShape::lengths(int maxLength, uint8_t* out) const {
  std::memset(out, 0, symbolCount_);
  if (used_ < 2) return;
  int count[HUFFMAN_MAX_SYMBOLS + 1];
  for (int len = 0; len <= deepest_; ++len) count[len] = count_[len];
  // Limit the lengths and keep the code complete: two leaves at the deepest
  // level go, one moves up into their parent's place, and a shallower leaf
  // becomes a node over itself and the other (the Kraft sum is unchanged).
  for (int len = deepest_; len > maxLength; --len) {
    while (count[len] > 0) {
      int shallower = len - 2;
      while (count[shallower] == 0) --shallower;
      count[len] -= 2;
      count[len - 1] += 1;
      count[shallower + 1] += 2;
      count[shallower] -= 1;
    }
  }
  // The most frequent symbols get the shortest codes.
  int k = used_ - 1;
  const int longest = std::min(maxLength, deepest_);
  for (int len = 1; len <= longest; ++len) {
    for (int c = count[len]; c > 0; --c) out[order_[k--]] = static_cast<uint8_t>(len);
  }
}

int buildHuffmanLengths(const uint32_t* frequencies, int symbolCount, int maxLength,
                        uint8_t* lengths) {
  HuffmanShape shape;
  const int used = shape.build(frequencies, symbolCount);
  shape.lengths(maxLength, lengths);
  return used;
}

void buildCanonicalCodes(const uint8_t* lengths, int symbolCount, uint16_t* codes) {
  uint32_t count[17] = {};
  for (int s = 0; s < symbolCount; ++s) ++count[lengths[s]];
  uint32_t next[17];
  uint32_t code = 0;
  count[0] = 0;
  for (int len = 1; len <= 16; ++len) {
    code = (code + count[len - 1]) << 1;
    next[len] = code;
  }
  for (int s = 0; s < symbolCount; ++s)
    codes[s] = lengths[s] ? static_cast<uint16_t>(next[lengths[s]]++) : 0;
}
