#include "extract/entry_header.h"

#include <cstring>

#include "extract/running_crc.h"
#include "paths/path_strings.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"

static uint16_t readU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
static uint32_t readU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
static uint64_t readU64(const uint8_t* p) {
  return static_cast<uint64_t>(readU32(p)) | static_cast<uint64_t>(readU32(p + 4)) << 32;
}

// The header's Unix time as a FILETIME: for a time from 1970 on, its seconds
// counted from 1601 instead. A negative time (a stored value with its top
// bit set, which gmtime does not convert) gives the current time.
static FileTime unixTimeToFileTime(int32_t seconds) {
  if (seconds < 0) return platformCurrentFileTime();
  // 1601-01-01 lies 11644473600 seconds before 1970-01-01.
  return (static_cast<uint64_t>(seconds) + 11644473600u) * 10000000u;
}

static HeaderResult brokenHeader(int message) {
  reportImageError(message);
  return HEADER_FAILED;
}

void applyExtendedHeader(uint32_t record, uint16_t size) {
  EntryHeader& e = sfxState.entry;
  const uint8_t* block = sfxState.headerBlock;
  const uint8_t* data = block + record + 1;
  const uint16_t length = static_cast<uint16_t>(size - LZH_RECORD_OVERHEAD);
  // Records too short for their fields are passed over: only bytes that the
  // header really holds are ever read.
  switch (block[record]) {
    case LZH_RECORD_HEADER_CRC:
      if (length >= 2) {
        e.headerCrcField = static_cast<int32_t>(record + 1);
        e.storedHeaderCrc = readU16(data);
      }
      break;
    case LZH_RECORD_FILE_NAME:
      e.fileNameOffset = static_cast<int32_t>(record + 1);
      e.fileNameLength = length;
      break;
    case LZH_RECORD_DIRECTORY:
      e.directoryNameOffset = static_cast<int32_t>(record + 1);
      e.directoryNameLength = length;
      break;
    case LZH_RECORD_UNICODE_FILE_NAME:
      e.unicodeNameOffset = static_cast<int32_t>(record + 1);
      e.unicodeNameLength = length;
      break;
    case LZH_RECORD_UNICODE_DIRECTORY:
      e.unicodeDirectoryOffset = static_cast<int32_t>(record + 1);
      e.unicodeDirectoryLength = length;
      break;
    case LZH_RECORD_ATTRIBUTES:
      if (length >= 2 && block[LZH_AT_OS_ID] == LZH_OS_ID_MSDOS) e.attributes = readU16(data);
      break;
    case LZH_RECORD_WINDOWS_TIME:
      if (length >= 16) e.lastWriteTime = readU64(data + 8);
      break;
    case LZH_RECORD_SIZES_64:
      if (length >= 16) {
        e.compressedSize = readU64(data);
        e.uncompressedSize = readU64(data + 8);
      }
      break;
    default:
      break;
  }
}

// Copies at most length bytes, stopping at a zero byte; returns the count.
static uint32_t copyName(char* destination, const uint8_t* source, uint32_t length) {
  uint32_t i = 0;
  for (; i < length && source[i]; ++i) destination[i] = static_cast<char>(source[i]);
  return i;
}

bool appendUnicodeName(const uint8_t* data, uint16_t bytes, char* name, uint32_t size,
                       uint32_t* used) {
  if (bytes % 2) return false;
  const size_t units = bytes / 2u;
  size_t start = 0;
  for (size_t i = 0; i <= units; ++i) {
    if (i < units && (data[2 * i] != 0xFF || data[2 * i + 1] != 0xFF)) continue;
    // The segment before the separator (or the end).
    if (i > start || (i == units && start == 0)) {
      if (!platformTextFromUtf16(data + 2 * start, i - start, name + *used, size - *used))
        return false;
      *used += static_cast<uint32_t>(std::strlen(name + *used));
    }
    if (i < units) {
      if (*used + 1 >= size) return false;
      name[(*used)++] = '/';
    }
    start = i + 1;
  }
  name[*used] = 0;
  return true;
}

// Puts the member's name together in memberName: the directory, then the
// file name, each from its Unicode record when there is one. Returns 0, or
// the message for a broken header.
static int assembleName() {
  EntryHeader& e = sfxState.entry;
  const uint8_t* block = sfxState.headerBlock;
  char* name = sfxState.memberName;
  uint32_t used = 0;
  name[0] = 0;
  // Names that do not fit are refused rather than cut: a cut name could
  // land on another member's file.
  if (e.directoryNameLength + static_cast<uint32_t>(e.fileNameLength) > MEMBER_NAME_SIZE - 1 &&
      !e.unicodeDirectoryOffset && !e.unicodeNameOffset)
    return MSG_ARCHIVE_BROKEN;
  if (!sfxState.noFolders && e.unicodeDirectoryOffset) {
    if (!appendUnicodeName(block + e.unicodeDirectoryOffset, e.unicodeDirectoryLength, name,
                           MEMBER_NAME_SIZE, &used))
      return MSG_ARCHIVE_BROKEN;
  } else if (!sfxState.noFolders) {
    // A zero byte inside the directory name ends the whole name there,
    // since the file name is placed behind the directory's full length.
    if (e.directoryNameLength > MEMBER_NAME_SIZE - 1) return MSG_ARCHIVE_BROKEN;
    used = copyName(name, block + e.directoryNameOffset, e.directoryNameLength);
    if (used < e.directoryNameLength) {
      name[used] = 0;
      return 0;
    }
  }
  if (e.unicodeNameOffset) {
    if (!appendUnicodeName(block + e.unicodeNameOffset, e.unicodeNameLength, name, MEMBER_NAME_SIZE,
                           &used))
      return MSG_ARCHIVE_BROKEN;
  } else {
    if (used + e.fileNameLength > MEMBER_NAME_SIZE - 1u) return MSG_ARCHIVE_BROKEN;
    used += copyName(name + used, block + e.fileNameOffset, e.fileNameLength);
    name[used] = 0;
  }
  return 0;
}

