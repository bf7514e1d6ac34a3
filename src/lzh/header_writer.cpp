#include "lzh/header_writer.h"

#include <cstring>
#include <type_traits>

#include "lzh/crc16.h"

namespace {

constexpr size_t FIXED_SIZE = LZH_LEVEL2_FIXED_SIZE;
constexpr size_t MAX_HEADER = LZH_MAX_HEADER_SIZE;

void put16(uint8_t* at, uint32_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* at, uint32_t v) {
  put16(at, v);
  put16(at + 2, v >> 16);
}
void put64(uint8_t* at, uint64_t v) {
  put32(at, static_cast<uint32_t>(v));
  put32(at + 4, static_cast<uint32_t>(v >> 32));
}

// Length of the directory record's data in characters: each non-empty
// component and a separator after it.
template <typename Text>
size_t directoryBytes(Text directory) {
  size_t bytes = 0, component = 0;
  for (auto c : directory) {
    if (c == '/') {
      if (component) bytes += component + 1;
      component = 0;
    } else {
      ++component;
    }
  }
  return component ? bytes + component + 1 : bytes;
}

// Hands the directory's non-empty components to put, character by
// character, each followed by separator.
template <typename Text, typename Put>
void writeComponents(Text directory, Put put, uint32_t separator) {
  size_t component = 0;
  for (auto c : directory) {
    if (c != '/') {
      put(static_cast<uint32_t>(static_cast<std::make_unsigned_t<decltype(c)>>(c)));
      ++component;
    } else if (component) {
      put(separator);
      component = 0;
    }
  }
  if (component) put(separator);
}

// Attributes that the fixed part already says need no record of their own.
bool needsAttributes(const LzhHeaderFields& f) { return f.attributes != LZH_FIXED_ATTRIBUTE; }

bool needs64(const LzhHeaderFields& f) {
  return f.sizes64 || f.compressedSize > 0xFFFFFFFFu || f.uncompressedSize > 0xFFFFFFFFu;
}

// Extended header sizes count the type byte, the data and the next size.
constexpr size_t recordSize(size_t data) { return LZH_RECORD_OVERHEAD + data; }

}  // namespace

size_t lzhHeaderSize(const LzhHeaderFields& f) {
  const size_t dirBytes = directoryBytes(f.directory);
  const size_t unicodeDirBytes = 2 * directoryBytes(f.unicodeDirectory);
  if (f.fileName.size() > MAX_HEADER || dirBytes > MAX_HEADER ||
      f.unicodeFileName.size() > MAX_HEADER || unicodeDirBytes > MAX_HEADER)
    return 0;
  size_t size = FIXED_SIZE + recordSize(2);
  if (!f.fileName.empty()) size += recordSize(f.fileName.size());
  if (dirBytes) size += recordSize(dirBytes);
  if (!f.unicodeFileName.empty()) size += recordSize(2 * f.unicodeFileName.size());
  if (unicodeDirBytes) size += recordSize(unicodeDirBytes);
  if (needsAttributes(f)) size += recordSize(2);
  if (f.windowsTimes) size += recordSize(24);
  if (needs64(f)) size += recordSize(16);
  // A size whose low byte is 0 would read as the end of the archive: one
  // padding byte after the last record.
  if ((size & 0xFF) == 0) ++size;
  return size <= MAX_HEADER ? size : 0;
}

size_t writeLzhHeader(const LzhHeaderFields& f, uint8_t* out, size_t capacity) {
  const size_t size = lzhHeaderSize(f);
  if (size == 0 || size > capacity) return 0;
  std::memset(out, 0, size);
  put16(out + LZH_AT_HEADER_SIZE, static_cast<uint32_t>(size));
  std::memcpy(out + LZH_AT_METHOD, "-lh?-", 5);
  out[LZH_AT_METHOD_CHARACTER] = static_cast<uint8_t>(f.method);
  put32(out + LZH_AT_COMPRESSED_SIZE, static_cast<uint32_t>(f.compressedSize));
  put32(out + LZH_AT_ORIGINAL_SIZE, static_cast<uint32_t>(f.uncompressedSize));
  put32(out + LZH_AT_UNIX_TIME, f.unixTime);
  // Level-2 headers keep 0x20 here (other attributes go to 0x40); some
  // readers recognise the format by it.
  out[LZH_AT_ATTRIBUTE] = LZH_FIXED_ATTRIBUTE;
  out[LZH_AT_LEVEL] = LZH_HEADER_LEVEL_2;
  put16(out + LZH_AT_DATA_CRC, f.dataCrc);
  out[LZH_AT_OS_ID] = LZH_OS_ID_MSDOS;

  // Each record: its size in the two bytes before its type byte.
  uint8_t* sizeField = out + LZH_AT_FIRST_RECORD_SIZE;
  auto record = [&](uint8_t type, size_t data) {
    put16(sizeField, static_cast<uint32_t>(recordSize(data)));
    sizeField[2] = type;
    uint8_t* body = sizeField + 3;
    sizeField = body + data;
    return body;
  };
  uint8_t* crcField = record(LZH_RECORD_HEADER_CRC, 2);
  if (!f.fileName.empty())
    std::memcpy(record(LZH_RECORD_FILE_NAME, f.fileName.size()), f.fileName.data(),
                f.fileName.size());
  if (const size_t dirBytes = directoryBytes(f.directory)) {
    uint8_t* at = record(LZH_RECORD_DIRECTORY, dirBytes);
    writeComponents(
        f.directory, [&](uint32_t c) { *at++ = static_cast<uint8_t>(c); }, LZH_DIRECTORY_SEPARATOR);
  }
  if (!f.unicodeFileName.empty()) {
    uint8_t* at = record(LZH_RECORD_UNICODE_FILE_NAME, 2 * f.unicodeFileName.size());
    for (char16_t c : f.unicodeFileName) put16(at, c), at += 2;
  }
  if (const size_t unicodeDirBytes = 2 * directoryBytes(f.unicodeDirectory)) {
    uint8_t* at = record(LZH_RECORD_UNICODE_DIRECTORY, unicodeDirBytes);
    writeComponents(
        f.unicodeDirectory, [&](uint32_t c) { put16(at, c), at += 2; },
        LZH_UNICODE_DIRECTORY_SEPARATOR);
  }
  if (needsAttributes(f)) put16(record(LZH_RECORD_ATTRIBUTES, 2), f.attributes);
  if (f.windowsTimes) {
    uint8_t* at = record(LZH_RECORD_WINDOWS_TIME, 24);
    put64(at, f.creationTime);
    put64(at + 8, f.lastWriteTime);
    put64(at + 16, f.lastAccessTime);
  }
  if (needs64(f)) {
    uint8_t* at = record(LZH_RECORD_SIZES_64, 16);
    put64(at, f.compressedSize);
    put64(at + 8, f.uncompressedSize);
  }
  put16(sizeField, 0);  // no further record
  put16(crcField, crc16Update(0, out, size));
  return size;
}
