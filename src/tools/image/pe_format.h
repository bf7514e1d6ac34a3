// The parts of the PE format that the reader and the writers touch: field
// offsets in the DOS, COFF and optional headers, the section table, the
// data directories, debug directory, load configuration, COFF symbols and
// resource tree, and little-endian access to them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// DOS header
constexpr size_t MZ_HEADER_SIZE = 0x40;
constexpr size_t MZ_LFANEW = 0x3C;

// COFF file header, relative to the PE signature
constexpr size_t FH_NUMBER_OF_SECTIONS = 4 + 2;
constexpr size_t FH_POINTER_TO_SYMBOL_TABLE = 4 + 8;
constexpr size_t FH_NUMBER_OF_SYMBOLS = 4 + 12;
constexpr size_t FH_SIZE_OF_OPTIONAL_HEADER = 4 + 16;
constexpr size_t FH_CHARACTERISTICS = 4 + 18;
constexpr size_t OPTIONAL_HEADER = 4 + 20;

constexpr uint16_t IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002;
constexpr uint16_t IMAGE_FILE_LINE_NUMS_STRIPPED = 0x0004;
constexpr uint16_t IMAGE_FILE_LOCAL_SYMS_STRIPPED = 0x0008;

// Optional header, relative to its start; the same for PE32 and PE32+ up to
// the number of directories.
constexpr uint16_t MAGIC_PE32 = 0x10B;
constexpr uint16_t MAGIC_PE32_PLUS = 0x20B;
constexpr size_t OH_SECTION_ALIGNMENT = 32;
constexpr size_t OH_FILE_ALIGNMENT = 36;
constexpr size_t OH_SIZE_OF_HEADERS = 60;
constexpr size_t OH_CHECKSUM = 64;
constexpr size_t OH_DLL_CHARACTERISTICS = 70;
constexpr size_t OH_DIRECTORY_COUNT_PE32 = 92;
constexpr size_t OH_DIRECTORY_COUNT_PE32_PLUS = 108;

// Data directories: 8 bytes each, the RVA and the size.
constexpr uint32_t MAX_DIRECTORIES = 16;
constexpr uint32_t DIRECTORY_RESOURCE = 2;
constexpr uint32_t DIRECTORY_SECURITY = 4;
constexpr uint32_t DIRECTORY_BASE_RELOCATION = 5;
constexpr uint32_t DIRECTORY_DEBUG = 6;
constexpr uint32_t DIRECTORY_LOAD_CONFIG = 10;
constexpr uint32_t DIRECTORY_IMPORT_ADDRESS_TABLE = 12;

// Section header
constexpr size_t SECTION_HEADER_SIZE = 40;
constexpr size_t SH_VIRTUAL_SIZE = 8;
constexpr size_t SH_VIRTUAL_ADDRESS = 12;
constexpr size_t SH_SIZE_OF_RAW_DATA = 16;
constexpr size_t SH_POINTER_TO_RAW_DATA = 20;
constexpr size_t SH_POINTER_TO_RELOCATIONS = 24;
constexpr size_t SH_POINTER_TO_LINENUMBERS = 28;
constexpr size_t SH_CHARACTERISTICS = 36;
constexpr uint32_t IMAGE_SCN_MEM_EXECUTE = 0x20000000u;
constexpr uint32_t IMAGE_SCN_MEM_READ = 0x40000000u;
constexpr uint32_t IMAGE_SCN_MEM_WRITE = 0x80000000u;
constexpr uint32_t SECTION_ACCESS =
    IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_READ | IMAGE_SCN_MEM_WRITE;

// Debug directory entry
constexpr size_t DEBUG_ENTRY_SIZE = 28;
constexpr size_t DE_SIZE_OF_DATA = 16;
constexpr size_t DE_POINTER_TO_RAW_DATA = 24;

// Load configuration: its Size field first; the name under which a program
// defines it (PE32 symbols carry the C prefix "_"); the smallest size that
// reaches the security cookie, and so covers DependentLoadFlags, which
// comes before it.
constexpr const char* LOAD_CONFIG_SYMBOL_PE32 = "__load_config_used";
constexpr const char* LOAD_CONFIG_SYMBOL_PE32_PLUS = "_load_config_used";
constexpr uint32_t LOAD_CONFIG_MIN_SIZE_PE32 = 0x40;
constexpr uint32_t LOAD_CONFIG_MIN_SIZE_PE32_PLUS = 0x60;

// COFF symbol: a short name (or 0 and an offset into the string table that
// follows the symbols), the value (offset in its section), the 1-based
// section number, the type, the storage class and the number of auxiliary
// records behind it.
constexpr size_t COFF_SYMBOL_SIZE = 18;
constexpr size_t CS_VALUE = 8;
constexpr size_t CS_SECTION_NUMBER = 12;
constexpr size_t CS_AUX_COUNT = 17;

// Resource tree: a directory (16 bytes, then its named and numbered entry
// counts at 12 and 14) is followed by its 8-byte entries (id, target); a
// target with the high bit set is a subdirectory, else a 16-byte data entry
// (RVA, size, code page, reserved).
constexpr size_t RESOURCE_DIRECTORY_SIZE = 16;
constexpr size_t RESOURCE_ENTRY_SIZE = 8;
constexpr size_t RESOURCE_DATA_ENTRY_SIZE = 16;
constexpr uint32_t RESOURCE_SUBDIRECTORY = 0x80000000u;

inline uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

inline uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A value in an error message.
inline std::string hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
  return text;
}
