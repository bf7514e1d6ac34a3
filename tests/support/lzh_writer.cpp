#include "support/lzh_writer.h"

#include <algorithm>
#include <functional>
#include <queue>
#include <stdexcept>
#include <string>
#include <utility>

namespace testkit {

// ---------------------------------------------------------------------------
// BitWriter

void BitWriter::put(uint32_t value, unsigned nbits) {
  if (nbits > 32) throw std::invalid_argument("BitWriter::put: more than 32 bits");
  for (unsigned i = nbits; i-- > 0;) {
    const unsigned bit = (value >> i) & 1u;
    if (bitCount_ % 8 == 0) bytes_.push_back(0);
    if (bit) bytes_.back() |= static_cast<uint8_t>(0x80u >> (bitCount_ % 8));
    ++bitCount_;
  }
}

void BitWriter::putRepeated(unsigned bit, size_t count) {
  for (size_t i = 0; i < count; ++i) put(bit ? 1u : 0u, 1);
}

std::vector<uint8_t> BitWriter::bytes() const { return bytes_; }

// ---------------------------------------------------------------------------
// CRC-16/ARC, bit by bit.

uint16_t crc16(const uint8_t* data, size_t size, uint16_t crc) {
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b)
      crc = (crc & 1u) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u)
                       : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

uint16_t crc16(const std::vector<uint8_t>& data, uint16_t crc) {
  return crc16(data.data(), data.size(), crc);
}

// ---------------------------------------------------------------------------
// Code lengths

std::vector<uint8_t> buildCodeLengths(const std::vector<uint32_t>& freqs, unsigned maxLen) {
  if (maxLen == 0 || maxLen > 32) throw std::invalid_argument("buildCodeLengths: maxLen 1..32");
  std::vector<uint8_t> lengths(freqs.size(), 0);
  std::vector<size_t> used;
  for (size_t s = 0; s < freqs.size(); ++s)
    if (freqs[s] != 0) used.push_back(s);
  if (used.empty()) return lengths;
  if (used.size() == 1) {
    lengths[used[0]] = 1;
    return lengths;
  }
  if (maxLen < 32 && used.size() > (size_t{1} << maxLen))
    throw std::invalid_argument("buildCodeLengths: too many symbols for maxLen");

  // Plain Huffman tree; ties are broken by node number so results are stable.
  struct Node {
    uint64_t weight;
    int parent;
  };
  std::vector<Node> nodes;
  using Entry = std::pair<uint64_t, int>;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> heap;
  for (size_t s : used) {
    nodes.push_back(Node{freqs[s], -1});
    heap.emplace(freqs[s], static_cast<int>(nodes.size() - 1));
  }
  while (heap.size() > 1) {
    const Entry a = heap.top();
    heap.pop();
    const Entry b = heap.top();
    heap.pop();
    nodes.push_back(Node{a.first + b.first, -1});
    const int id = static_cast<int>(nodes.size() - 1);
    nodes[a.second].parent = id;
    nodes[b.second].parent = id;
    heap.emplace(a.first + b.first, id);
  }
  std::vector<unsigned> depth(used.size());
  unsigned deepest = 0;
  for (size_t k = 0; k < used.size(); ++k) {
    unsigned d = 0;
    for (int n = static_cast<int>(k); nodes[n].parent >= 0; n = nodes[n].parent) ++d;
    depth[k] = d;
    deepest = std::max(deepest, d);
  }
  if (deepest <= maxLen) {
    for (size_t k = 0; k < used.size(); ++k) lengths[used[k]] = static_cast<uint8_t>(depth[k]);
    return lengths;
  }

  // Too deep: clamp to maxLen, then restore the Kraft sum. Each step removes
  // one leaf at maxLen and splits a shallower leaf into two one level deeper:
  // the leaf count stays, the sum drops by one unit of 2^-maxLen.
  std::vector<uint64_t> count(maxLen + 1, 0);
  for (unsigned d : depth) ++count[std::min(d, maxLen)];
  uint64_t sum = 0;
  for (unsigned d = 1; d <= maxLen; ++d) sum += count[d] << (maxLen - d);
  const uint64_t full = uint64_t{1} << maxLen;
  while (sum > full) {
    if (count[maxLen] == 0) throw std::logic_error("buildCodeLengths: cannot limit lengths");
    --count[maxLen];
    unsigned d = maxLen - 1;
    while (d > 0 && count[d] == 0) --d;
    if (d == 0) throw std::logic_error("buildCodeLengths: cannot limit lengths");
    --count[d];
    count[d + 1] += 2;
    --sum;
  }
  // Shortest lengths go to the most frequent symbols.
  std::vector<size_t> order = used;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return freqs[a] > freqs[b]; });
  size_t next = 0;
  for (unsigned d = 1; d <= maxLen; ++d)
    for (uint64_t c = 0; c < count[d]; ++c) lengths[order[next++]] = static_cast<uint8_t>(d);
  return lengths;
}

