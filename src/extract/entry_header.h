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

// Interprets one extended header: record is the offset of its type byte in
// headerBlock, size its size field (type, data and the next size field).
void applyExtendedHeader(uint32_t record, uint16_t size);
