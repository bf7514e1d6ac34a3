// The block decoder of -lh4- to -lh7- alone, on a raw compressed stream, with
// a source and a sink of its own.
//
// Input layout:
//   byte 0    bits 0-1: method '4', '5', '6' or '7'
//             bit 2:    the sink asks to stop when it is handed the second
//                       window
//             bit 3:    the member claims 48 bytes more compressed data than
//                       the source holds (a short read)
//   bytes 1-3 the uncompressed size, 20 bits little-endian (up to 1 MiB:
//             the window goes round 16 times)
//   rest      the compressed data
//
// Whatever the data, the decoder must stay inside its buffers, ask the
// source for no byte beyond the member's compressed data and in reads of at
// most 16 KiB, hand the sink whole windows but for the last piece, fail
// only in the ways the set-up allows, and, when it succeeds, have produced
// the member's size and at most one match more.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "lzh/block_decoder.h"

namespace {

constexpr uint64_t SHORT_READ_CLAIM = 48;
constexpr unsigned MAX_MATCH = 256;

struct Source {
  const uint8_t* data;
  size_t size;
  uint64_t delivered;
  unsigned reads;
};

bool readSource(void* context, uint8_t* buffer, uint32_t count) {
  auto* s = static_cast<Source*>(context);
  FUZZ_CHECK(count > 0 && count <= INPUT_BUFFER_SIZE, "read of " + std::to_string(count));
  ++s->reads;
  if (s->size - s->delivered < count) return false;
  std::memcpy(buffer, s->data + s->delivered, count);
  s->delivered += count;
  return true;
}

struct Sink {
  const LzhBlockDecoder* decoder;
  bool stopAtSecond;
  unsigned writes;
  uint64_t received;
  bool lastWasShort;
};

bool writeSink(void* context, const uint8_t* data, uint32_t count) {
  auto* s = static_cast<Sink*>(context);
  FUZZ_CHECK(data == s->decoder->slideWindow + WINDOW_SIZE, "hands over the window");
  FUZZ_CHECK(count > 0 && count <= WINDOW_SIZE, "write of " + std::to_string(count));
  FUZZ_CHECK(!s->lastWasShort, "a write after a partial window");
  s->lastWasShort = count < WINDOW_SIZE;
  s->received += count;
  FUZZ_CHECK(s->received <= static_cast<uint64_t>(s->decoder->producedCount),
             "handed over more than produced");
  return !(s->stopAtSecond && ++s->writes == 2);
}

// Plain data, far too large for the stack.
std::unique_ptr<LzhBlockDecoder> decoder(new LzhBlockDecoder());

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const char method = "4567"[data[0] & 3];
  const bool stopAtSecond = data[0] & 4;
  const bool shortRead = data[0] & 8;
  const int64_t wanted = data[1] | data[2] << 8 | (data[3] & 0x0F) << 16;
  Source source{data + 4, size - 4, 0, 0};
  const uint64_t compressedSize = source.size + (shortRead ? SHORT_READ_CLAIM : 0);
  Sink sink{decoder.get(), stopAtSecond, 0, 0, false};

  const LzhStatus status = decoder->decodeMember(method, LzhSource{readSource, &source},
                                                 compressedSize, wanted, LzhSink{writeSink, &sink});

  FUZZ_CHECK(source.delivered <= source.size, "delivered " + std::to_string(source.delivered));
  FUZZ_CHECK(decoder->input.compressedRemaining == compressedSize - source.delivered ||
                 status == LZH_READ_FAILED,
             "remaining " + std::to_string(decoder->input.compressedRemaining));
  switch (status) {
    case LZH_OK: {
      const int64_t produced = decoder->producedCount;
      FUZZ_CHECK(produced >= wanted && produced < wanted + (wanted ? MAX_MATCH : 1),
                 "produced " + std::to_string(produced) + " for " + std::to_string(wanted));
      // A last match that runs past the size is cut: exactly the size.
      FUZZ_CHECK(sink.received == static_cast<uint64_t>(wanted),
                 "handed over " + std::to_string(sink.received));
      break;
    }
    case LZH_BROKEN:
      break;
    case LZH_READ_FAILED:
      FUZZ_CHECK(shortRead, "read failure without a short source");
      break;
    case LZH_STOPPED:
      FUZZ_CHECK(stopAtSecond && sink.writes == 2, "stopped without the sink asking");
      break;
    default:
      fuzzFailure("unknown status", std::to_string(status));
  }
  return 0;
}