std::vector<uint32_t> canonicalCodes(const std::vector<uint8_t>& lengths) {
  unsigned maxLen = 0;
  for (uint8_t l : lengths) maxLen = std::max<unsigned>(maxLen, l);
  std::vector<uint32_t> codes(lengths.size(), 0);
  uint64_t code = 0;
  for (unsigned len = 1; len <= maxLen; ++len) {
    for (size_t s = 0; s < lengths.size(); ++s)
      if (lengths[s] == len) codes[s] = static_cast<uint32_t>(code++);
    code <<= 1;
  }
  return codes;
}

// ---------------------------------------------------------------------------
// Method parameters and symbol helpers

LhMethod lhMethod(char methodChar) {
  switch (methodChar) {
    case '4':
      return LhMethod{14, 4, 4095};
    case '5':
      return LhMethod{14, 4, 8191};
    case '6':
      return LhMethod{17, 5, 32767};
    case '7':
      return LhMethod{17, 5, 65535};
    default:
      throw std::invalid_argument(std::string("lhMethod: unknown method ") + methodChar);
  }
}

unsigned positionSymbolOf(uint32_t distanceField) {
  unsigned bits = 0;
  while (distanceField != 0) {
    ++bits;
    distanceField >>= 1;
  }
  return bits;
}

unsigned preTreeExtraBits(unsigned symbol) { return symbol == 1 ? 4 : symbol == 2 ? 9 : 0; }

// ---------------------------------------------------------------------------
// Length arrays

void putPtLength(BitWriter& out, unsigned length) {
  if (length < 7) {
    out.put(length, 3);
    return;
  }
  out.put(7, 3);
  out.putRepeated(1, length - 7);
  out.put(0, 1);
}

void writePtLengths(BitWriter& out, const std::vector<uint8_t>& lengths, unsigned countBits,
                    int specialIndex) {
  out.put(static_cast<uint32_t>(lengths.size()), countBits);
  size_t i = 0;
  while (i < lengths.size()) {
    putPtLength(out, lengths[i]);
    ++i;
    if (specialIndex >= 0 && i == static_cast<size_t>(specialIndex)) {
      unsigned zeros = 0;
      while (zeros < 3 && i + zeros < lengths.size() && lengths[i + zeros] == 0) ++zeros;
      out.put(zeros, 2);
      i += zeros;
    }
  }
}

void writePtSingle(BitWriter& out, unsigned countBits, unsigned symbol) {
  out.put(0, countBits);
  out.put(symbol, countBits);
}

