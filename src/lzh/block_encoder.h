// The block layer of the encoder: collects the literals and matches of the
// parser, chooses where blocks end by their estimated cost, writes each block
// of the -lh5- to -lh7- format (its three Huffman codes, then its codes) most
// significant bit first, and hands the bytes to the sink 64 KiB at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "lzh/encoder_sink.h"
#include "lzh/lzh_format.h"

constexpr uint32_t LZH_MAX_BLOCK_CODES = 65535;

// Bits a symbol cost in the last block written, for the parser's choices:
// the character code's length per symbol, and per position symbol its code
// length plus its extra bits. Symbols the block did not use get a guess.
struct LzhCostModel {
  uint8_t charBits[LZH_CHAR_SYMBOLS];
  uint8_t positionBits[LZH_MAX_POSITION_SYMBOLS];
};

// Position symbol of a distance field (distance - 1): 0 for 0, else its bit
// length.
inline uint32_t positionSymbolOf(uint32_t distanceField) {
  return distanceField ? 32 - static_cast<uint32_t>(__builtin_clz(distanceField)) : 0;
}

class LzhBlockEncoder {
 public:
  LzhBlockEncoder();

  // Starts a member. splitCodes is the step of the first, coarse choice of
  // block ends, in codes.
  void begin(int positionSymbols, int positionCountBits, uint32_t splitCodes, LzhEncoderSink* sink,
             uint64_t outputLimit);

  void literal(uint8_t byte) {
    tokens_[count_++] = static_cast<uint32_t>(byte) << 16;
    if (count_ == LZH_MAX_BLOCK_CODES) flushTokens(false);
  }
  // length 3..256, distance 1..65535.
  void match(uint32_t length, uint32_t distance) {
    tokens_[count_++] = ((length + LZH_MATCH_LENGTH_OFFSET) << 16) | (distance - 1);
    if (count_ == LZH_MAX_BLOCK_CODES) flushTokens(false);
  }

  // Writes everything still held, completes the last byte and hands the rest
  // to the sink.
  void finish();

  // True once the sink refused bytes or the output passed the limit; what
  // follows is then dropped.
  bool stopped() const { return sinkFailed_ || limitReached_; }
  bool sinkFailed() const { return sinkFailed_; }
  bool limitReached() const { return limitReached_; }
  // Bytes produced so far (handed over or waiting in the buffer).
  uint64_t outputSize() const { return outputTotal_ + outPos_; }

  const LzhCostModel& costs() const { return costs_; }
  // Before the first block: literal prices from the bytes about to be
  // parsed, instead of a flat guess.
  void guessLiteralCosts(const uint8_t* data, size_t size);

 private:
  static constexpr size_t OUTPUT_CHUNK = 65536;
  static constexpr int HISTOGRAM_WIDTH = LZH_CHAR_SYMBOLS + LZH_MAX_POSITION_SYMBOLS + 1;
  // Blocks end at multiples of this many tokens.
  static constexpr uint32_t FINE_CODES = 256;
  static constexpr uint32_t MAX_STEPS = LZH_MAX_BLOCK_CODES / FINE_CODES + 1;

  struct CharLengthsPlan {
    int count;  // lengths sent: trailing zeros are left out
    int items;
    uint8_t symbols[LZH_CHAR_SYMBOLS];
    uint16_t extras[LZH_CHAR_SYMBOLS];
    uint8_t preTreeLengths[LZH_PRETREE_SYMBOLS];
    int preTreeUsed;
    uint32_t bits;
  };

  void flushTokens(bool final);
  float blockCost(uint32_t first, uint32_t last) const;
  void writeBlock(const uint32_t* tokens, uint32_t count, const uint32_t* histogram);
  static void planCharLengths(const uint8_t* lengths, CharLengthsPlan& plan);
  void writeCharLengths(const CharLengthsPlan& plan);
  void writePtLengths(const uint8_t* lengths, int symbolCount, int countBits, int specialIndex);
  void updateCosts(const uint8_t* charLengths, const uint8_t* positionLengths);
  void flushOutput();

  void putBits(uint32_t value, unsigned count) {
    bitBuffer_ = (bitBuffer_ << count) | value;
    bitCount_ += count;
    if (bitCount_ >= 32) {
      bitCount_ -= 32;
      const uint32_t word = static_cast<uint32_t>(bitBuffer_ >> bitCount_);
      uint8_t* out = output_.get() + outPos_;
      out[0] = static_cast<uint8_t>(word >> 24);
      out[1] = static_cast<uint8_t>(word >> 16);
      out[2] = static_cast<uint8_t>(word >> 8);
      out[3] = static_cast<uint8_t>(word);
      outPos_ += 4;
      if (outPos_ >= OUTPUT_CHUNK) flushOutput();
    }
  }

  std::unique_ptr<uint32_t[]> tokens_;  // symbol << 16 | distance field
  uint32_t count_ = 0;
  // Running histograms at every multiple of FINE_CODES tokens.
  std::unique_ptr<uint32_t[]> histograms_;
  uint32_t splitCodes_ = 4096;
  int positionSymbols_ = 14;
  int positionCountBits_ = 4;

  std::unique_ptr<uint8_t[]> output_;
  size_t outPos_ = 0;
  uint64_t bitBuffer_ = 0;
  unsigned bitCount_ = 0;
  uint64_t outputTotal_ = 0;
  uint64_t outputLimit_ = 0;
  LzhEncoderSink* sink_ = nullptr;
  bool sinkFailed_ = false;
  bool limitReached_ = false;

  LzhCostModel costs_;
};
