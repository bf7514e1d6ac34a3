// The LZH format's facts, named once: the block format of -lh4- to -lh7-
// (alphabets, match lengths, the position code of each method) and the
// level-2 member header (fixed offsets, extended-header types). The decoder,
// the encoder, the header reader and writer and the tools take their numbers
// from here.
#pragma once

#include <cstddef>
#include <cstdint>

// --- the block format -----------------------------------------------------
// A block: a 16-bit count of character codes (0 stands for 65536), the
// pre-tree code, the character code sent through it, the position code, then
// the codes. Character symbols 0-255 are literals; symbol s above them is a
// match of s - LZH_MATCH_LENGTH_OFFSET bytes followed by a position code.
constexpr int LZH_MIN_MATCH = 3;
constexpr int LZH_MAX_MATCH = 256;
constexpr int LZH_CHAR_SYMBOLS = 510;
constexpr int LZH_MATCH_LENGTH_OFFSET = 253;
static_assert(LZH_MATCH_LENGTH_OFFSET + LZH_MIN_MATCH == 256,
              "the shortest match follows the literals");
static_assert(LZH_MATCH_LENGTH_OFFSET + LZH_MAX_MATCH == LZH_CHAR_SYMBOLS - 1,
              "the longest match is the last character symbol");
constexpr int LZH_BLOCK_SIZE_BITS = 16;
constexpr int LZH_CHAR_COUNT_BITS = 9;
// The pre-tree code: its count in 5 bits, and a 2-bit run of zero lengths
// right after its third length.
constexpr int LZH_PRETREE_SYMBOLS = 19;
constexpr int LZH_PRETREE_COUNT_BITS = 5;
constexpr int LZH_PRETREE_SPECIAL_INDEX = 3;
// Code lengths of every code: at most 16 bits.
constexpr int LZH_MAX_CODE_LENGTH = 16;
// Position symbol 0 or 1 is that distance field; symbol j above them is
// 2^(j-1) plus j-1 more bits. The distance is the field plus 1.
constexpr int LZH_MAX_POSITION_SYMBOLS = 17;
// The largest dictionary (-lh7-), and so the farthest a match reaches.
constexpr uint32_t LZH_MAX_DICTIONARY = 65536;
static_assert(1u << (LZH_MAX_POSITION_SYMBOLS - 1) == LZH_MAX_DICTIONARY,
              "the last position symbol reaches the whole dictionary");

struct LzhMethodParameters {
  int dictionaryBits;     // the window writers use: 4, 8, 32 or 64 KiB
  int positionSymbols;    // the position alphabet a reader takes: 14 or 17
  int positionCountBits;  // the width of the position code's count: 4 or 5
};

// The parameters of method -lh<method>-, all zero for anything but '4' to
// '7'. -lh6- is read with the 17 symbols of -lh7- (a stream that sends 16 or
// fewer decodes the same; one that sends 17 reaches 64 KiB back, and other
// readers take it); its writers need only the dictionaryBits + 1 symbols
// that reach its 32 KiB.
constexpr LzhMethodParameters lzhMethodParameters(char method) {
  return method == '4'   ? LzhMethodParameters{12, 14, 4}
         : method == '5' ? LzhMethodParameters{13, 14, 4}
         : method == '6' ? LzhMethodParameters{15, 17, 5}
         : method == '7' ? LzhMethodParameters{16, 17, 5}
                         : LzhMethodParameters{0, 0, 0};
}
// How far back the matches of an alphabet of positionSymbols reach.
constexpr uint32_t lzhReachOf(int positionSymbols) { return 1u << (positionSymbols - 1); }

