#include "extract/output_sink.h"

#include "extract/abort_guard.h"
#include "lzh/block_decoder.h"
#include "lzh/crc16.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"

void writeOutput(const uint8_t* buffer, uint32_t count, FileHandle file) {
  if (file != PLATFORM_INVALID_FILE) {
    uint32_t written = 0;
    if (!platformWrite(file, buffer, count, &written) || written != count) {
      reportFileError(loadMessage(MSG_WRITE_ERROR), sfxState.currentPath);
      raiseAbort();
    }
    updateCrc(buffer, count);
    return;
  }
  // The notice's data is checked like any member's before it is shown.
  updateCrc(buffer, count);
  if (sfxState.noticeCaptured) return;
  // The notice text: at most 1023 bytes, ending at the first zero byte.
  uint32_t limit = count < MESSAGE_BUFFER_SIZE - 1 ? count : MESSAGE_BUFFER_SIZE - 1;
  uint32_t i = 0;
  for (; i < limit && buffer[i]; ++i) sfxState.messageBuffer[i] = static_cast<char>(buffer[i]);
  sfxState.messageBuffer[i] = 0;
  sfxState.noticeCaptured = 1;
}

void copyStored(uint64_t remaining) {
  sfxState.runningCrc = 0;
  uint8_t* transfer = lzhDecoder.slideWindow;  // idle while a stored member is copied
  while (static_cast<int64_t>(remaining) > 0) {
    uint32_t chunk = remaining > WINDOW_SIZE ? WINDOW_SIZE : static_cast<uint32_t>(remaining);
    uint32_t got = 0;
    if (!platformRead(sfxState.archiveFile, transfer, chunk, &got) || got != chunk) {
      reportFileError(loadMessage(MSG_READ_ERROR), sfxState.selfPath);
      raiseAbort();
    }
    writeOutput(transfer, chunk, sfxState.outputFile);
    if (sfxState.outputFile != PLATFORM_INVALID_FILE) {
      sfxState.progress.done += chunk;
      reportProgress(sfxState.progress.done, sfxState.progress.total);
    }
    remaining -= chunk;
  }
}

// Unsigned 64-bit division by shifting and subtracting: it runs once per
// 64 KiB of output, and spares the 32-bit stub the compiler's division
// routines with their unwind tables.
uint64_t divideU64(uint64_t dividend, uint64_t divisor) {
  uint64_t quotient = 0, remainder = 0;
  for (int bit = 63; bit >= 0; --bit) {
    const bool carry = (remainder >> 63) != 0;
    remainder = remainder << 1 | ((dividend >> bit) & 1);
    if (carry || remainder >= divisor) {
      remainder -= divisor;
      quotient |= uint64_t{1} << bit;
    }
  }
  return quotient;
}

unsigned progressPercent(uint64_t done, uint64_t total) {
  if (total == 0) return 0;
  // done * 100 would wrap for sizes beyond 2^64 / 100, which only a hostile
  // header can claim; divide first then.
  uint64_t percent = done <= UINT64_MAX / 100
                         ? divideU64(done * 100, total)
                         : divideU64(done, total >= 100 ? divideU64(total, 100) : 1);
  return percent > 100 ? 100 : static_cast<unsigned>(percent);
}

void reportProgress(uint64_t done, uint64_t total) {
  hostSendCommand(sfxState.mainWindow, CMD_PROGRESS, progressPercent(done, total));
  pumpMessages(sfxState.mainWindow);
  if (sfxState.cancelRequested == 1) raiseAbort();
}

void pumpMessages(HostWindow dialog) { hostPumpMessages(dialog); }
