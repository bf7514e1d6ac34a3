#include "extract/output_sink.h"

#include "extract/running_crc.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"

bool writeOutput(const uint8_t* buffer, uint32_t count, FileHandle file) {
  if (file != PLATFORM_INVALID_FILE) {
    uint32_t written = 0;
    if (!platformWrite(file, buffer, count, &written) || written != count) {
      reportFileError(loadMessage(MSG_WRITE_ERROR), sfxState.currentPath);
      return false;
    }
    addToRunningCrc(buffer, count);
    return true;
  }
  // The notice's data is checked like any member's before it is shown.
  addToRunningCrc(buffer, count);
  if (sfxState.noticeCaptured) return true;
  // The notice text: at most 1023 bytes, ending at the first zero byte.
  uint32_t limit = count < MESSAGE_BUFFER_SIZE - 1 ? count : MESSAGE_BUFFER_SIZE - 1;
  uint32_t i = 0;
  for (; i < limit && buffer[i]; ++i) sfxState.messageBuffer[i] = static_cast<char>(buffer[i]);
  sfxState.messageBuffer[i] = 0;
  sfxState.noticeCaptured = 1;
  return true;
}