// --- the level-2 member header ------------------------------------------
// The fixed part, up to and with the size of the first extended header
// (all fields little-endian).
constexpr uint32_t LZH_LEVEL2_FIXED_SIZE = 26;
enum LzhHeaderOffset : uint32_t {
  LZH_AT_HEADER_SIZE = 0,        // u16: the whole header, extended headers included
  LZH_AT_METHOD = 2,             // "-lh?-"
  LZH_AT_METHOD_CHARACTER = 5,   // '0', '4'-'7' or 'd'
  LZH_AT_COMPRESSED_SIZE = 7,    // u32
  LZH_AT_ORIGINAL_SIZE = 11,     // u32
  LZH_AT_UNIX_TIME = 15,         // u32, seconds since 1970 (UTC)
  LZH_AT_ATTRIBUTE = 19,         // u8, 0x20 in level-2 headers
  LZH_AT_LEVEL = 20,             // u8, 2
  LZH_AT_DATA_CRC = 21,          // u16
  LZH_AT_OS_ID = 23,             // u8
  LZH_AT_FIRST_RECORD_SIZE = 24  // u16, 0 when there is no extended header
};
constexpr uint8_t LZH_HEADER_LEVEL_2 = 2;
constexpr uint32_t LZH_MAX_HEADER_SIZE = 65535;
// 'M' (MS-DOS) makes readers take the attributes from record 0x40.
constexpr uint8_t LZH_OS_ID_MSDOS = 'M';
constexpr uint8_t LZH_FIXED_ATTRIBUTE = 0x20;
// An archive ends with a single zero byte where the next header would be.
constexpr uint8_t LZH_ARCHIVE_END = 0;

// Extended headers: a type byte, its data, and the u16 size of the next
// one; a record's size counts all three.
constexpr uint32_t LZH_RECORD_OVERHEAD = 3;
enum LzhRecordType : uint8_t {
  LZH_RECORD_HEADER_CRC = 0x00,    // u16, the CRC-16 of the header with this field 0
  LZH_RECORD_FILE_NAME = 0x01,     // CP932 bytes
  LZH_RECORD_DIRECTORY = 0x02,     // CP932 components, each ended by 0xFF
  LZH_RECORD_ATTRIBUTES = 0x40,    // u16, MS-DOS attributes
  LZH_RECORD_WINDOWS_TIME = 0x41,  // three FILETIMEs: creation, last write, last access
  LZH_RECORD_SIZES_64 = 0x42,      // u64 compressed size, u64 original size
  // Names beyond CP932, as other LZH writers on Windows store them; readers
  // that know them prefer each to its CP932 record, others read 0x01/0x02.
  LZH_RECORD_UNICODE_FILE_NAME = 0x44,  // UTF-16LE
  LZH_RECORD_UNICODE_DIRECTORY = 0x45,  // UTF-16LE components, each ended by U+FFFF
  LZH_RECORD_CODE_PAGE = 0x46,          // u32, the code page of 0x01/0x02 (not needed)
};
constexpr uint8_t LZH_DIRECTORY_SEPARATOR = 0xFF;
// The separator in 0x45: the UTF-16 counterpart of 0xFF. bsdtar reads 0x45
// and takes U+FFFF or '/' there but refuses a header with '\' in it; lhasa,
// 7-Zip and jlha ignore 0x44/0x45. Readers take all three alike.
constexpr uint16_t LZH_UNICODE_DIRECTORY_SEPARATOR = 0xFFFF;

// True for the five bytes of a method id "-lh?-" (any method character).
inline bool lzhIsMethodId(const uint8_t* id) {
  return id[0] == '-' && id[1] == 'l' && id[2] == 'h' && id[4] == '-';
}

// Whether a file whose first count bytes are head is an LZH archive: the end
// marker alone, or a member header of any level (whose method id this
// program may not decode: that is reported when the member is read, not
// taken for another kind of file). "-lz?-" ids are LHA's too.
inline bool lzhLooksLikeArchive(const uint8_t* head, size_t count) {
  if (count == 1) return head[0] == LZH_ARCHIVE_END;
  return count > LZH_AT_LEVEL && head[LZH_AT_METHOD] == '-' && head[LZH_AT_METHOD + 1] == 'l' &&
         (head[LZH_AT_METHOD + 2] == 'h' || head[LZH_AT_METHOD + 2] == 'z') &&
         head[LZH_AT_METHOD + 4] == '-';
}
