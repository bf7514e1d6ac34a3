// Compressed-data input: the member's compressed bytes arrive from a source
// in reads of up to 16 KiB, never beyond the member's data, and a bit reader
// keeps a machine word of look-ahead, most significant bit first, refilled
// several bytes at a time. Past the member's data the stream reads as zero
// bits, but only for a margin: a decoder that keeps consuming bits that do
// not exist is reading a broken archive.
#pragma once

#include <cstddef>
#include <cstdint>

// The outcome of decoding; the first failure sticks.
enum LzhStatus : int {
  LZH_OK = 0,
  LZH_BROKEN = 1,       // the stream is not a valid -lh4- to -lh7- stream
  LZH_READ_FAILED = 2,  // the source could not deliver the member's data
  LZH_STOPPED = 3,      // the sink asked to stop
};

struct LzhSource {
  // Reads exactly count bytes into buffer; false when that fails.
  bool (*read)(void* context, uint8_t* buffer, uint32_t count);
  void* context;
};

// The look-ahead: 64 bits where the machine has them, else 32 (LZH_WORD32
// asks for 32 anywhere, so that a 64-bit host can test what the 32-bit stub
// runs).
#if defined(LZH_WORD32) || UINTPTR_MAX == 0xFFFFFFFFu
using BitWord = uint32_t;
#else
using BitWord = uint64_t;
#endif
constexpr unsigned BIT_WORD_BITS = sizeof(BitWord) * 8;
// Bits a refill guarantees at least.
constexpr unsigned REFILL_BITS = BIT_WORD_BITS - 8;

constexpr uint32_t INPUT_BUFFER_SIZE = 16384;
// Zero bytes that may be fetched beyond the member's compressed data, counted
// the way a reader with a 16-bit look-ahead fetches them: a valid stream
// fetches at most three (the look-ahead plus a partial byte).
constexpr uint32_t INPUT_OVERRUN_MARGIN = 8;
// Bits that may be consumed beyond the member's data.
constexpr unsigned INPUT_OVERRUN_BITS = INPUT_OVERRUN_MARGIN * 8 - 16;
// Before the buffer's data: the unread tail of the previous read (fewer than
// a word's bytes). After it: zero bytes, so that a word load at the data's
// end stays inside the buffer and reads the zeros the stream continues with.
constexpr uint32_t INPUT_HEAD = 8;
constexpr uint32_t INPUT_PADDING = 32;
static_assert(INPUT_HEAD >= sizeof(BitWord), "the unread tail of a read fits in front of the next");
// A refill within the margin loads a word at most (INPUT_OVERRUN_BITS +
// BIT_WORD_BITS) / 8 bytes past the data's end.
static_assert(INPUT_PADDING >= (INPUT_OVERRUN_BITS + BIT_WORD_BITS) / 8 + sizeof(BitWord),
              "a word load within the overrun margin stays inside the padding");

struct BitInput {
  BitWord bitBuffer;             // the next bitCount bits of the stream, from the top bit
  unsigned bitCount;             // bits of bitBuffer that are valid
  const uint8_t* next;           // next byte of inputBuffer not yet wholly in bitBuffer
  const uint8_t* end;            // end of the member's data in inputBuffer
  uint64_t compressedRemaining;  // bytes of the member the source has not delivered
  LzhSource source;
  LzhStatus status;
  uint8_t inputBuffer[INPUT_HEAD + INPUT_BUFFER_SIZE + INPUT_PADDING];

  // Prepares the input for a member of compressedSize bytes that the source
  // delivers from its first byte.
  void beginInput(const LzhSource& from, uint64_t compressedSize);
  // Preloads the look-ahead (the first read of the member happens here).
  void startBitInput();

  // Records a failure; the first one stays.
  void fail(LzhStatus why) {
    if (status == LZH_OK) status = why;
  }

  // True while a word can be loaded from the member's data in the buffer.
  bool canLoadWord() const { return end - next >= static_cast<ptrdiff_t>(sizeof(BitWord)); }
  // Tops up bitBuffer to at least REFILL_BITS valid bits.
  void refill() {
    if (canLoadWord())
      loadWord();
    else
      refillSlow();
  }
  // Takes the next bytes of the buffer into bitBuffer; needs canLoadWord(),
  // or the zero padding behind the data.
  void loadWord() {
    bitBuffer |= wordAt(next) >> bitCount;
    next += (BIT_WORD_BITS - 1 - bitCount) >> 3;
    bitCount |= REFILL_BITS;
  }
  void refillSlow();

  // The next n bits (1..16) without consuming them; needs bitCount >= n.
  unsigned peekBits(unsigned n) const {
    return static_cast<unsigned>(bitBuffer >> (BIT_WORD_BITS - n));
  }
  // Drops n bits; needs bitCount >= n.
  void consume(unsigned n) {
    bitBuffer <<= n;
    bitCount -= n;
  }

  // Consumes n bits (up to 24).
  void fillBits(unsigned n) {
    if (bitCount < n) refill();
    consume(n);
  }
  // Reads an n-bit field (0..16).
  unsigned getBits(unsigned n) {
    if (n == 0) return 0;
    if (bitCount < n) refill();
    unsigned x = peekBits(n);
    consume(n);
    return x;
  }
  // The next 16 bits of the stream, not consumed.
  uint16_t lookahead16() {
    if (bitCount < 16) refill();
    return static_cast<uint16_t>(peekBits(16));
  }

  // False once more bits have been consumed past the member's data than the
  // margin allows.
  bool withinMargin() const;

  // The word at p, its first byte on top.
  static BitWord wordAt(const uint8_t* p);
};

inline BitWord BitInput::wordAt(const uint8_t* p) {
  BitWord word;
  __builtin_memcpy(&word, p, sizeof word);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if (sizeof word == 8)
    word = static_cast<BitWord>(__builtin_bswap64(word));
  else
    word = static_cast<BitWord>(__builtin_bswap32(static_cast<uint32_t>(word)));
#endif
  return word;
}