// Reads the rest of a header whose first 26 bytes are in headerBlock and
// takes over its fields. Returns 0 when it is a valid header, else the
// message that says why not. Shows nothing.
static int parseHeader() {
  EntryHeader& e = sfxState.entry;
  uint8_t* block = sfxState.headerBlock;
  uint32_t got = 0;
  if (block[LZH_AT_LEVEL] != LZH_HEADER_LEVEL_2) return MSG_ARCHIVE_BROKEN;
  e.headerSize = readU16(block + LZH_AT_HEADER_SIZE);
  // The fixed part alone is 26 bytes; a smaller size cannot be a header.
  if (e.headerSize < LZH_LEVEL2_FIXED_SIZE) return MSG_ARCHIVE_BROKEN;
  const uint32_t rest = e.headerSize - LZH_LEVEL2_FIXED_SIZE;
  if (rest && (!platformRead(sfxState.archiveFile, block + LZH_LEVEL2_FIXED_SIZE, rest, &got) ||
               got != rest))
    return MSG_ARCHIVE_BROKEN;

  const uint8_t method = block[LZH_AT_METHOD_CHARACTER];
  if (!lzhIsMethodId(block + LZH_AT_METHOD) || !std::strchr("04567d", method) || method == 0)
    return MSG_UNSUPPORTED_METHOD;

  e.level = block[LZH_AT_LEVEL];
  e.osId = block[LZH_AT_OS_ID];
  e.method = static_cast<char>(method);
  e.headerCrcField = -1;
  e.attributes = block[LZH_AT_ATTRIBUTE];
  e.compressedSize = readU32(block + LZH_AT_COMPRESSED_SIZE);
  e.uncompressedSize = readU32(block + LZH_AT_ORIGINAL_SIZE);
  e.lastWriteTime = unixTimeToFileTime(static_cast<int32_t>(readU32(block + LZH_AT_UNIX_TIME)));
  e.dataCrc = readU16(block + LZH_AT_DATA_CRC);

  // Each extended header must fit, with the size field that follows it,
  // inside the header; sizes below 3 cannot hold their own type and size.
  uint32_t at = LZH_AT_FIRST_RECORD_SIZE;
  for (uint16_t size; (size = readU16(block + at)) != 0; at += size) {
    if (size < LZH_RECORD_OVERHEAD || at + 2u + size > e.headerSize) return MSG_ARCHIVE_BROKEN;
    applyExtendedHeader(at + 2, size);
  }

  if (e.headerCrcField < 0) return MSG_ARCHIVE_BROKEN;
  block[e.headerCrcField] = block[e.headerCrcField + 1] = 0;
  sfxState.runningCrc = 0;
  if (addToRunningCrc(block, e.headerSize) != e.storedHeaderCrc) return MSG_ARCHIVE_BROKEN;

  // Every view of the archive steps from member to member by the compressed
  // size alone, so the sizes must say the same thing to every reader: stored
  // data is its own original, and no size may reach the signed range's end
  // (no file system holds such a file, and a seek that far would go back).
  if (e.method == '0' && e.compressedSize != e.uncompressedSize) return MSG_ARCHIVE_BROKEN;
  if (e.compressedSize > static_cast<uint64_t>(INT64_MAX) ||
      e.uncompressedSize > static_cast<uint64_t>(INT64_MAX))
    return MSG_ARCHIVE_BROKEN;

  if (sfxState.noFolders) e.directoryNameLength = e.unicodeDirectoryLength = 0;
  return assembleName();
}

HeaderResult readEntryHeader() {
  EntryHeader& e = sfxState.entry;
  uint8_t* block = sfxState.headerBlock;
  std::memset(&e, 0, sizeof e);
  uint32_t got = 0;
  if (!platformRead(sfxState.archiveFile, block, LZH_LEVEL2_FIXED_SIZE, &got) || got == 0)
    return brokenHeader(MSG_ARCHIVE_BROKEN);
  if (block[0] == LZH_ARCHIVE_END) {
    // A 0 byte is the end marker, unless it is the low byte of the size of a
    // header whose length is a multiple of 256: other readers take such a
    // header, so it is tried, and only a complete, valid header counts.
    // Whatever else follows the end marker is never looked at.
    if (got < LZH_LEVEL2_FIXED_SIZE || parseHeader() != 0) return HEADER_END;
  } else {
    if (got < LZH_LEVEL2_FIXED_SIZE) return brokenHeader(MSG_ARCHIVE_BROKEN);
    const int failure = parseHeader();
    if (failure) return brokenHeader(failure);
  }

  unifySeparators(sfxState.memberName, '/');
  return HEADER_OK;
}
