#include "lzh/lzh_encoder.h"

#include <algorithm>
#include <cstring>

#include "lzh/block_encoder.h"
#include "lzh/crc16.h"
#include "lzh/encoder_math.h"
#include "lzh/lz_match_finder.h"

namespace {

enum class Strategy { Greedy, Lazy, Optimal };

struct LevelParameters {
  Strategy strategy;
  uint16_t depth;        // chain links or tree nodes visited per search
  uint16_t nice;         // a match this long ends the search
  uint8_t lookAhead;     // lazy: positions looked at past a match (1 or 2)
  uint16_t lazyBelow;    // lazy: look ahead only after shorter matches
  uint16_t goodLength;   // lazy: after a match this long, look ahead less deeply
  uint16_t insertBelow;  // greedy: inside longer matches positions are not entered
  uint8_t passes;        // by cost: parses per chunk, each priced by the one before
  uint16_t splitCodes;   // first choice of block ends at multiples of this many codes
};

constexpr LevelParameters LEVELS[LZH_MAX_LEVEL + 1] = {
    {Strategy::Greedy, 0, 0, 0, 0, 0, 0, 0, 0},  // no level 0
    {Strategy::Greedy, 4, 16, 0, 0, 0, 16, 0, 2048},
    {Strategy::Greedy, 8, 32, 0, 0, 0, 32, 0, 2048},
    {Strategy::Lazy, 8, 32, 1, 16, 8, 0, 0, 2048},
    {Strategy::Lazy, 16, 64, 2, 32, 16, 0, 0, 2048},
    {Strategy::Lazy, 32, 128, 2, 64, 32, 0, 0, 2048},
    {Strategy::Lazy, 128, 256, 2, 128, 64, 0, 0, 1024},
    {Strategy::Optimal, 16, 48, 0, 0, 0, 0, 1, 1024},
    {Strategy::Optimal, 32, 96, 0, 0, 0, 0, 2, 1024},
    {Strategy::Optimal, 96, 256, 0, 0, 0, 0, 3, 1024},
};

// The input buffer: the last 64 KiB already encoded (the matches' history)
// and up to 1 MiB waiting. Work starts when it is full, so the output does
// not depend on how the caller cuts the input.
constexpr size_t HISTORY = 65536;
constexpr size_t BUFFER_SIZE = HISTORY + (size_t{1} << 20);
// Zero bytes behind the data: word loads near the end stay inside.
constexpr size_t BUFFER_PADDING = 16;
// Bytes that must follow a position before it is parsed, until the input
// ends: the longest match, the lazy look-ahead and a word load.
constexpr size_t LOOKAHEAD = LZ_MAX_MATCH + 16;

// Absolute positions start here and are lowered again above REBASE_ABOVE;
// each member starts more than 64 KiB above the end of the one before.
constexpr uint32_t FIRST_BASE = 1u << 17;
constexpr uint32_t REBASE_ABOVE = 0xC0000000u;

constexpr uint32_t OPTIMAL_CHUNK = 65536;
constexpr uint32_t MATCHES_PER_POSITION = 16;
constexpr uint32_t COST_SCALE = 16;  // costs in 1/16 bit while parsing by cost
constexpr uint32_t LITERAL_CHOICE = 1u << 16;

uint32_t log2Floor(uint32_t v) { return 31 - static_cast<uint32_t>(__builtin_clz(v)); }

// Prices of the cost-driven parse, and its working arrays for one chunk.
struct OptimalParser {
  std::unique_ptr<LzMatch[]> matches{new LzMatch[size_t{OPTIMAL_CHUNK} * MATCHES_PER_POSITION]};
  std::unique_ptr<uint8_t[]> matchCounts{new uint8_t[OPTIMAL_CHUNK]};
  std::unique_ptr<uint32_t[]> cost{new uint32_t[OPTIMAL_CHUNK + 1]};
  std::unique_ptr<uint32_t[]> choice{new uint32_t[OPTIMAL_CHUNK + 1]};  // length << 16 | distance
  uint32_t literalCost[256];
  uint32_t lengthCost[LZ_MAX_MATCH + 1];
  uint32_t positionCost[LZH_MAX_POSITION_SYMBOLS];
  bool haveModel = false;

