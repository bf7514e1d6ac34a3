#include "extract/running_crc.h"

#include "lzh/crc16.h"
#include "startup/sfx_state.h"

static CrcTable crcTable;

void prepareRunningCrc() { makeCrcTable(crcTable, CRC16_POLYNOMIAL); }

uint16_t addToRunningCrc(const uint8_t* data, int64_t length) {
  if (length > 0)
    sfxState.runningCrc =
        updateCrc(crcTable, sfxState.runningCrc, data, static_cast<size_t>(length));
  return sfxState.runningCrc;
}
