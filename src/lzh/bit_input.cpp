#include "lzh/bit_input.h"

#include <cstring>

void BitInput::beginInput(const LzhSource& from, uint64_t compressedSize) {
  source = from;
  compressedRemaining = compressedSize;
  status = LZH_OK;
  bitBuffer = 0;
  bitCount = 0;
  // Nothing buffered: the first refill reads from the member's first byte,
  // whatever an earlier member left in the buffer.
  next = end = inputBuffer + INPUT_HEAD;
  std::memset(inputBuffer + INPUT_HEAD, 0, INPUT_PADDING);
}

void BitInput::startBitInput() {
  bitBuffer = 0;
  bitCount = 0;
  refill();
}

// Near the end of the buffered data: read the member's next chunk behind the
// unread tail, or, when the member has no more data, go on into the zero
// padding as long as the margin allows.
void BitInput::refillSlow() {
  if (compressedRemaining != 0 && status == LZH_OK) {
    const size_t tail = static_cast<size_t>(end - next);
    uint8_t* chunk = inputBuffer + INPUT_HEAD;
    std::memmove(chunk - tail, next, tail);
    const uint32_t want = compressedRemaining < INPUT_BUFFER_SIZE
                              ? static_cast<uint32_t>(compressedRemaining)
                              : INPUT_BUFFER_SIZE;
    next = chunk - tail;
    if (source.read(source.context, chunk, want)) {
      compressedRemaining -= want;
      end = chunk + want;
    } else {
      // Whatever the read left there is not the stream: the tail is all
      // there is, and zeros follow it.
      fail(LZH_READ_FAILED);
      end = chunk;
    }
    std::memset(const_cast<uint8_t*>(end), 0, INPUT_PADDING);
    if (canLoadWord()) {
      refill();
      return;
    }
  }
  if (!withinMargin()) {
    fail(LZH_BROKEN);
    // Stay put: bits are still handed out, but no longer taken from memory.
    bitCount = BIT_WORD_BITS - 1;
    return;
  }
  // Within the margin a word load at next stays inside the padding: next
  // lies at most (INPUT_OVERRUN_BITS + BIT_WORD_BITS) / 8 bytes past end.
  loadWord();
}

bool BitInput::withinMargin() const {
  if (compressedRemaining != 0 && status == LZH_OK) return true;
  // Bits consumed beyond the end of the member's data (negative: before it).
  const ptrdiff_t beyond = (next - end) * 8 - static_cast<ptrdiff_t>(bitCount);
  return beyond <= static_cast<ptrdiff_t>(INPUT_OVERRUN_BITS);
}