  // A first guess for a member's first chunk: literals priced by their
  // frequency in it (one bit more: matches take part of the code), matches
  // by rough sizes of their codes.
  void guessModel(const uint8_t* data, uint32_t n) {
    uint32_t counts[256] = {};
    for (uint32_t i = 0; i < n; ++i) ++counts[data[i]];
    for (int b = 0; b < 256; ++b) {
      const double bits = counts[b] ? encoderLog2(static_cast<double>(n) / counts[b]) + 1.0 : 15.0;
      literalCost[b] = static_cast<uint32_t>(std::clamp(bits, 1.0, 15.0) * COST_SCALE);
    }
    for (uint32_t len = LZ_MIN_MATCH; len <= LZ_MAX_MATCH; ++len)
      lengthCost[len] = static_cast<uint32_t>((6.0 + encoderLog2(len - 2.0)) * COST_SCALE);
    for (uint32_t j = 0; j < LZH_MAX_POSITION_SYMBOLS; ++j)
      positionCost[j] = (4 + (j > 1 ? j - 1 : 0)) * COST_SCALE;
    haveModel = true;
  }

  // Prices from the chosen path's own statistics: log2(total / frequency)
  // bits, with half a count added to every symbol so that the ones the path
  // did not use stay possible at a high price. (Huffman lengths as prices
  // shut such symbols out for good and make every further pass worse.)
  void modelFromPath(const uint8_t* data, uint32_t n, int positionSymbols) {
    uint32_t charFrequencies[LZH_CHAR_SYMBOLS] = {};
    uint32_t positionFrequencies[LZH_MAX_POSITION_SYMBOLS] = {};
    uint32_t chars = 0, positions = 0;
    for (uint32_t i = 0; i < n; ++chars) {
      const uint32_t c = choice[i];
      const uint32_t len = c >> 16;
      if (len == 1) {
        ++charFrequencies[data[i]];
      } else {
        ++charFrequencies[len + LZH_MATCH_LENGTH_OFFSET];
        ++positionFrequencies[positionSymbolOf((c & 0xFFFF) - 1)];
        ++positions;
      }
      i += len;
    }
    const double charTotal = chars + 0.5 * LZH_CHAR_SYMBOLS;
    const double positionTotal = positions + 0.5 * positionSymbols;
    for (int b = 0; b < 256; ++b) literalCost[b] = price(charTotal, charFrequencies[b]);
    for (uint32_t len = LZ_MIN_MATCH; len <= LZ_MAX_MATCH; ++len)
      lengthCost[len] = price(charTotal, charFrequencies[len + LZH_MATCH_LENGTH_OFFSET]);
    for (int j = 0; j < positionSymbols; ++j)
      positionCost[j] =
          price(positionTotal, positionFrequencies[j]) + (j > 1 ? j - 1 : 0) * COST_SCALE;
    haveModel = true;
  }

  static uint32_t price(double total, uint32_t frequency) {
    const double bits = std::clamp(encoderLog2(total / (frequency + 0.5)), 1.0, 16.0);
    return static_cast<uint32_t>(bits * COST_SCALE + 0.5);
  }

  // The cheapest way through the chunk, from its end backwards: choice[i]
  // is the step taken at i.
  void findPath(const uint8_t* data, uint32_t n) {
    uint32_t* c = cost.get();
    uint32_t* step = choice.get();
    c[n] = 0;
    for (uint32_t i = n; i-- > 0;) {
      uint32_t best = c[i + 1] + literalCost[data[i]];
      uint32_t bestChoice = LITERAL_CHOICE;
      const uint32_t count = matchCounts[i];
      if (count) {
        const LzMatch* m = matches.get() + size_t{i} * MATCHES_PER_POSITION;
        const uint32_t room = n - i;
        uint32_t len = LZ_MIN_MATCH;
        for (uint32_t k = 0; k < count; ++k) {
          const uint32_t longest = std::min<uint32_t>(m[k].length, room);
          const uint32_t distance = m[k].distance;
          const uint32_t positionPrice = positionCost[positionSymbolOf(distance - 1)];
          for (; len <= longest; ++len) {
            const uint32_t total = c[i + len] + lengthCost[len] + positionPrice;
            if (total < best) {
              best = total;
              bestChoice = (len << 16) | distance;
            }
          }
        }
      }
      c[i] = best;
      step[i] = bestChoice;
    }
  }
};

}  // namespace

