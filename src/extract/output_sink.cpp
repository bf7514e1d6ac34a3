#include "extract/output_sink.h"

#include "extract/abort_guard.h"
#include "lzh/block_decoder.h"
#include "lzh/crc16.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"

namespace {

CrcTable crcTable;

// The one decoder of the process: a pass decodes one member at a time, and
// the stored copy borrows its window.
LzhBlockDecoder memberDecoder;
uint64_t memberCompressedSize;

enum SinkFailure { SINK_OK, SINK_WRITE_FAILED, SINK_CANCELLED };
SinkFailure sinkFailure;
uint64_t doneBeforeMember;

// writeOutput without the failure report: false when the write failed.
bool writeChunk(const uint8_t* buffer, uint32_t count, FileHandle file) {
  if (file != PLATFORM_INVALID_FILE) {
    uint32_t written = 0;
    if (!platformWrite(file, buffer, count, &written) || written != count) return false;
    updateCrc(buffer, count);
    return true;
  }
  // The notice's data is checked like any member's before it is shown.
  updateCrc(buffer, count);
  if (sfxState.noticeCaptured) return true;
  // The notice text: at most 1023 bytes, ending at the first zero byte.
  uint32_t limit = count < MESSAGE_BUFFER_SIZE - 1 ? count : MESSAGE_BUFFER_SIZE - 1;
  uint32_t i = 0;
  for (; i < limit && buffer[i]; ++i) sfxState.messageBuffer[i] = static_cast<char>(buffer[i]);
  sfxState.messageBuffer[i] = 0;
  sfxState.noticeCaptured = 1;
  return true;
}

// reportProgress without the abort: false when the user asked to cancel.
bool progressGoesOn(uint64_t done, uint64_t total) {
  hostSendCommand(sfxState.mainWindow, CMD_PROGRESS, progressPercent(done, total));
  pumpMessages(sfxState.mainWindow);
  return sfxState.cancelRequested != 1;
}

bool readArchive(void*, uint8_t* buffer, uint32_t count) {
  uint32_t got = 0;
  return platformRead(sfxState.archiveFile, buffer, count, &got) && got == count;
}

// Takes each window the decoder hands over: writes it, then reports the
// bytes produced so far (a match counts whole from the moment it is decoded).
bool writeDecoded(void*, const uint8_t* data, uint32_t count) {
  if (!writeChunk(data, count, sfxState.outputFile)) {
    sinkFailure = SINK_WRITE_FAILED;
    return false;
  }
  if (sfxState.outputFile == PLATFORM_INVALID_FILE) return true;
  sfxState.progress.done = doneBeforeMember + static_cast<uint64_t>(memberDecoder.producedCount);
  if (!progressGoesOn(sfxState.progress.done, sfxState.progress.total)) {
    sinkFailure = SINK_CANCELLED;
    return false;
  }
  return true;
}

}  // namespace

void makeCrcTable(uint16_t polynomial) { makeCrcTable(crcTable, polynomial); }

uint16_t updateCrc(const uint8_t* data, int64_t length) {
  if (length > 0)
    sfxState.runningCrc =
        updateCrc(crcTable, sfxState.runningCrc, data, static_cast<size_t>(length));
  return sfxState.runningCrc;
}

void beginMemberInput(uint64_t compressedSize) {
  memberCompressedSize = compressedSize;
  memberDecoder.input.compressedRemaining = compressedSize;
}

uint64_t unreadCompressedBytes() { return memberDecoder.input.compressedRemaining; }

void decodeMember() {
  // The message for each way of failing: none for success, and none for a
  // sink that stopped on a cancel.
  static const int STATUS_MESSAGES[] = {0, MSG_ARCHIVE_BROKEN, MSG_READ_ERROR, MSG_WRITE_ERROR};
  static const LzhSource source{readArchive, nullptr};
  static const LzhSink sink{writeDecoded, nullptr};
  sfxState.runningCrc = 0;
  sinkFailure = SINK_OK;
  doneBeforeMember = sfxState.progress.done;
  const LzhStatus status =
      memberDecoder.decodeMember(sfxState.entry.method, source, memberCompressedSize,
                                 static_cast<int64_t>(sfxState.entry.uncompressedSize), sink);
  sfxState.progress.done = doneBeforeMember + static_cast<uint64_t>(memberDecoder.producedCount);
  if (status == LZH_OK) return;
  if (status != LZH_STOPPED || sinkFailure == SINK_WRITE_FAILED)
    reportFileError(loadMessage(STATUS_MESSAGES[status]),
                    status == LZH_STOPPED ? sfxState.currentPath : sfxState.selfPath);
  raiseAbort();
}

void writeOutput(const uint8_t* buffer, uint32_t count, FileHandle file) {
  if (!writeChunk(buffer, count, file)) {
    reportFileError(loadMessage(MSG_WRITE_ERROR), sfxState.currentPath);
    raiseAbort();
  }
}

void copyStored(uint64_t remaining) {
  sfxState.runningCrc = 0;
  uint8_t* transfer = memberDecoder.window();  // idle while a stored member is copied
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

unsigned progressPercent(uint64_t done, uint64_t total) {
  if (total == 0) return 0;
  if (done >= total) return 100;
  // Both scaled down alike until the total has 24 bits: the product with 100
  // then fits in 32 bits, one machine division does (the 32-bit stub needs
  // no 64-bit division routine), and the percentage is exact below 16 MiB
  // and off by at most one above.
  while (total >> 24) {
    total >>= 1;
    done >>= 1;
  }
  return static_cast<uint32_t>(done) * 100u / static_cast<uint32_t>(total);
}

void reportProgress(uint64_t done, uint64_t total) {
  if (!progressGoesOn(done, total)) raiseAbort();
}

void pumpMessages(HostWindow dialog) { hostPumpMessages(dialog); }
