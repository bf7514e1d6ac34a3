#include "lzh/crc16.h"

#include <cstring>

namespace {

constexpr CrcTable buildTable(uint16_t polynomial) {
  CrcTable table{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned r = i;
    for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ polynomial : r >> 1;
    table.entry[0][i] = static_cast<uint16_t>(r);
  }
  for (int slice = 1; slice < CRC_SLICES; ++slice) {
    for (unsigned i = 0; i < 256; ++i) {
      const unsigned previous = table.entry[slice - 1][i];
      table.entry[slice][i] =
          static_cast<uint16_t>((previous >> 8) ^ table.entry[0][previous & 0xFF]);
    }
  }
  return table;
}

// Read-only: built by the compiler.
constexpr CrcTable kArcTable = buildTable(CRC16_POLYNOMIAL);

}  // namespace

void makeCrcTable(CrcTable& table, uint16_t polynomial) { table = buildTable(polynomial); }

uint16_t updateCrcBytewise(const CrcTable& table, uint16_t crc, const uint8_t* data,
                           size_t length) {
  const uint16_t* t = table.entry[0];
  for (size_t i = 0; i < length; ++i) crc = t[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

uint16_t updateCrcSliced(const CrcTable& table, uint16_t crc, const uint8_t* data, size_t length) {
  const auto& t = table.entry;
  // The running value only meets the first two bytes of each group of
  // eight; the other six enter through the slices for their distance from
  // the group's end.
  for (; length >= 8; data += 8, length -= 8) {
    uint32_t low, high;
    std::memcpy(&low, data, 4);
    std::memcpy(&high, data + 4, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    low = __builtin_bswap32(low);
    high = __builtin_bswap32(high);
#endif
    low ^= crc;
    crc = static_cast<uint16_t>(t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^
                                t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^ t[3][high & 0xFF] ^
                                t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^
                                t[0][high >> 24]);
  }
  return updateCrcBytewise(table, crc, data, length);
}

uint16_t updateCrc(const CrcTable& table, uint16_t crc, const uint8_t* data, size_t length) {
#if defined(LZH_COMPACT)
  return updateCrcBytewise(table, crc, data, length);
#else
  return updateCrcSliced(table, crc, data, length);
#endif
}

uint16_t crc16Update(uint16_t crc, const uint8_t* data, size_t length) {
  return updateCrc(kArcTable, crc, data, length);
}
