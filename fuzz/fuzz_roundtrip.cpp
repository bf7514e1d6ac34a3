// Valid streams through the block decoder: data made from the input is
// compressed by the test kit's encoder and must decode to exactly the same
// bytes, with the data CRC the header would carry, consuming exactly the
// compressed data. The raw decoder target cannot tell right output from
// wrong; this one can, for every stream an encoder produces.
//
// Input layout:
//   byte 0  bits 0-1: method '4', '5', '6' or '7'; bit 2: literals only
//   byte 1  how many times the data is repeated (1..256), so that short
//           inputs still run the window round more than once
//   byte 2  codes per block: 1, 2, 7, 300, 16384 or 65536 (or more, so that
//           there are no more than about 128 blocks)
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
#include "support/lzh_writer.h"

namespace {

constexpr size_t MAX_DATA = 128 << 10;
constexpr size_t BLOCK_CODES[] = {1, 2, 7, 300, 16384, 65536};

std::unique_ptr<LzhBlockDecoder> decoder(new LzhBlockDecoder());

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < 3) return 0;
  const char method = "4567"[input[0] & 3];
  testkit::EncodeOptions options;
  options.useMatches = !(input[0] & 4);
  // Repeated data is the encoder's worst case; a short search keeps the runs
  // quick and still yields long matches.
  options.maxChain = 4;
  std::vector<uint8_t> data;
  for (unsigned copies = 1u + input[1]; copies > 0 && data.size() + size - 3 <= MAX_DATA; --copies)
    data.insert(data.end(), input + 3, input + size);
  // Every block costs three table builds: at most about 128 blocks a member.
  options.maxBlockCodes = std::max(
      BLOCK_CODES[input[2] % (sizeof BLOCK_CODES / sizeof BLOCK_CODES[0])], data.size() / 128);

  const std::vector<uint8_t> stream = testkit::encodeLh(method, data, options);
  const std::string what = std::string("method ") + method + ", " + std::to_string(data.size()) +
                           " bytes, " + std::to_string(options.maxBlockCodes) + " codes per block";
  checkDecodesTo(*decoder, method, stream, data, testkit::crc16(data), what);
  return 0;
}
