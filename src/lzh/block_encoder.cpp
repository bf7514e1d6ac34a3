#include "lzh/block_encoder.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "lzh/encoder_math.h"
#include "lzh/huffman_builder.h"

namespace {

constexpr int MAX_CODE_BITS = LZH_MAX_CODE_LENGTH;
constexpr int PRETREE_COUNT_BITS = LZH_PRETREE_COUNT_BITS;
constexpr int CHAR_COUNT_BITS = LZH_CHAR_COUNT_BITS;
constexpr int NO_SPECIAL_INDEX = -1;
// The lowest length limit tried for the character code.
constexpr int MIN_TRIED_LIMIT = 9;
// Room behind a full output chunk: one putBits call writes 4 bytes at most.
constexpr size_t OUTPUT_SLACK = 64;

// n * log2(n) for every count a block can hold, for the cost estimates.
const float* entropyTable() {
  static const std::unique_ptr<float[]> table = [] {
    std::unique_ptr<float[]> t(new float[LZH_MAX_BLOCK_CODES + 1]);
    t[0] = 0;
    for (uint32_t n = 1; n <= LZH_MAX_BLOCK_CODES; ++n)
      t[n] = static_cast<float>(n * encoderLog2(static_cast<double>(n)));
    return t;
  }();
  return table.get();
}

}  // namespace

LzhBlockEncoder::LzhBlockEncoder()
    : tokens_(new uint32_t[LZH_MAX_BLOCK_CODES + 1]),
      histograms_(new uint32_t[size_t{MAX_STEPS + 1} * HISTOGRAM_WIDTH]),
      output_(new uint8_t[OUTPUT_CHUNK + OUTPUT_SLACK]) {
  entropyTable();
}

void LzhBlockEncoder::begin(int positionSymbols, int positionCountBits, uint32_t splitCodes,
                            LzhEncoderSink* sink, uint64_t outputLimit) {
  positionSymbols_ = positionSymbols;
  positionCountBits_ = positionCountBits;
  splitCodes_ = std::max<uint32_t>(splitCodes / FINE_CODES, 1) * FINE_CODES;
  sink_ = sink;
  outputLimit_ = outputLimit;
  outputTotal_ = 0;
  outPos_ = 0;
  bitBuffer_ = 0;
  bitCount_ = 0;
  count_ = 0;
  sinkFailed_ = limitReached_ = false;
  // A first guess before any block: 8-bit literals, cheap short matches.
  for (int s = 0; s < 256; ++s) costs_.charBits[s] = 8;
  for (int s = 256; s < LZH_CHAR_SYMBOLS; ++s) costs_.charBits[s] = s < 256 + 8 ? 6 : 9;
  for (int j = 0; j < LZH_MAX_POSITION_SYMBOLS; ++j)
    costs_.positionBits[j] = static_cast<uint8_t>(4 + (j > 1 ? j - 1 : 0));
}

void LzhBlockEncoder::guessLiteralCosts(const uint8_t* data, size_t size) {
  uint32_t counts[256] = {};
  for (size_t i = 0; i < size; ++i) ++counts[data[i]];
  for (int b = 0; b < 256; ++b) {
    // One bit more than the byte's share: matches take part of the code.
    const double bits =
        counts[b] ? encoderLog2(static_cast<double>(size) / counts[b]) + 1.0 : MAX_CODE_BITS - 4;
    costs_.charBits[b] = static_cast<uint8_t>(std::clamp(bits + 0.5, 1.0, 16.0));
  }
}

void LzhBlockEncoder::finish() {
  if (stopped()) {  // nothing more goes out
    count_ = 0;
    outPos_ = 0;
    bitCount_ = 0;
    return;
  }
  flushTokens(true);
  // The last partial byte, padded with zero bits.
  while (bitCount_ > 0) {
    const unsigned take = bitCount_ >= 8 ? 8 : bitCount_;
    bitCount_ -= take;
    output_[outPos_++] = static_cast<uint8_t>((bitBuffer_ >> bitCount_) << (8 - take));
  }
  bitBuffer_ = 0;
  flushOutput();
}

