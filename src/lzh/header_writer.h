// Level-2 member headers of LZH archives, with the extended headers the
// reader of this program uses: header CRC (0x00), file name (0x01),
// directory name (0x02), MS-DOS attributes (0x40), Windows time stamps
// (0x41), 64-bit sizes (0x42), and for names beyond CP932 the file and
// directory names in UTF-16LE (0x44, 0x45). The operating-system id is 'M', which
// makes readers take the attributes from 0x40. Records that would only
// repeat the fixed part are left out: every byte counts in archives of many
// small files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "lzh/lzh_format.h"

constexpr uint16_t LZH_ATTRIBUTE_READ_ONLY = 0x01;
constexpr uint16_t LZH_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint16_t LZH_ATTRIBUTE_ARCHIVE = 0x20;

struct LzhHeaderFields {
  // '0' stored, '5', '6', '7' compressed, 'd' directory (no data).
  char method = '5';
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
  uint16_t dataCrc = 0;
  // Written as 0x40 unless they are just the archive bit.
  uint16_t attributes = LZH_ATTRIBUTE_ARCHIVE;
  // Modification time in seconds since 1970-01-01 UTC, for readers that do
  // not read 0x41 (readers take it as signed: after 2038 only 0x41 helps).
  uint32_t unixTime = 0;
  // FILETIMEs (100 ns units since 1601-01-01 UTC), written as 0x41 when set.
  bool windowsTimes = false;
  uint64_t creationTime = 0;
  uint64_t lastWriteTime = 0;
  uint64_t lastAccessTime = 0;
  // 0x42 is written when a size needs more than 32 bits, or always when set
  // (a caller that patches the sizes in after compressing keeps the header
  // length fixed that way).
  bool sizes64 = false;
  // CP932 bytes. The directory's components are separated by '/' (empty
  // ones are dropped); the header separates them with 0xFF, as LHA does.
  std::string_view directory;
  std::string_view fileName;
  // The exact names when CP932 cannot hold them (then directory and
  // fileName are their fallbacks), '/' between the directory's components;
  // written as 0x45 (each component ended by U+FFFF) and 0x44 when not
  // empty. No 0x46: the fallbacks are CP932 as always.
  std::u16string_view unicodeDirectory;
  std::u16string_view unicodeFileName;
};

// Length of the header for these fields; 0 when it would not fit the 16-bit
// size fields of the format.
size_t lzhHeaderSize(const LzhHeaderFields& fields);

// Writes the header, header CRC included, and returns its length; 0 (and
// nothing written) when capacity is too small or the header cannot exist.
size_t writeLzhHeader(const LzhHeaderFields& fields, uint8_t* out, size_t capacity);
