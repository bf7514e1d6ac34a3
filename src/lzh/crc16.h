// CRC-16/ARC (reflected polynomial 0xA001, initial value 0, no final XOR),
// the checksum of LZH headers and member data. One running value for the
// process lives in sfxState.runningCrc; whoever starts a computation zeroes it.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t CRC16_POLYNOMIAL = 0xA001;

extern uint16_t crcTable[256];

void makeCrcTable(uint16_t polynomial);
// Feeds length bytes into sfxState.runningCrc and returns the new value.
uint16_t updateCrc(const uint8_t* data, int64_t length);

// Continues crc over length bytes. Needs no process state and no table
// built beforehand: for the encoder and other tools.
uint16_t crc16Update(uint16_t crc, const uint8_t* data, size_t length);
