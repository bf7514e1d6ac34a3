// The block decoder of -lh4- to -lh7- alone, on a raw compressed stream.
//
// Input layout:
//   byte 0    bits 0-1: method '4', '5', '6' or '7'
//             bit 2:    decode as the notice member (no output file: the text
//                       is captured) instead of into the null device
//             bit 3:    the header claims 48 bytes more compressed data than
//                       the file holds (a short read)
//   bytes 1-3 the uncompressed size, 20 bits little-endian (up to 1 MiB:
//             the window goes round 16 times)
//   rest      the compressed data
//
// The data is written to a file followed by 32 bytes that belong to the next
// member. Whatever the data, the decoder must stay inside its buffers, never
// read beyond the member's compressed data, and, when it returns normally,
// have produced the member's size and at most one match more.
#include <cstdint>
#include <cstring>
#include <string>

#include "extract/abort_guard.h"
#include "fuzz_support.h"
#include "lzh/bit_input.h"
#include "lzh/block_decoder.h"
#include "startup/sfx_state.h"

namespace {

constexpr size_t TRAILER_SIZE = 32;
constexpr uint64_t SHORT_READ_CLAIM = 48;
constexpr unsigned MAX_MATCH = 256;

std::string streamPath;
std::string scratch;

void decodeBody(unsigned long long) { decodeMember(); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  scratch = makeScratchDirectory("decoder");
  streamPath = scratch + "/stream";
  leakedDescriptors(scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const char method = "4567"[data[0] & 3];
  const bool notice = data[0] & 4;
  const bool shortRead = data[0] & 8;
  const uint64_t uncompressed = data[1] | data[2] << 8 | (data[3] & 0x0F) << 16;
  const uint8_t* stream = data + 4;
  const size_t streamSize = size - 4;

  std::vector<uint8_t> file(stream, stream + streamSize);
  file.insert(file.end(), TRAILER_SIZE, 0xA5);
  writeWholeFile(streamPath, file.data(), file.size());

  resetCoreState();
  std::strcpy(sfxState.selfPath, streamPath.c_str());
  sfxState.archiveFile = platformOpenRead(streamPath.c_str());
  FUZZ_CHECK(sfxState.archiveFile != PLATFORM_INVALID_FILE, streamPath);
  EntryHeader& entry = sfxState.entry;
  entry.method = method;
  entry.compressedSize = streamSize + (shortRead ? SHORT_READ_CLAIM : 0);
  entry.uncompressedSize = uncompressed;
  sfxState.outputFile = notice ? PLATFORM_INVALID_FILE : platformOpenNullSink();
  FUZZ_CHECK(notice || sfxState.outputFile != PLATFORM_INVALID_FILE, "null device");
  sfxState.noticeCaptured = 0;
  sfxState.progress.total = uncompressed;
  beginMemberInput(entry.compressedSize);

  const bool completed = runGuarded(decodeBody, 0);

  const int64_t position = filePosition(sfxState.archiveFile);
  FUZZ_CHECK(
      position >= 0 && static_cast<uint64_t>(position) <= entry.compressedSize,
      "read up to " + std::to_string(position) + " of " + std::to_string(entry.compressedSize));
  FUZZ_CHECK(unreadCompressedBytes() <= entry.compressedSize,
             "unread " + std::to_string(unreadCompressedBytes()));
  FUZZ_CHECK(std::memchr(sfxState.messageBuffer, 0, MESSAGE_BUFFER_SIZE) != nullptr,
             "message buffer unterminated");
  if (completed) {
    const int64_t produced = lzhDecoder.producedCount;
    const int64_t wanted = static_cast<int64_t>(uncompressed);
    FUZZ_CHECK(produced >= wanted && produced < wanted + (wanted ? MAX_MATCH : 1),
               "produced " + std::to_string(produced) + " for " + std::to_string(wanted));
    FUZZ_CHECK(sfxState.progress.done == static_cast<uint64_t>(produced),
               "progress " + std::to_string(sfxState.progress.done));
    if (notice) FUZZ_CHECK(sfxState.noticeCaptured == (wanted > 0), "notice capture");
  }

  platformClose(sfxState.archiveFile);
  if (sfxState.outputFile != PLATFORM_INVALID_FILE) platformClose(sfxState.outputFile);
  sfxState.archiveFile = sfxState.outputFile = PLATFORM_INVALID_FILE;
  const std::string leaked = leakedDescriptors(scratch);
  FUZZ_CHECK(leaked.empty(), "still open: " + leaked);
  return 0;
}
