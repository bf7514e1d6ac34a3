// Valid streams through the block decoder, of the shapes our encoder never
// makes: the input is read as literals and matches, which the test kit
// writes as blocks of the size the input picks (down to one code, where all
// three codes take the single-symbol form) with the codes it builds for
// each block. They must decode to exactly the bytes the tokens stand for,
// with their CRC, consuming exactly the stream. fuzz_encoder does the same
// for the streams of our encoder.
//
// Input layout:
//   byte 0  bits 0-1: method '4', '5', '6' or '7'
//   byte 1  how many times the tokens are repeated (1..256), so that short
//           inputs still run the window round more than once
//   byte 2  codes per block: 1, 2, 7, 300, 16384 or 65536 (or more, so that
//           there are no more than about 128 blocks)
//   rest    the tokens: a byte below 0xF0 is a literal; 0xF0 to 0xFF starts
//           a match whose length is 3 + the next byte % 254 and whose distance is
//           1 + the two bytes after it (big-endian) within the window; a
//           distance may reach before the member's start, which reads spaces
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "lzh/block_decoder.h"
#include "support/lzh_writer.h"

namespace {

constexpr size_t MAX_DATA = 128 << 10;
constexpr size_t BLOCK_CODES[] = {1, 2, 7, 300, 16384, 65536};

std::unique_ptr<LzhBlockDecoder> decoder(new LzhBlockDecoder());

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < 3) return 0;
  const char method = "4567"[input[0] & 3];
  const uint32_t window = testkit::lhMethod(method).maxDistanceField + 1;
  std::vector<testkit::Token> script;
  size_t scriptBytes = 0;
  for (size_t at = 3; at < size; ++at) {
    if (input[at] < 0xF0 || at + 3 >= size) {
      script.push_back(testkit::Token::literal(input[at]));
      ++scriptBytes;
      continue;
    }
    const unsigned length = 3u + input[at + 1] % 254u;
    const uint32_t distance = 1 + ((uint32_t{input[at + 2]} << 8) | input[at + 3]) % window;
    script.push_back(testkit::Token::match(length, distance));
    scriptBytes += length;
    at += 3;
  }
  std::vector<testkit::Token> tokens;
  size_t dataSize = 0;
  for (unsigned copies = 1u + input[1]; copies > 0 && dataSize + scriptBytes <= MAX_DATA;
       --copies) {
    tokens.insert(tokens.end(), script.begin(), script.end());
    dataSize += scriptBytes;
  }
  // Every block costs three table builds: at most about 128 blocks a member.
  const size_t codesPerBlock = std::min<size_t>(
      65536, std::max(BLOCK_CODES[input[2] % (sizeof BLOCK_CODES / sizeof BLOCK_CODES[0])],
                      tokens.size() / 128));

  testkit::BitWriter out;
  testkit::writeBlocks(out, tokens, method, codesPerBlock);
  const std::vector<uint8_t> data = testkit::expandTokens(tokens);
  const std::string what = std::string("method ") + method + ", " + std::to_string(data.size()) +
                           " bytes, " + std::to_string(codesPerBlock) + " codes per block";
  checkDecodesTo(*decoder, method, out.bytes(), data, testkit::crc16(data), what);
  return 0;
}
