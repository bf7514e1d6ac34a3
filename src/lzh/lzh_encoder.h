// The LZH encoder: -lh5-, -lh6- and -lh7- member data from a stream of
// input, in bounded memory whatever the member's size.
//
//   LzhEncoder encoder;                    // allocates once; reuse it
//   encoder.begin('7', LZH_DEFAULT_LEVEL, &sink, inputSize - 1);
//   while (...) encoder.write(chunk, n);   // any chunking, same output
//   encoder.finish();
//   encoder.crc(), encoder.inputSize(), encoder.outputSize()
//
// Compressed bytes go to the sink in pieces of up to 64 KiB. With an output
// limit (typically the input size minus one), the encoder stops as soon as
// its output grows past it: outputLimitReached() then tells the caller to
// store the member instead; the bytes already handed over are to be
// discarded. The input's CRC-16 is computed on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "lzh/encoder_sink.h"

constexpr int LZH_MIN_LEVEL = 1;
constexpr int LZH_MAX_LEVEL = 9;
constexpr int LZH_DEFAULT_LEVEL = 5;

class LzhEncoder {
 public:
  LzhEncoder();
  ~LzhEncoder();
  LzhEncoder(const LzhEncoder&) = delete;
  LzhEncoder& operator=(const LzhEncoder&) = delete;

  // Starts a member with method '5', '6' or '7' (false for anything else).
  // Levels outside 1..9 are taken as the nearest one. Levels 1 and 2 parse
  // greedily, 3 to 6 lazily (hash chains), 7 to 9 by cost (binary trees).
  bool begin(char method, int level, LzhEncoderSink* sink, uint64_t outputLimit = UINT64_MAX);

  // Takes input. Returns false once the encoder has stopped (sink refused,
  // output limit passed) or when no member was begun.
  bool write(const void* data, size_t size);

  // Encodes what is left and hands the last bytes to the sink. True when
  // the whole member's data went to the sink.
  bool finish();

  bool outputLimitReached() const;
  bool sinkFailed() const;

  uint64_t inputSize() const;
  uint64_t outputSize() const;
  uint16_t crc() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};
