// Test-only builder of LZH archives with level-2 member headers.
//
// A Member describes one header and its data with every field open to tests:
// the normal case needs only a name and data; damaged headers are made with
// the override knobs (wrong level, bad CRC, missing CRC record, odd sizes,
// extra or duplicate extended headers, truncation).
#ifndef KASUMIRO_TESTS_SUPPORT_ARCHIVE_BUILDER_H
#define KASUMIRO_TESTS_SUPPORT_ARCHIVE_BUILDER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testkit {

// Extended header types of level-2 headers.
constexpr uint8_t kExtHeaderCrc = 0x00;
constexpr uint8_t kExtFileName = 0x01;
constexpr uint8_t kExtDirName = 0x02;
constexpr uint8_t kExtAttributes = 0x40;
constexpr uint8_t kExtFileTimes = 0x41;
constexpr uint8_t kExtSizes64 = 0x42;

// Fixed part of a level-2 header.
constexpr size_t kFixedHeaderSize = 26;

// One extended header: its type byte and data; the size field in front of it
// is computed (data.size() + 3) unless `sizeOverride` is set.
struct ExtHeader {
  uint8_t type = 0;
  std::vector<uint8_t> data;
  std::optional<uint16_t> sizeOverride;
};

struct Member {
  // Method character ('0', '4'..'7', 'd', or anything else for unsupported
  // methods). `methodId`, when set, replaces all five identifier bytes.
  char method = '5';
  std::optional<std::string> methodId;

  // File name bytes (extended header 0x01); empty means no record unless
  // `forceNameRecord` is set.
  std::string name;
  bool forceNameRecord = false;
  // Directory path with '/' separators (extended header 0x02), e.g. "a/b" or
  // "a/b/"; stored with 0xFF separators and a closing 0xFF. Empty: no record.
  std::string dir;
  // Raw bytes of the 0x02 record, used instead of `dir` when set.
  std::optional<std::string> rawDir;

  // The member's uncompressed contents; compressed by the program's encoder
  // (support/compress.h) for methods '4'..'7', stored as is for '0' and
  // anything else, none for 'd'.
  std::vector<uint8_t> data;
  // Bytes placed after the header instead of the encoded data (blocks made
  // to measure with support/lzh_writer.h, damaged streams, ...).
  std::optional<std::vector<uint8_t>> payload;

  uint32_t unixTime = 1700000000;  // 2023-11-14 22:13:20 UTC
  uint8_t attribute = 0x20;        // fixed attribute byte at offset 19
  uint8_t osId = 'M';
  uint8_t level = 2;
  std::optional<uint16_t> dataCrc;  // default: CRC-16 of `data`

  // Optional standard records.
  std::optional<uint16_t> extAttributes;             // 0x40
  std::optional<std::array<uint64_t, 3>> fileTimes;  // 0x41: creation, last write, last access
  bool sizes64 = false;                              // 0x42 with the real sizes
  std::optional<uint64_t> compressedSize64;          // 0x42 values (imply the record)
  std::optional<uint64_t> uncompressedSize64;

  // Header CRC record (0x00); placed first unless `crcRecordLast`.
  bool crcRecord = true;
  bool crcRecordLast = false;
  bool corruptHeaderCrc = false;  // store the correct CRC XOR 0x5A5A

  // Records appended after the standard ones (before the CRC record when it
  // goes last); may repeat standard types.
  std::vector<ExtHeader> extra;

  // Overrides of the fixed fields.
  std::optional<uint32_t> compressedSize32;
  std::optional<uint32_t> uncompressedSize32;
  // Value written at offset 0; the CRC still covers the header as built.
  std::optional<uint16_t> headerSize;
  std::optional<uint16_t> firstExtSize;

  // When the real header length is a multiple of 256 its first byte would read
  // as the end marker; one padding byte after the chain avoids that.
  bool avoidZeroLowByte = true;

  // Keep only the first `truncate` bytes of header plus payload.
  std::optional<size_t> truncate;
};

// Convenience constructors.
Member fileMember(std::string name, std::vector<uint8_t> data, char method = '5',
                  std::string dir = std::string());
Member dirMember(std::string dir);

// "a/b" or "a/b/" -> "a\xFFb\xFF".
std::string dirRecordBytes(const std::string& slashPath);

// The data bytes that follow the member's header (encoded, stored or payload).
std::vector<uint8_t> memberPayload(const Member& m);

// The header alone, for a payload of `payload` bytes.
std::vector<uint8_t> buildHeader(const Member& m, const std::vector<uint8_t>& payload);

// Header followed by payload (with `truncate` applied).
std::vector<uint8_t> buildMember(const Member& m);

// All members, then a single 0 byte when `endMarker`.
std::vector<uint8_t> buildArchive(const std::vector<Member>& members, bool endMarker = true);

// Little-endian helpers for tests that patch bytes.
void putLe16(std::vector<uint8_t>& out, uint16_t v);
void putLe32(std::vector<uint8_t>& out, uint32_t v);
void putLe64(std::vector<uint8_t>& out, uint64_t v);
void storeLe16(uint8_t* at, uint16_t v);
void storeLe32(uint8_t* at, uint32_t v);
uint16_t loadLe16(const uint8_t* at);
uint32_t loadLe32(const uint8_t* at);

// Bytes of a string / of a vector as a string.
std::vector<uint8_t> bytesOf(const std::string& s);

}  // namespace testkit

#endif  // KASUMIRO_TESTS_SUPPORT_ARCHIVE_BUILDER_H
