// CRC-16/ARC (reflected polynomial 0xA001, initial value 0, no final XOR),
// the checksum of LZH headers and member data. Pure functions: the caller
// owns the table and the running value.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t CRC16_POLYNOMIAL = 0xA001;

// Slice 0 is the byte table: entry i is the CRC of the single byte i. Slice k
// is the CRC of byte i followed by k zero bytes, which lets the update fold
// eight bytes per step with eight independent lookups.
constexpr int CRC_SLICES = 8;

struct CrcTable {
  uint16_t entry[CRC_SLICES][256];
};

// Fills the slices.
void makeCrcTable(CrcTable& table, uint16_t polynomial);

// Continues crc over length bytes with the table, eight bytes per step (of
// polynomial 0xA001 where an x86-64 processor multiplies without carries:
// long runs are folded that way and only their last 16 bytes go through the
// table). All give the same value.
uint16_t updateCrc(const CrcTable& table, uint16_t crc, const uint8_t* data, size_t length);
uint16_t updateCrcBytewise(const CrcTable& table, uint16_t crc, const uint8_t* data, size_t length);
uint16_t updateCrcSliced(const CrcTable& table, uint16_t crc, const uint8_t* data, size_t length);

// Continues crc over length bytes with a built-in table of the polynomial
// 0xA001. Needs no table built beforehand: for the encoder and other tools.
uint16_t crc16Update(uint16_t crc, const uint8_t* data, size_t length);
