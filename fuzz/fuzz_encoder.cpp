// Our encoder through our decoder: data made from the input is compressed at
// the method and level the input picks, pushed in pieces of the size it
// picks, and must decode to exactly the same bytes with the CRC the encoder
// reported, consuming exactly the compressed data.
//
// Input layout:
//   byte 0  method: '5', '6' or '7' (value % 3); level: 1 + (value / 3) % 9
//   byte 1  how many times the data is repeated (1..256)
//   byte 2  the writes' piece size: 2^(value % 21) bytes
//   rest    the data
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "lzh/block_decoder.h"
#include "lzh/crc16.h"
#include "lzh/lzh_encoder.h"

namespace {

constexpr size_t MAX_DATA = 80 << 10;  // past the 64 KiB window

struct MemorySink final : LzhEncoderSink {
  std::vector<uint8_t> bytes;
  bool put(const uint8_t* data, size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
};

// One encoder and one decoder for every run, as an archiver keeps one for
// every member.
std::unique_ptr<LzhEncoder> encoder(new LzhEncoder());
std::unique_ptr<LzhBlockDecoder> decoder(new LzhBlockDecoder());

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < 3) return 0;
  const char method = "567"[input[0] % 3];
  const int level = 1 + (input[0] / 3) % 9;
  std::vector<uint8_t> data;
  for (unsigned copies = 1u + input[1]; copies > 0 && data.size() + size - 3 <= MAX_DATA; --copies)
    data.insert(data.end(), input + 3, input + size);
  const size_t piece = size_t{1} << (input[2] % 21);

  MemorySink sink;
  FUZZ_CHECK(encoder->begin(method, level, &sink), "begin");
  for (size_t at = 0; at < data.size(); at += piece)
    encoder->write(data.data() + at, std::min(piece, data.size() - at));
  FUZZ_CHECK(encoder->finish(), "finish");
  const std::vector<uint8_t>& stream = sink.bytes;
  const std::string what = std::string("method ") + method + " level " + std::to_string(level) +
                           ", " + std::to_string(data.size()) + " bytes in pieces of " +
                           std::to_string(piece);
  FUZZ_CHECK(encoder->inputSize() == data.size() && encoder->outputSize() == stream.size(), what);

  checkDecodesTo(*decoder, method, stream, data, encoder->crc(), what);
  return 0;
}