void LzhBlockEncoder::flushOutput() {
  if (outPos_ == 0) return;
  if (!stopped()) {
    if (outputTotal_ + outPos_ > outputLimit_)
      limitReached_ = true;
    else if (!sink_->put(output_.get(), outPos_))
      sinkFailed_ = true;
  }
  outputTotal_ += outPos_;
  outPos_ = 0;
}

// Estimated bits of one block made of the steps [first, last): the
// entropy of its two codes plus a rough price for sending their lengths.
// Extra bits of positions are the same however blocks are cut and left out.
float LzhBlockEncoder::blockCost(uint32_t first, uint32_t last) const {
  const float* nlogn = entropyTable();
  const uint32_t* a = histograms_.get() + size_t{first} * HISTOGRAM_WIDTH;
  const uint32_t* b = histograms_.get() + size_t{last} * HISTOGRAM_WIDTH;
  float sum = 0;
  uint32_t total = 0, used = 0;
  for (int s = 0; s < LZH_CHAR_SYMBOLS; ++s) {
    const uint32_t f = b[s] - a[s];
    if (f) {
      sum += nlogn[f];
      total += f;
      ++used;
    }
  }
  float bits = nlogn[total] - sum + 3.0f * static_cast<float>(used);
  sum = 0;
  total = 0;
  used = 0;
  for (int j = 0; j < positionSymbols_; ++j) {
    const uint32_t f = b[LZH_CHAR_SYMBOLS + j] - a[LZH_CHAR_SYMBOLS + j];
    if (f) {
      sum += nlogn[f];
      total += f;
      ++used;
    }
  }
  return bits + nlogn[total] - sum + 3.0f * static_cast<float>(used) + 80.0f;
}

// Chooses where blocks end by their estimated costs: first the cheapest cut
// at multiples of splitCodes_ tokens, then each end moved to the best place
// nearby at a finer step. Unless the input has ended, the last block stays
// behind: the tokens that come next may belong to it.
void LzhBlockEncoder::flushTokens(bool final) {
  const uint32_t n = count_;
  if (n == 0) return;
  const uint32_t steps = (n + FINE_CODES - 1) / FINE_CODES;
  const uint32_t coarse = splitCodes_ / FINE_CODES;
  // Tokens between two step numbers.
  auto tokensIn = [&](uint32_t from, uint32_t to) {
    return std::min(n, to * FINE_CODES) - from * FINE_CODES;
  };

  uint32_t* rows = histograms_.get();
  std::memset(rows, 0, sizeof(uint32_t) * HISTOGRAM_WIDTH);
  for (uint32_t k = 0; k < steps; ++k) {
    uint32_t* row = rows + size_t{k + 1} * HISTOGRAM_WIDTH;
    std::memcpy(row, row - HISTOGRAM_WIDTH, sizeof(uint32_t) * HISTOGRAM_WIDTH);
    const uint32_t end = std::min(n, (k + 1) * FINE_CODES);
    for (uint32_t t = k * FINE_CODES; t < end; ++t) {
      const uint32_t token = tokens_[t];
      const uint32_t symbol = token >> 16;
      ++row[symbol];
      if (symbol >= 256) ++row[LZH_CHAR_SYMBOLS + positionSymbolOf(token & 0xFFFF)];
    }
  }

  // The coarse cut: block ends at the points 0, coarse, 2 coarse, ..., steps.
  const uint32_t points = (steps + coarse - 1) / coarse;
  auto stepOf = [&](uint32_t point) { return std::min(steps, point * coarse); };
  float best[MAX_STEPS + 1];
  uint16_t from[MAX_STEPS + 1];
  best[0] = 0;
  for (uint32_t j = 1; j <= points; ++j) {
    best[j] = std::numeric_limits<float>::infinity();
    for (uint32_t i = 0; i < j; ++i) {
      if (tokensIn(stepOf(i), stepOf(j)) > LZH_MAX_BLOCK_CODES) continue;
      const float cost = best[i] + blockCost(stepOf(i), stepOf(j));
      if (cost < best[j]) {
        best[j] = cost;
        from[j] = static_cast<uint16_t>(i);
      }
    }
  }
  uint16_t ends[MAX_STEPS + 1];
  int blocks = 0;
  for (uint32_t j = points; j > 0; j = from[j]) ends[blocks++] = static_cast<uint16_t>(stepOf(j));
  std::reverse(ends, ends + blocks);

  // Each end between two blocks moves to the cheapest step within a coarse
  // step either way.
  for (int b = 0; b + 1 < blocks; ++b) {
    const uint32_t first = b ? ends[b - 1] : 0, middle = ends[b], last = ends[b + 1];
    const uint32_t lo = std::max(first + 1, middle > coarse ? middle - coarse + 1 : 1);
    const uint32_t hi = std::min(last - 1, middle + coarse - 1);
    float least = blockCost(first, middle) + blockCost(middle, last);
    for (uint32_t x = lo; x <= hi; ++x) {
      if (x == middle || tokensIn(first, x) > LZH_MAX_BLOCK_CODES ||
          tokensIn(x, last) > LZH_MAX_BLOCK_CODES)
        continue;
      const float cost = blockCost(first, x) + blockCost(x, last);
      if (cost < least) {
        least = cost;
        ends[b] = static_cast<uint16_t>(x);
      }
    }
  }

  const int written = (final || blocks == 1) ? blocks : blocks - 1;
  uint32_t start = 0;
  uint32_t histogram[HISTOGRAM_WIDTH];
  for (int b = 0; b < written; ++b) {
    const uint32_t first = b ? ends[b - 1] : 0, last = ends[b];
    const uint32_t* lo = rows + size_t{first} * HISTOGRAM_WIDTH;
    const uint32_t* hi = rows + size_t{last} * HISTOGRAM_WIDTH;
    for (int s = 0; s < HISTOGRAM_WIDTH; ++s) histogram[s] = hi[s] - lo[s];
    const uint32_t count = tokensIn(first, last);
    writeBlock(tokens_.get() + start, count, histogram);
    start += count;
  }
  count_ = n - start;
  std::memmove(tokens_.get(), tokens_.get() + start, sizeof(uint32_t) * count_);
}

