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
#include <string>
#include <vector>

#include "extract/abort_guard.h"
#include "fuzz_support.h"
#include "lzh/bit_input.h"
#include "lzh/block_decoder.h"
#include "lzh/crc16.h"
#include "lzh/lzh_encoder.h"
#include "startup/sfx_state.h"

namespace {

constexpr size_t MAX_DATA = 80 << 10;  // past the 64 KiB window

std::string streamPath;
std::string outputPath;
LzhEncoder* encoder;

struct MemorySink final : LzhSink {
  std::vector<uint8_t> bytes;
  bool put(const uint8_t* data, size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
};

void decodeBody(unsigned long long) { decodeMember(); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string scratch = makeScratchDirectory("encoder");
  streamPath = scratch + "/stream";
  outputPath = scratch + "/output";
  makeCrcTable(CRC16_POLYNOMIAL);
  // One encoder for every run, as an archiver keeps one for every member.
  encoder = new LzhEncoder;
  return 0;
}

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

  // The next member's header follows the data in a real archive.
  std::vector<uint8_t> file = stream;
  file.insert(file.end(), 16, 0x5A);
  writeWholeFile(streamPath, file.data(), file.size());

  resetCoreState();
  std::strcpy(sfxState.selfPath, streamPath.c_str());
  std::strcpy(sfxState.currentPath, outputPath.c_str());
  sfxState.archiveFile = platformOpenRead(streamPath.c_str());
  sfxState.outputFile = platformCreateOutput(outputPath.c_str());
  FUZZ_CHECK(
      sfxState.archiveFile != PLATFORM_INVALID_FILE && sfxState.outputFile != PLATFORM_INVALID_FILE,
      "scratch files");
  sfxState.entry.method = method;
  sfxState.entry.compressedSize = stream.size();
  sfxState.entry.uncompressedSize = data.size();
  sfxState.progress.total = data.size();
  beginMemberInput(stream.size());

  const bool completed = runGuarded(decodeBody, 0);
  const uint64_t unread = unreadCompressedBytes();
  platformClose(sfxState.archiveFile);
  platformClose(sfxState.outputFile);
  sfxState.archiveFile = sfxState.outputFile = PLATFORM_INVALID_FILE;

  FUZZ_CHECK(completed, what + ": decoding failed");
  FUZZ_CHECK(unread == 0, what + ": " + std::to_string(unread) + " compressed bytes left unread");
  const std::vector<uint8_t> output = readWholeFile(outputPath);
  FUZZ_CHECK(output.size() == data.size(),
             what + ": " + std::to_string(output.size()) + " bytes out");
  if (output != data) {
    size_t at = 0;
    while (output[at] == data[at]) ++at;
    fuzzFailure("decoded data differs", what + ", first at byte " + std::to_string(at));
  }
  FUZZ_CHECK(sfxState.runningCrc == encoder->crc(), what + ": data CRC");
  return 0;
}
