// Length-limited Huffman codes of the encoder: complete, within the limit,
// shorter codes for more frequent symbols, and the canonical values the
// decoder derives from the lengths.
#include "lzh/huffman_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/lzh_writer.h"

namespace {

struct Case {
  std::string name;
  std::vector<uint32_t> frequencies;
};

std::vector<Case> cases() {
  std::vector<Case> out;
  // Fibonacci frequencies make the deepest unlimited trees: 30 of them
  // would need codes of 29 bits.
  std::vector<uint32_t> fibonacci = {1, 1};
  while (fibonacci.size() < 30) fibonacci.push_back(fibonacci.end()[-1] + fibonacci.end()[-2]);
  out.push_back({"fibonacci 30", fibonacci});
  std::vector<uint32_t> pretree(fibonacci.begin(), fibonacci.begin() + 19);
  out.push_back({"fibonacci pre-tree", pretree});
  // A character code's worth of symbols, most rare, a few very common.
  std::mt19937 random(5);
  std::vector<uint32_t> skewed(510);
  for (auto& f : skewed)
    f = random() % 4 == 0 ? 0 : 1 + (random() % 1000 == 0 ? 60000 : random() % 3);
  out.push_back({"skewed 510", skewed});
  std::vector<uint32_t> flat(510, 7);
  out.push_back({"flat 510", flat});
  out.push_back({"two", {0, 5, 0, 9}});
  return out;
}

TEST(HuffmanBuilderTest, CompleteCodesWithinTheLimitShorterForFrequentSymbols) {
  for (const Case& c : cases()) {
    for (int limit : {16, 12}) {
      SCOPED_TRACE(c.name + " limited to " + std::to_string(limit));
      const int n = static_cast<int>(c.frequencies.size());
      std::vector<uint8_t> lengths(n, 0xEE);
      const int used = buildHuffmanLengths(c.frequencies.data(), n, limit, lengths.data());
      EXPECT_EQ(used, std::count_if(c.frequencies.begin(), c.frequencies.end(),
                                    [](uint32_t f) { return f != 0; }));
      uint64_t kraft = 0;  // in units of 2^-limit
      for (int s = 0; s < n; ++s) {
        EXPECT_EQ(lengths[s] == 0, c.frequencies[s] == 0) << "symbol " << s;
        EXPECT_LE(lengths[s], limit);
        if (lengths[s]) kraft += uint64_t{1} << (limit - lengths[s]);
        for (int t = 0; t < n; ++t) {
          if (c.frequencies[t] && c.frequencies[s] > c.frequencies[t]) {
            EXPECT_LE(lengths[s], lengths[t]) << "symbols " << s << " and " << t;
          }
        }
      }
      EXPECT_EQ(kraft, uint64_t{1} << limit) << "not a complete code";
      // The canonical values are the ones the decoder assigns.
      std::vector<uint16_t> codes(n);
      buildCanonicalCodes(lengths.data(), n, codes.data());
      const std::vector<uint32_t> expected = testkit::canonicalCodes(lengths);
      for (int s = 0; s < n; ++s) EXPECT_EQ(codes[s], expected[s]) << "symbol " << s;
    }
  }
}

TEST(HuffmanBuilderTest, NoCodeForOneSymbolOrNone) {
  const uint32_t one[] = {0, 0, 42, 0};
  const uint32_t none[] = {0, 0, 0, 0};
  uint8_t lengths[4];
  EXPECT_EQ(buildHuffmanLengths(one, 4, 16, lengths), 1);
  EXPECT_EQ(std::count(lengths, lengths + 4, 0), 4);
  EXPECT_EQ(buildHuffmanLengths(none, 4, 16, lengths), 0);
  EXPECT_EQ(std::count(lengths, lengths + 4, 0), 4);
}

}  // namespace