namespace {

// Bits of a pre-tree's lengths as writePtLengths sends them.
uint32_t ptLengthsBits(const uint8_t* lengths, int symbolCount, int countBits, int specialIndex) {
  int n = symbolCount;
  while (n > 0 && lengths[n - 1] == 0) --n;
  uint32_t bits = static_cast<uint32_t>(countBits);
  for (int i = 0; i < n;) {
    const uint32_t length = lengths[i++];
    bits += length <= 6 ? 3 : length - 3;
    if (i == specialIndex) {
      int zeros = 0;
      while (zeros < 3 && i + zeros < n && lengths[i + zeros] == 0) ++zeros;
      bits += 2;
      i += zeros;
    }
  }
  return bits;
}

}  // namespace

// The character code's lengths as pre-tree items: a length L as symbol
// L + 2, runs of zero lengths as symbols 0 (one), 1 (3 to 18, 4 more bits)
// and 2 (20 to 531, 9 more bits); then the pre-tree for them and the bits
// all of it takes.
void LzhBlockEncoder::planCharLengths(const uint8_t* lengths, CharLengthsPlan& plan) {
  int n = LZH_CHAR_SYMBOLS;
  while (n > 0 && lengths[n - 1] == 0) --n;
  plan.count = n;
  plan.items = 0;
  uint32_t frequencies[LZH_PRETREE_SYMBOLS] = {};
  uint32_t extraBits = 0;
  auto item = [&](int symbol, int extra) {
    plan.symbols[plan.items] = static_cast<uint8_t>(symbol);
    plan.extras[plan.items++] = static_cast<uint16_t>(extra);
    ++frequencies[symbol];
    extraBits += symbol == 1 ? 4 : symbol == 2 ? 9 : 0;
  };
  for (int i = 0; i < n;) {
    if (lengths[i] != 0) {
      item(lengths[i++] + 2, 0);
      continue;
    }
    int run = 0;
    while (i < n && lengths[i] == 0) ++i, ++run;
    if (run <= 2) {
      while (run-- > 0) item(0, 0);
    } else if (run <= 18) {
      item(1, run - 3);
    } else if (run == 19) {
      item(0, 0);
      item(1, 15);
    } else {
      item(2, run - 20);
    }
  }
  plan.preTreeUsed =
      buildHuffmanLengths(frequencies, LZH_PRETREE_SYMBOLS, MAX_CODE_BITS, plan.preTreeLengths);
  uint32_t bits = CHAR_COUNT_BITS + extraBits;
  if (plan.preTreeUsed < 2) {
    bits += 2 * PRETREE_COUNT_BITS;
  } else {
    bits += ptLengthsBits(plan.preTreeLengths, LZH_PRETREE_SYMBOLS, PRETREE_COUNT_BITS,
                          LZH_PRETREE_SPECIAL_INDEX);
    for (int s = 0; s < LZH_PRETREE_SYMBOLS; ++s) bits += frequencies[s] * plan.preTreeLengths[s];
  }
  plan.bits = bits;
}