struct LzhEncoder::State {
  std::unique_ptr<uint8_t[]> buffer;
  size_t cur = 0;  // next position to parse (buffer index)
  size_t end = 0;  // end of the data in the buffer
  uint32_t base = FIRST_BASE;
  uint32_t nextBase = FIRST_BASE;
  uint64_t inputTotal = 0;
  uint16_t crc = 0;
  bool active = false;
  bool firstParse = true;  // nothing of the member parsed yet

  LevelParameters params = LEVELS[LZH_DEFAULT_LEVEL];
  uint32_t maxDistance = 0;
  int positionSymbols = 0;

  std::unique_ptr<HashChainFinder> chains;
  std::unique_ptr<BinaryTreeFinder> tree;
  std::unique_ptr<OptimalParser> optimal;
  LzhBlockEncoder blocks;

  State() : buffer(new uint8_t[BUFFER_SIZE + BUFFER_PADDING]()) {}

  void rebase(uint32_t delta) {
    if (chains) chains->rebase(delta);
    if (tree) tree->rebase(delta);
    base -= delta;
  }

  void slide() {
    const size_t keepFrom = cur > HISTORY ? cur - HISTORY : 0;
    if (keepFrom == 0) return;
    std::memmove(buffer.get(), buffer.get() + keepFrom, end - keepFrom);
    std::memset(buffer.get() + end - keepFrom, 0, BUFFER_PADDING);
    base += static_cast<uint32_t>(keepFrom);
    cur -= keepFrom;
    end -= keepFrom;
    if (base > REBASE_ABOVE) rebase(base - FIRST_BASE);
  }

  void parse(bool final) {
    const size_t limit = final ? end : (end > LOOKAHEAD ? end - LOOKAHEAD : 0);
    if (cur >= limit) return;
    if (firstParse && params.strategy != Strategy::Optimal)
      blocks.guessLiteralCosts(buffer.get(), end);
    firstParse = false;
    switch (params.strategy) {
      case Strategy::Greedy:
        parseChains<false>(limit);
        break;
      case Strategy::Lazy:
        parseChains<true>(limit);
        break;
      case Strategy::Optimal:
        parseOptimal(limit, final);
        break;
    }
  }

  // Whether a short match beats its bytes as literals at the last block's
  // prices. Matches of 6 bytes and more always do.
  bool worthwhile(uint32_t length, uint32_t distance, const uint8_t* p) const {
    if (length >= 6) return true;
    const LzhCostModel& c = blocks.costs();
    const uint32_t matchBits = c.charBits[length + LZH_MATCH_LENGTH_OFFSET] +
                               c.positionBits[positionSymbolOf(distance - 1)];
    uint32_t literalBits = 0;
    for (uint32_t k = 0; k < length; ++k) literalBits += c.charBits[p[k]];
    return matchBits <= literalBits;
  }

  // Whether literals and then the match `ahead` positions further on are
  // better than the match here: each byte more is worth about four doublings
  // of the distance, and skipping two bytes needs a clearer gain than one.
  static bool preferLater(uint32_t length, uint32_t distance, uint32_t laterLength,
                          uint32_t laterDistance, int ahead) {
    const int gain = 4 * (static_cast<int>(laterLength) - static_cast<int>(length)) +
                     static_cast<int>(log2Floor(distance)) -
                     static_cast<int>(log2Floor(laterDistance));
    return gain > (ahead == 1 ? 2 : 6);
  }

