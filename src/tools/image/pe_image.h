// The PE reader: parses a linked Windows executable (PE32 or PE32+) and
// checks what the writers rely on: the DOS and PE headers, the section
// table, the data directories (no certificate table, none inside the
// headers, the debug directory inside a section's raw data) and the COFF
// symbol table. PeImage is the map of the file that it makes; every offset
// in it lies inside the file. PeResourceTree walks the resource directory;
// findCoffSymbol looks a name up in the symbol table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/image/pe_format.h"

struct PeSection {
  size_t header;  // file offset of its section header
  uint32_t virtualAddress;
  uint32_t virtualSize;
  uint32_t rawSize;
  uint32_t rawPointer;
  uint32_t characteristics;
};

struct PeDirectory {
  uint32_t address;  // RVA
  uint32_t size;     // 0 when the directory is not in use
};

struct PeImage {
  bool pe32Plus;
  size_t peHeader;                           // e_lfanew
  size_t optionalHeader;                     // peHeader + OPTIONAL_HEADER
  size_t directories;                        // file offset of the data directories
  std::vector<PeDirectory> dataDirectories;  // as many as the header declares
  size_t headersEnd;                         // end of the section table
  uint32_t sectionAlignment;
  uint32_t fileAlignment;
  uint32_t sizeOfHeaders;
  uint32_t firstSectionAddress;
  uint64_t rawDataEnd;  // end of the last section's raw data
  std::vector<PeSection> sections;
  size_t debugDirectory;  // file offset, 0 when there is none
  uint32_t debugEntries;
  uint32_t symbolTable;  // PointerToSymbolTable, 0 when there is none
  uint32_t symbolCount;  // records in it, auxiliary ones included

  // The data directory at index; an unused one past the declared count.
  PeDirectory directory(uint32_t index) const;
  // File offset of [rva, rva + length) inside one section's raw data.
  bool rvaToFileOffset(uint32_t rva, uint32_t length, size_t& offset) const;
};

// How readPeImage's error begins when it refuses an image because it
// carries a certificate table (a signature).
constexpr const char* PE_IMAGE_SIGNED = "the image is signed";

// Parses data into image. A COFF symbol table is refused unless
// acceptSymbolTable (the layout can drop one at the end of the file). On
// any problem returns false with a description in error.
bool readPeImage(const std::vector<uint8_t>& data, PeImage& image, std::string& error,
                 bool acceptSymbolTable = false);

// The RVA of the symbol called name in the COFF symbol table of a parsed
// image that kept it (acceptSymbolTable): its section's address plus its
// value. False when there is no such symbol in a section, or it lies
// outside that section's memory.
bool findCoffSymbol(const std::vector<uint8_t>& data, const PeImage& image, const std::string& name,
                    uint32_t& rva);

// The resource directory of a parsed image: every offset in it is relative
// to its start and is checked against its size.
class PeResourceTree {
 public:
  // False when the image has no resource directory in a section's raw data.
  // data has to outlive the tree.
  bool open(const std::vector<uint8_t>& data, const PeImage& image);
  // The target of the entry with the numeric id in the directory at offset
  // directory, or of its first entry when id is 0: a subdirectory's offset
  // with RESOURCE_SUBDIRECTORY set, or a data entry's offset. False when
  // there is none.
  bool find(uint32_t directory, uint32_t id, uint32_t& target) const;
  // The RVA and size of the data entry at offset.
  bool dataEntry(uint32_t offset, uint32_t& rva, uint32_t& size) const;

 private:
  bool inside(uint64_t offset, uint64_t length) const { return offset + length <= size_; }

  const std::vector<uint8_t>* data_ = nullptr;
  size_t base_ = 0;
  uint32_t size_ = 0;
};
