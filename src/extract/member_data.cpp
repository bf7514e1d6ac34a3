#include "extract/member_data.h"

#include "extract/output_sink.h"
#include "extract/progress.h"
#include "lzh/block_decoder.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"

namespace {

// The one decoder of the process: a pass decodes one member at a time, and
// the stored copy borrows its window.
LzhBlockDecoder memberDecoder;
uint64_t memberCompressedSize;

uint64_t doneBeforeMember;

bool readArchive(void*, uint8_t* buffer, uint32_t count) {
  uint32_t got = 0;
  return platformRead(sfxState.archiveFile, buffer, count, &got) && got == count;
}

// Takes each window the decoder hands over: writes it, then reports the
// bytes produced so far (a match counts whole from the moment it is decoded).
// False stops the decoder: the write failed (its box is shown) or the user
// cancelled.
bool writeDecoded(void*, const uint8_t* data, uint32_t count) {
  if (!writeOutput(data, count, sfxState.outputFile)) return false;
  if (sfxState.outputFile == PLATFORM_INVALID_FILE) return true;
  sfxState.progress.done = doneBeforeMember + static_cast<uint64_t>(memberDecoder.producedCount);
  return reportProgress(sfxState.progress.done, sfxState.progress.total);
}

}  // namespace

void beginMemberInput(uint64_t compressedSize) {
  memberCompressedSize = compressedSize;
  memberDecoder.input.compressedRemaining = compressedSize;
}

uint64_t unreadCompressedBytes() { return memberDecoder.input.compressedRemaining; }

bool decodeCompressedMember() {
  // The message of each failure in the archive; a sink that stopped has
  // shown its own (none for a cancel).
  static const int STATUS_MESSAGES[] = {0, MSG_ARCHIVE_BROKEN, MSG_READ_ERROR};
  static const LzhSource source{readArchive, nullptr};
  static const LzhSink sink{writeDecoded, nullptr};
  sfxState.runningCrc = 0;
  doneBeforeMember = sfxState.progress.done;
  const LzhStatus status =
      memberDecoder.decodeMember(sfxState.entry.method, source, memberCompressedSize,
                                 static_cast<int64_t>(sfxState.entry.uncompressedSize), sink);
  sfxState.progress.done = doneBeforeMember + static_cast<uint64_t>(memberDecoder.producedCount);
  if (status == LZH_OK) return true;
  if (status != LZH_STOPPED)
    reportFileError(loadMessage(STATUS_MESSAGES[status]), sfxState.selfPath);
  return false;
}

bool copyStored(uint64_t remaining) {
  sfxState.runningCrc = 0;
  uint8_t* transfer = memberDecoder.window();  // idle while a stored member is copied
  while (static_cast<int64_t>(remaining) > 0) {
    uint32_t chunk = remaining > WINDOW_SIZE ? WINDOW_SIZE : static_cast<uint32_t>(remaining);
    uint32_t got = 0;
    if (!platformRead(sfxState.archiveFile, transfer, chunk, &got) || got != chunk) {
      reportFileError(loadMessage(MSG_READ_ERROR), sfxState.selfPath);
      return false;
    }
    if (!writeOutput(transfer, chunk, sfxState.outputFile)) return false;
    if (sfxState.outputFile != PLATFORM_INVALID_FILE) {
      sfxState.progress.done += chunk;
      if (!reportProgress(sfxState.progress.done, sfxState.progress.total)) return false;
    }
    remaining -= chunk;
  }
  return true;
}