  template <bool Lazy>
  void parseChains(size_t limit) {
    HashChainFinder& finder = *chains;
    const uint8_t* data = buffer.get();
    const LevelParameters p = params;
    // The longest match at i (0 when under 3 bytes), entering i in the chains.
    auto search = [&](size_t i, uint32_t depth, uint32_t* distance) {
      const uint32_t maxLength = static_cast<uint32_t>(std::min<size_t>(LZ_MAX_MATCH, end - i));
      return finder.find(data + i, base + static_cast<uint32_t>(i), maxLength,
                         std::min<uint32_t>(p.nice, maxLength), depth, maxDistance, distance);
    };
    size_t i = cur;
    while (i < limit) {
      if (end - i < 4) {  // the last bytes of the input
        blocks.literal(data[i++]);
        continue;
      }
      uint32_t distance = 0;
      uint32_t length = search(i, p.depth, &distance);
      if (length < LZ_MIN_MATCH || !worthwhile(length, distance, data + i)) {
        blocks.literal(data[i++]);
        continue;
      }
      size_t entered = i + 1;  // first position of the match not yet in the chains
      if (Lazy) {
        // Look one and then two positions further for a better match; move
        // there (sending literals) as long as one is found.
        for (int ahead = 1; length < p.lazyBelow && ahead <= p.lookAhead;) {
          const size_t later = i + ahead;
          if (later >= limit || end - later < 4) break;
          uint32_t laterDistance = 0;
          const uint32_t laterLength =
              search(later, length >= p.goodLength ? p.depth / 4 + 1 : p.depth, &laterDistance);
          entered = later + 1;
          if (laterLength >= LZ_MIN_MATCH &&
              preferLater(length, distance, laterLength, laterDistance, ahead) &&
              worthwhile(laterLength, laterDistance, data + later)) {
            while (i < later) blocks.literal(data[i++]);
            length = laterLength;
            distance = laterDistance;
            ahead = 1;
          } else {
            ++ahead;
          }
        }
      }
      blocks.match(length, distance);
      const size_t matchEnd = i + length;
      if (Lazy || length <= p.insertBelow) {
        const size_t stop = std::min(matchEnd, end - 3);
        for (size_t k = entered; k < stop; ++k)
          finder.insert(data + k, base + static_cast<uint32_t>(k));
      }
      i = matchEnd;
    }
    cur = i;
  }

  // Chunks of 64 KiB: every match of every position first, then the
  // cheapest path through them, priced by the previous chunk (or a guess)
  // and repriced by itself as often as the level says.
  void parseOptimal(size_t limit, bool final) {
    BinaryTreeFinder& finder = *tree;
    OptimalParser& o = *optimal;
    const LevelParameters p = params;
    while (cur < limit) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(OPTIMAL_CHUNK, limit - cur));
      if (!final && n < OPTIMAL_CHUNK) return;
      const uint8_t* data = buffer.get() + cur;
      const uint32_t pos = base + static_cast<uint32_t>(cur);
      for (uint32_t i = 0; i < n;) {
        const size_t avail = end - (cur + i);
        if (avail < 4) {
          o.matchCounts[i++] = 0;
          continue;
        }
        uint32_t maxLength = static_cast<uint32_t>(std::min<size_t>(LZ_MAX_MATCH, avail));
        uint32_t nice = std::min<uint32_t>(p.nice, maxLength);
        LzMatch* out = o.matches.get() + size_t{i} * MATCHES_PER_POSITION;
        const uint32_t count = finder.advance<true>(data + i, pos + i, maxLength, nice, p.depth,
                                                    maxDistance, out, MATCHES_PER_POSITION);
        o.matchCounts[i++] = static_cast<uint8_t>(count);
        if (count == 0 || out[count - 1].length < nice) continue;
        // A long match: the positions inside it only enter the tree.
        const uint32_t stop = std::min<uint32_t>(i - 1 + out[count - 1].length, n);
        for (; i < stop; ++i) {
          o.matchCounts[i] = 0;
          const size_t left = end - (cur + i);
          if (left < 4) continue;
          maxLength = static_cast<uint32_t>(std::min<size_t>(LZ_MAX_MATCH, left));
          nice = std::min<uint32_t>(p.nice, maxLength);
          finder.advance<false>(data + i, pos + i, maxLength, nice, p.depth, maxDistance, nullptr,
                                0);
        }
      }
      int passes = p.passes;
      if (!o.haveModel) {
        o.guessModel(data, n);
        ++passes;
      }
      for (int pass = 0; pass < passes; ++pass) {
        o.findPath(data, n);
        o.modelFromPath(data, n, positionSymbols);
      }
      for (uint32_t i = 0; i < n;) {
        const uint32_t c = o.choice[i];
        const uint32_t len = c >> 16;
        if (len == 1)
          blocks.literal(data[i]);
        else
          blocks.match(len, c & 0xFFFF);
        i += len;
      }
      cur += n;
      if (blocks.stopped()) return;
    }
  }
};

