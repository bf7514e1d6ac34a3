// The DOS part of a self-extracting image: the 512-byte MZ header with the
// self-extractor marker, room for the configuration block at 512, and the
// DOS stub program at 0x4D0 that says the program needs Windows.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t DOS_STUB_OFFSET = 0x4D0;
constexpr size_t DOS_STUB_SIZE = 58;
constexpr size_t DOS_PART_SIZE = DOS_STUB_OFFSET + DOS_STUB_SIZE;  // 0x50A
constexpr uint32_t DEFAULT_PE_OFFSET = 0x570;

// Writes the DOS header and stub program into image (at least DOS_PART_SIZE
// bytes), zeroing the rest of the first DOS_PART_SIZE bytes; the block area
// at 512 is left zero. peOffset becomes e_lfanew.
void writeDosPart(uint8_t* image, uint32_t peOffset);