std::vector<PreTreeItem> preTreeItemsFor(const std::vector<uint8_t>& charLengths) {
  std::vector<PreTreeItem> items;
  size_t i = 0;
  while (i < charLengths.size()) {
    if (charLengths[i] != 0) {
      if (charLengths[i] > 16)
        throw std::invalid_argument("preTreeItemsFor: character length above 16");
      items.push_back(PreTreeItem{static_cast<uint8_t>(charLengths[i] + 2), 0});
      ++i;
      continue;
    }
    size_t run = 0;
    while (i + run < charLengths.size() && charLengths[i + run] == 0) ++run;
    i += run;
    while (run > 0) {
      if (run <= 2) {
        items.push_back(PreTreeItem{0, 0});
        run -= 1;
      } else if (run <= 18) {
        items.push_back(PreTreeItem{1, static_cast<uint16_t>(run - 3)});
        run = 0;
      } else if (run == 19) {
        items.push_back(PreTreeItem{0, 0});
        items.push_back(PreTreeItem{1, 15});
        run = 0;
      } else {
        const size_t take = std::min<size_t>(run, 531);
        items.push_back(PreTreeItem{2, static_cast<uint16_t>(take - 20)});
        run -= take;
      }
    }
  }
  return items;
}

void writeCharLengthItems(BitWriter& out, unsigned count, const std::vector<PreTreeItem>& items,
                          const std::vector<uint8_t>& preTreeLengths, int preTreeSingle) {
  out.put(count, 9);
  const std::vector<uint32_t> codes = canonicalCodes(preTreeLengths);
  for (const PreTreeItem& item : items) {
    if (preTreeSingle >= 0) {
      if (item.symbol != preTreeSingle)
        throw std::invalid_argument(
            "writeCharLengths: symbol differs from the single pre-tree symbol");
    } else {
      if (item.symbol >= preTreeLengths.size() || preTreeLengths[item.symbol] == 0)
        throw std::invalid_argument("writeCharLengths: pre-tree symbol without a code");
      out.put(codes[item.symbol], preTreeLengths[item.symbol]);
    }
    out.put(item.extra, preTreeExtraBits(item.symbol));
  }
}

void writeCharLengths(BitWriter& out, const std::vector<uint8_t>& charLengths,
                      const std::vector<uint8_t>& preTreeLengths, int preTreeSingle) {
  writeCharLengthItems(out, static_cast<unsigned>(charLengths.size()), preTreeItemsFor(charLengths),
                       preTreeLengths, preTreeSingle);
}

// ---------------------------------------------------------------------------
// Blocks

namespace {

std::vector<uint8_t> trimmed(std::vector<uint8_t> lengths) {
  while (!lengths.empty() && lengths.back() == 0) lengths.pop_back();
  return lengths;
}

CodeSpec codeForFrequencies(const std::vector<uint32_t>& freqs) {
  int usedSymbol = -1;
  size_t used = 0;
  for (size_t s = 0; s < freqs.size(); ++s) {
    if (freqs[s] != 0) {
      ++used;
      usedSymbol = static_cast<int>(s);
    }
  }
  if (used == 0) return CodeSpec::singleSymbol(0);
  if (used == 1) return CodeSpec::singleSymbol(usedSymbol);
  return CodeSpec::fromLengths(trimmed(buildCodeLengths(freqs, 16)));
}

// Writes `symbol` with a code: nothing for the single form, else its canonical code.
void putSymbol(BitWriter& out, const CodeSpec& code, const std::vector<uint32_t>& codes,
               unsigned symbol, const char* what) {
  if (code.single >= 0) {
    if (symbol != static_cast<unsigned>(code.single))
      throw std::invalid_argument(std::string("writeBlock: ") + what +
                                  " symbol differs from the single symbol");
    return;
  }
  if (symbol >= code.lengths.size() || code.lengths[symbol] == 0)
    throw std::invalid_argument(std::string("writeBlock: ") + what + " symbol " +
                                std::to_string(symbol) + " has no code");
  out.put(codes[symbol], code.lengths[symbol]);
}

CodeSpec charCodeFor(const std::vector<Token>& tokens) {
  std::vector<uint32_t> freqs(kCharSymbols, 0);
  for (const Token& t : tokens) ++freqs.at(t.symbol);
  return codeForFrequencies(freqs);
}

CodeSpec positionCodeFor(const std::vector<Token>& tokens, char methodChar) {
  const LhMethod m = lhMethod(methodChar);
  std::vector<uint32_t> freqs(m.positionSymbols, 0);
  for (const Token& t : tokens)
    if (t.symbol >= 256) ++freqs.at(positionSymbolOf(t.distanceField));
  return codeForFrequencies(freqs);
}

CodeSpec preTreeCodeFor(const CodeSpec& chars) {
  // The pre-tree is not used when the character code is sent in single form.
  if (chars.single >= 0) return CodeSpec::singleSymbol(0);
  std::vector<uint32_t> freqs(kPreTreeSymbols, 0);
  for (const PreTreeItem& item : preTreeItemsFor(chars.lengths)) ++freqs[item.symbol];
  return codeForFrequencies(freqs);
}

}  // namespace

