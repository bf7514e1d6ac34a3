// The member header reader: one level-2 LZH header at a time, checked
// (level, method, header CRC, every bound) and turned into sfxState.entry and
// sfxState.memberName, with the archive left at the member's data.
#pragma once

#include <cstdint>

#include "lzh/lzh_format.h"
#include "platform/platform.h"

enum HeaderResult { HEADER_END = 0, HEADER_OK = 1, HEADER_FAILED = 2 };

// Reads the next header from sfxState.archiveFile. On HEADER_FAILED the
// error has been shown and abortFlag is set.
HeaderResult readEntryHeader();

// Appends the UTF-16LE name of a 0x44 or 0x45 record (bytes long) to name
// (size bytes) at *used as program text, U+FFFF (the separator of 0x45) as
// '/'. False when the record cannot be a name (an odd length, U+0000, an
// unpaired surrogate) or the name does not fit: such a header is broken,
// since cutting the name or dropping a character could make it another
// member's.
bool appendUnicodeName(const uint8_t* data, uint16_t bytes, char* name, uint32_t size,
                       uint32_t* used);

// Interprets one extended header: record is the offset of its type byte in
// headerBlock, size its size field (type, data and the next size field).
void applyExtendedHeader(uint32_t record, uint16_t size);