void LzhBlockEncoder::writeBlock(const uint32_t* tokens, uint32_t count,
                                 const uint32_t* histogram) {
  uint8_t charLengths[LZH_CHAR_SYMBOLS];
  uint16_t charCodes[LZH_CHAR_SYMBOLS];
  uint8_t positionLengths[LZH_MAX_POSITION_SYMBOLS];
  uint16_t positionCodes[LZH_MAX_POSITION_SYMBOLS];
  const uint32_t* positionHistogram = histogram + LZH_CHAR_SYMBOLS;
  HuffmanShape shape;
  const int charsUsed = shape.build(histogram, LZH_CHAR_SYMBOLS);
  shape.lengths(MAX_CODE_BITS, charLengths);
  CharLengthsPlan plan;
  if (charsUsed >= 2) {
    // The lengths are sent too: a lower limit can make them cheaper to send
    // by more than it costs the codes (mostly in small blocks). The
    // cheapest total wins.
    planCharLengths(charLengths, plan);
    auto codeBits = [&](const uint8_t* lengths) {
      uint32_t bits = 0;
      for (int s = 0; s < LZH_CHAR_SYMBOLS; ++s) bits += histogram[s] * lengths[s];
      return bits;
    };
    uint32_t least = plan.bits + codeBits(charLengths);
    uint8_t trialLengths[LZH_CHAR_SYMBOLS];
    CharLengthsPlan trial;
    for (int limit = MAX_CODE_BITS - 1; limit >= MIN_TRIED_LIMIT && (1 << limit) >= charsUsed;
         --limit) {
      shape.lengths(limit, trialLengths);
      planCharLengths(trialLengths, trial);
      const uint32_t bits = trial.bits + codeBits(trialLengths);
      if (bits < least) {
        least = bits;
        plan = trial;
        std::memcpy(charLengths, trialLengths, sizeof charLengths);
      }
    }
  }
  const int positionsUsed =
      buildHuffmanLengths(positionHistogram, positionSymbols_, MAX_CODE_BITS, positionLengths);
  buildCanonicalCodes(charLengths, LZH_CHAR_SYMBOLS, charCodes);
  buildCanonicalCodes(positionLengths, positionSymbols_, positionCodes);

  putBits(count, LZH_BLOCK_SIZE_BITS);
  if (charsUsed < 2) {
    // One character symbol: an empty pre-tree, then the symbol itself.
    uint32_t only = 0;
    while (histogram[only] == 0) ++only;
    putBits(0, PRETREE_COUNT_BITS);
    putBits(0, PRETREE_COUNT_BITS);
    putBits(0, CHAR_COUNT_BITS);
    putBits(only, CHAR_COUNT_BITS);
  } else {
    writeCharLengths(plan);
  }
  if (positionsUsed < 2) {
    // No match or a single position symbol (then it costs no bits).
    uint32_t only = 0;
    while (only + 1 < static_cast<uint32_t>(positionSymbols_) && positionHistogram[only] == 0)
      ++only;
    putBits(0, positionCountBits_);
    putBits(positionsUsed ? only : 0, positionCountBits_);
  } else {
    writePtLengths(positionLengths, positionSymbols_, positionCountBits_, NO_SPECIAL_INDEX);
  }

  for (uint32_t t = 0; t < count; ++t) {
    const uint32_t token = tokens[t];
    const uint32_t symbol = token >> 16;
    if (symbol < 256) {
      putBits(charCodes[symbol], charLengths[symbol]);
    } else {
      const uint32_t field = token & 0xFFFF;
      const uint32_t j = positionSymbolOf(field);
      putBits((static_cast<uint32_t>(charCodes[symbol]) << positionLengths[j]) | positionCodes[j],
              charLengths[symbol] + positionLengths[j]);
      if (j > 1) putBits(field & ((1u << (j - 1)) - 1), j - 1);
    }
  }
  updateCosts(charLengths, positionLengths);
}