LzhEncoder::LzhEncoder() : state_(new State) {}
LzhEncoder::~LzhEncoder() = default;

bool LzhEncoder::begin(char method, int level, LzhEncoderSink* sink, uint64_t outputLimit) {
  State& s = *state_;
  // A member left unfinished still used its positions.
  if (s.active) s.nextBase = s.base + static_cast<uint32_t>(s.end + HISTORY + 1);
  s.active = false;
  if (method != '5' && method != '6' && method != '7') return false;
  // A writer needs only the position symbols that reach its dictionary (for
  // -lh6- one fewer than readers take); the match finder's ring holds one
  // byte less than the largest.
  const LzhMethodParameters parameters = lzhMethodParameters(method);
  s.maxDistance = std::min<uint32_t>(1u << parameters.dictionaryBits, LZ_MAX_DISTANCE);
  s.positionSymbols = parameters.dictionaryBits + 1;
  const int positionCountBits = parameters.positionCountBits;
  s.params = LEVELS[std::clamp(level, LZH_MIN_LEVEL, LZH_MAX_LEVEL)];
  if (s.params.strategy == Strategy::Optimal) {
    if (!s.tree) s.tree.reset(new BinaryTreeFinder);
    if (!s.optimal) s.optimal.reset(new OptimalParser);
    s.optimal->haveModel = false;
  } else if (!s.chains) {
    s.chains.reset(new HashChainFinder);
  }
  s.base = s.nextBase;
  if (s.base > REBASE_ABOVE) s.rebase(s.base - FIRST_BASE);
  s.cur = s.end = 0;
  s.firstParse = true;
  std::memset(s.buffer.get(), 0, BUFFER_PADDING);
  s.inputTotal = 0;
  s.crc = 0;
  s.active = true;
  s.blocks.begin(s.positionSymbols, positionCountBits, s.params.splitCodes, sink, outputLimit);
  return true;
}

bool LzhEncoder::write(const void* data, size_t size) {
  State& s = *state_;
  if (!s.active || s.blocks.stopped()) return false;
  const uint8_t* in = static_cast<const uint8_t*>(data);
  while (size > 0) {
    if (s.end == BUFFER_SIZE) {
      s.parse(false);
      if (s.blocks.stopped()) return false;
      s.slide();
    }
    const size_t n = std::min(size, BUFFER_SIZE - s.end);
    std::memcpy(s.buffer.get() + s.end, in, n);
    s.crc = crc16Update(s.crc, in, n);
    s.end += n;
    s.inputTotal += n;
    in += n;
    size -= n;
  }
  return true;
}

bool LzhEncoder::finish() {
  State& s = *state_;
  if (!s.active) return false;
  s.active = false;
  if (!s.blocks.stopped()) {
    std::memset(s.buffer.get() + s.end, 0, BUFFER_PADDING);
    s.parse(true);
  }
  s.blocks.finish();
  s.nextBase = s.base + static_cast<uint32_t>(s.end + HISTORY + 1);
  return !s.blocks.stopped();
}

bool LzhEncoder::outputLimitReached() const { return state_->blocks.limitReached(); }
bool LzhEncoder::sinkFailed() const { return state_->blocks.sinkFailed(); }
uint64_t LzhEncoder::inputSize() const { return state_->inputTotal; }
uint64_t LzhEncoder::outputSize() const { return state_->blocks.outputSize(); }
uint16_t LzhEncoder::crc() const { return state_->crc; }