void writeBlock(BitWriter& out, const BlockSpec& block, char methodChar) {
  const LhMethod m = lhMethod(methodChar);
  const CodeSpec chars = block.chars.empty() ? charCodeFor(block.tokens) : block.chars;
  const CodeSpec positions =
      block.positions.empty() ? positionCodeFor(block.tokens, methodChar) : block.positions;
  const CodeSpec preTree = block.preTree.empty() ? preTreeCodeFor(chars) : block.preTree;

  const long size = block.blockSize >= 0 ? block.blockSize : static_cast<long>(block.tokens.size());
  out.put(static_cast<uint32_t>(size) & 0xFFFFu, 16);

  if (preTree.single >= 0)
    writePtSingle(out, 5, static_cast<unsigned>(preTree.single));
  else
    writePtLengths(out, preTree.lengths, 5, 3);

  if (chars.single >= 0) {
    out.put(0, 9);
    out.put(static_cast<uint32_t>(chars.single), 9);
  } else {
    writeCharLengths(out, chars.lengths, preTree.lengths, preTree.single);
  }

  if (positions.single >= 0)
    writePtSingle(out, m.positionCountBits, static_cast<unsigned>(positions.single));
  else
    writePtLengths(out, positions.lengths, m.positionCountBits, -1);

  const std::vector<uint32_t> charCodes = canonicalCodes(chars.lengths);
  const std::vector<uint32_t> posCodes = canonicalCodes(positions.lengths);
  for (const Token& t : block.tokens) {
    putSymbol(out, chars, charCodes, t.symbol, "character");
    if (t.symbol < 256) continue;
    const unsigned p = positionSymbolOf(t.distanceField);
    putSymbol(out, positions, posCodes, p, "position");
    if (p > 1) out.put(t.distanceField - (uint32_t{1} << (p - 1)), p - 1);
  }
}

void writeBlocks(BitWriter& out, const std::vector<Token>& tokens, char methodChar,
                 size_t codesPerBlock) {
  if (codesPerBlock == 0 || codesPerBlock > 65536)
    throw std::invalid_argument("writeBlocks: codesPerBlock must be 1..65536");
  for (size_t start = 0; start < tokens.size(); start += codesPerBlock) {
    BlockSpec block;
    const size_t end = std::min(tokens.size(), start + codesPerBlock);
    block.tokens.assign(tokens.begin() + static_cast<std::ptrdiff_t>(start),
                        tokens.begin() + static_cast<std::ptrdiff_t>(end));
    writeBlock(out, block, methodChar);
  }
}

std::vector<uint8_t> expandTokens(const std::vector<Token>& tokens) {
  std::vector<uint8_t> out;
  for (const Token& t : tokens) {
    if (t.symbol < 256) {
      out.push_back(static_cast<uint8_t>(t.symbol));
      continue;
    }
    const size_t length = t.symbol - 253u;
    const size_t distance = size_t{t.distanceField} + 1;
    for (size_t k = 0; k < length; ++k) {
      const size_t pos = out.size();
      out.push_back(pos >= distance ? out[pos - distance] : uint8_t{0x20});
    }
  }
  return out;
}

}  // namespace testkit
