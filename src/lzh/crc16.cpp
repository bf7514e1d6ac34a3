#include "lzh/crc16.h"

#include "startup/sfx_state.h"

uint16_t crcTable[256];

void makeCrcTable(uint16_t polynomial) {
  for (unsigned i = 0; i < 256; ++i) {
    unsigned r = i;
    for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ polynomial : r >> 1;
    crcTable[i] = static_cast<uint16_t>(r);
  }
}

uint16_t updateCrc(const uint8_t* data, int64_t length) {
  uint16_t crc = sfxState.runningCrc;
  for (int64_t i = 0; i < length; ++i) crc = crcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  sfxState.runningCrc = crc;
  return crc;
}

uint16_t crc16Update(uint16_t crc, const uint8_t* data, size_t length) {
  static uint16_t table[256];
  if (table[1] == 0) {
    for (unsigned i = 0; i < 256; ++i) {
      unsigned r = i;
      for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ CRC16_POLYNOMIAL : r >> 1;
      table[i] = static_cast<uint16_t>(r);
    }
  }
  for (size_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}