void LzhBlockEncoder::writeCharLengths(const CharLengthsPlan& plan) {
  uint16_t ptCodes[LZH_PRETREE_SYMBOLS];
  buildCanonicalCodes(plan.preTreeLengths, LZH_PRETREE_SYMBOLS, ptCodes);
  if (plan.preTreeUsed < 2) {
    putBits(0, PRETREE_COUNT_BITS);
    putBits(plan.symbols[0], PRETREE_COUNT_BITS);
  } else {
    writePtLengths(plan.preTreeLengths, LZH_PRETREE_SYMBOLS, PRETREE_COUNT_BITS,
                   LZH_PRETREE_SPECIAL_INDEX);
  }
  putBits(static_cast<uint32_t>(plan.count), CHAR_COUNT_BITS);
  for (int k = 0; k < plan.items; ++k) {
    const int symbol = plan.symbols[k];
    putBits(ptCodes[symbol], plan.preTreeLengths[symbol]);
    if (symbol == 1) putBits(plan.extras[k], 4);
    if (symbol == 2) putBits(plan.extras[k], 9);
  }
}

// Lengths of the pre-tree or position code: 0..6 in three bits, 7 and more as
// three 1 bits, one more 1 bit per unit above 7 and a closing 0. After the
// third length of the pre-tree, two bits say how many zero lengths follow.
void LzhBlockEncoder::writePtLengths(const uint8_t* lengths, int symbolCount, int countBits,
                                     int specialIndex) {
  int n = symbolCount;
  while (n > 0 && lengths[n - 1] == 0) --n;
  putBits(static_cast<uint32_t>(n), countBits);
  for (int i = 0; i < n;) {
    const uint32_t length = lengths[i++];
    if (length <= 6) {
      putBits(length, 3);
    } else {
      const uint32_t ones = length - 7;
      putBits(7, 3);
      putBits(((1u << ones) - 1) << 1, ones + 1);
    }
    if (i == specialIndex) {
      int zeros = 0;
      while (zeros < 3 && i + zeros < n && lengths[i + zeros] == 0) ++zeros;
      putBits(static_cast<uint32_t>(zeros), 2);
      i += zeros;
    }
  }
}

void LzhBlockEncoder::updateCosts(const uint8_t* charLengths, const uint8_t* positionLengths) {
  // Unused symbols: a little longer than the longest code in use.
  uint8_t longest = 0;
  for (int s = 0; s < LZH_CHAR_SYMBOLS; ++s) longest = std::max(longest, charLengths[s]);
  const uint8_t unusedChar = static_cast<uint8_t>(std::min(longest + 2, MAX_CODE_BITS));
  for (int s = 0; s < LZH_CHAR_SYMBOLS; ++s)
    costs_.charBits[s] = charLengths[s] ? charLengths[s] : unusedChar;
  longest = 0;
  const int positionSymbols = std::min(positionSymbols_, LZH_MAX_POSITION_SYMBOLS);
  for (int j = 0; j < positionSymbols; ++j) longest = std::max(longest, positionLengths[j]);
  const uint8_t unusedPosition = static_cast<uint8_t>(std::min(longest + 2, MAX_CODE_BITS));
  for (int j = 0; j < positionSymbols; ++j) {
    const int extra = j > 1 ? j - 1 : 0;
    costs_.positionBits[j] =
        static_cast<uint8_t>((positionLengths[j] ? positionLengths[j] : unusedPosition) + extra);
  }
}
