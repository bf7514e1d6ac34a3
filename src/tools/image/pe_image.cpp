#include "tools/image/pe_image.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t MAX_SECTIONS = 96;
constexpr uint32_t PAGE_SIZE = 0x1000;

bool isPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

class Reader {
 public:
  Reader(const std::vector<uint8_t>& data, std::string& error) : data_(data), error_(error) {}

  bool read(bool acceptSymbolTable, PeImage& image) {
    return readHeaders(image) && readSections(image) && readSymbolTable(acceptSymbolTable, image);
  }

 private:
  bool fail(const std::string& text) {
    error_ = text;
    return false;
  }
  bool has(uint64_t offset, uint64_t length) const {
    return offset <= data_.size() && length <= data_.size() - offset;
  }
  uint16_t u16(size_t offset) const { return get16(data_.data() + offset); }
  uint32_t u32(size_t offset) const { return get32(data_.data() + offset); }

  bool readHeaders(PeImage& image);
  bool readSections(PeImage& image);
  bool readDirectories(PeImage& image);
  bool readSymbolTable(bool acceptSymbolTable, PeImage& image);

  const std::vector<uint8_t>& data_;
  std::string& error_;
};

bool Reader::readHeaders(PeImage& image) {
  if (!has(0, MZ_HEADER_SIZE) || data_[0] != 'M' || data_[1] != 'Z')
    return fail("not an MZ executable");
  uint32_t lfanew = u32(MZ_LFANEW);
  if (lfanew < MZ_HEADER_SIZE) return fail("e_lfanew " + hex(lfanew) + " lies in the MZ header");
  if (!has(lfanew, OPTIONAL_HEADER)) return fail("e_lfanew " + hex(lfanew) + " is past the end");
  if (std::memcmp(data_.data() + lfanew, "PE\0\0", 4) != 0) return fail("no PE signature");
  image.peHeader = lfanew;
  image.optionalHeader = lfanew + OPTIONAL_HEADER;

  uint16_t characteristics = u16(lfanew + FH_CHARACTERISTICS);
  if (!(characteristics & IMAGE_FILE_EXECUTABLE_IMAGE)) return fail("not an executable image");

  uint16_t optionalSize = u16(lfanew + FH_SIZE_OF_OPTIONAL_HEADER);
  if (!has(image.optionalHeader, optionalSize)) return fail("optional header is past the end");
  if (optionalSize < 2) return fail("optional header is missing");
  uint16_t magic = u16(image.optionalHeader);
  size_t countField;
  if (magic == MAGIC_PE32)
    countField = OH_DIRECTORY_COUNT_PE32;
  else if (magic == MAGIC_PE32_PLUS)
    countField = OH_DIRECTORY_COUNT_PE32_PLUS;
  else
    return fail("unknown optional header magic " + hex(magic));
  image.pe32Plus = magic == MAGIC_PE32_PLUS;
  if (optionalSize < countField + 4) return fail("optional header is too short");
  uint32_t directoryCount = u32(image.optionalHeader + countField);
  if (directoryCount > MAX_DIRECTORIES ||
      countField + 4 + 8 * static_cast<size_t>(directoryCount) > optionalSize)
    return fail("bad number of data directories " + std::to_string(directoryCount));

  uint32_t sectionAlignment = u32(image.optionalHeader + OH_SECTION_ALIGNMENT);
  image.sectionAlignment = sectionAlignment;
  image.fileAlignment = u32(image.optionalHeader + OH_FILE_ALIGNMENT);
  if (!isPowerOfTwo(image.fileAlignment) || image.fileAlignment < 512 ||
      image.fileAlignment > 0x10000)
    return fail("bad file alignment " + hex(image.fileAlignment));
  // Below the page size the loader wants raw offsets equal to RVAs, which a
  // moved image cannot keep.
  if (!isPowerOfTwo(sectionAlignment) || sectionAlignment < PAGE_SIZE)
    return fail("section alignment " + hex(sectionAlignment) + " is not a page multiple");

  uint16_t sectionCount = u16(lfanew + FH_NUMBER_OF_SECTIONS);
  if (sectionCount == 0 || sectionCount > MAX_SECTIONS)
    return fail("bad number of sections " + std::to_string(sectionCount));
  size_t sectionTable = image.optionalHeader + optionalSize;
  if (!has(sectionTable, SECTION_HEADER_SIZE * sectionCount))
    return fail("section table is past the end");
  image.headersEnd = sectionTable + SECTION_HEADER_SIZE * sectionCount;

  image.sizeOfHeaders = u32(image.optionalHeader + OH_SIZE_OF_HEADERS);
  if (image.sizeOfHeaders < image.headersEnd || image.sizeOfHeaders > data_.size() ||
      image.sizeOfHeaders % image.fileAlignment != 0)
    return fail("bad SizeOfHeaders " + hex(image.sizeOfHeaders));

  image.sections.clear();
  for (size_t i = 0; i < sectionCount; ++i) {
    size_t header = sectionTable + SECTION_HEADER_SIZE * i;
    image.sections.push_back({header, u32(header + SH_VIRTUAL_ADDRESS),
                              u32(header + SH_VIRTUAL_SIZE), u32(header + SH_SIZE_OF_RAW_DATA),
                              u32(header + SH_POINTER_TO_RAW_DATA),
                              u32(header + SH_CHARACTERISTICS)});
  }
  image.directories = image.optionalHeader + countField + 4;
  image.dataDirectories.clear();
  for (uint32_t i = 0; i < directoryCount; ++i)
    image.dataDirectories.push_back(
        {u32(image.directories + 8 * i), u32(image.directories + 8 * i + 4)});
  return readDirectories(image);
}

bool Reader::readSections(PeImage& image) {
  image.firstSectionAddress = UINT32_MAX;
  image.rawDataEnd = image.sizeOfHeaders;
  for (const PeSection& s : image.sections) {
    const uint8_t* nameField = data_.data() + s.header;
    std::string name(nameField, std::find(nameField, nameField + 8, 0));
    if (s.virtualAddress < image.sizeOfHeaders)
      return fail("section " + name + " overlaps the headers");
    image.firstSectionAddress = std::min(image.firstSectionAddress, s.virtualAddress);
    if (s.rawSize == 0) {
      if (s.rawPointer != 0 && (s.rawPointer < image.sizeOfHeaders || s.rawPointer > data_.size()))
        return fail("section " + name + " has a bad raw data offset");
      continue;
    }
    if (s.rawPointer < image.sizeOfHeaders)
      return fail("raw data of section " + name + " lies in the headers");
    if (!has(s.rawPointer, s.rawSize)) return fail("raw data of section " + name + " is cut off");
    image.rawDataEnd = std::max<uint64_t>(image.rawDataEnd, uint64_t{s.rawPointer} + s.rawSize);
    for (size_t field : {SH_POINTER_TO_RELOCATIONS, SH_POINTER_TO_LINENUMBERS}) {
      uint32_t pointer = u32(s.header + field);
      if (pointer != 0 && (pointer < image.sizeOfHeaders || pointer > data_.size()))
        return fail("section " + name + " has a bad relocation or line number offset");
    }
  }
  return true;
}

bool Reader::readDirectories(PeImage& image) {
  image.debugDirectory = 0;
  image.debugEntries = 0;
  for (uint32_t i = 0; i < image.dataDirectories.size(); ++i) {
    const PeDirectory& d = image.dataDirectories[i];
    if (d.size == 0) continue;
    // The certificate table is addressed by file offset and covers the file
    // as it is; an image has to be signed after its layout.
    if (i == DIRECTORY_SECURITY) return fail(std::string(PE_IMAGE_SIGNED) + "; sign it last");
    if (d.address < image.sizeOfHeaders)
      return fail("data directory " + std::to_string(i) + " lies in the headers");
  }
  const PeDirectory debug = image.directory(DIRECTORY_DEBUG);
  if (debug.size != 0) {
    if (debug.size % DEBUG_ENTRY_SIZE != 0)
      return fail("bad debug directory size " + hex(debug.size));
    if (!image.rvaToFileOffset(debug.address, debug.size, image.debugDirectory))
      return fail("debug directory is not in a section's raw data");
    image.debugEntries = debug.size / DEBUG_ENTRY_SIZE;
  }
  return true;
}

bool Reader::readSymbolTable(bool acceptSymbolTable, PeImage& image) {
  image.symbolTable = u32(image.peHeader + FH_POINTER_TO_SYMBOL_TABLE);
  image.symbolCount = 0;
  if (image.symbolTable == 0) return true;
  if (!acceptSymbolTable) return fail("the image has a COFF symbol table; link it with -s");
  uint64_t strings = uint64_t{image.symbolTable} +
                     uint64_t{u32(image.peHeader + FH_NUMBER_OF_SYMBOLS)} * COFF_SYMBOL_SIZE;
  if (image.symbolTable < image.rawDataEnd || !has(strings, 4))
    return fail("bad COFF symbol table offset " + hex(image.symbolTable));
  uint32_t stringsSize = u32(static_cast<size_t>(strings));
  if (stringsSize < 4 || strings + stringsSize != data_.size())
    return fail("the COFF symbol table is not at the end of the file");
  for (const PeSection& s : image.sections) {
    if (data_[s.header] == '/')
      return fail("section names are kept in the COFF string table; link with -s");
  }
  image.symbolCount = u32(image.peHeader + FH_NUMBER_OF_SYMBOLS);
  return true;
}

}  // namespace

PeDirectory PeImage::directory(uint32_t index) const {
  return index < dataDirectories.size() ? dataDirectories[index] : PeDirectory{0, 0};
}

bool PeImage::rvaToFileOffset(uint32_t rva, uint32_t length, size_t& offset) const {
  for (const PeSection& s : sections) {
    if (rva < s.virtualAddress) continue;
    uint64_t inside = uint64_t{rva} - s.virtualAddress;
    if (inside + length > s.rawSize) continue;
    offset = static_cast<size_t>(s.rawPointer + inside);
    return true;
  }
  return false;
}

bool readPeImage(const std::vector<uint8_t>& data, PeImage& image, std::string& error,
                 bool acceptSymbolTable) {
  return Reader(data, error).read(acceptSymbolTable, image);
}

bool findCoffSymbol(const std::vector<uint8_t>& data, const PeImage& image, const std::string& name,
                    uint32_t& rva) {
  if (image.symbolTable == 0) return false;
  // The reader checked that the string table ends the file right behind
  // the records.
  const size_t strings = image.symbolTable + size_t{image.symbolCount} * COFF_SYMBOL_SIZE;
  for (uint32_t i = 0; i < image.symbolCount;
       i += 1 + data[image.symbolTable + i * COFF_SYMBOL_SIZE + CS_AUX_COUNT]) {
    const uint8_t* symbol = data.data() + image.symbolTable + size_t{i} * COFF_SYMBOL_SIZE;
    std::string symbolName;
    if (get32(symbol) != 0) {
      symbolName.assign(symbol, std::find(symbol, symbol + 8, 0));
    } else {
      uint64_t at = uint64_t{strings} + get32(symbol + 4);
      if (at >= data.size()) continue;
      const uint8_t* text = data.data() + at;
      symbolName.assign(text, std::find(text, data.data() + data.size(), 0));
    }
    if (symbolName != name) continue;
    uint16_t number = get16(symbol + CS_SECTION_NUMBER);
    if (number == 0 || number > image.sections.size()) return false;
    const PeSection& section = image.sections[number - 1];
    uint32_t value = get32(symbol + CS_VALUE);
    if (value >= std::max(section.virtualSize, section.rawSize)) return false;
    rva = section.virtualAddress + value;
    return true;
  }
  return false;
}

bool PeResourceTree::open(const std::vector<uint8_t>& data, const PeImage& image) {
  const PeDirectory resources = image.directory(DIRECTORY_RESOURCE);
  size_t base = 0;
  if (resources.size == 0 || !image.rvaToFileOffset(resources.address, resources.size, base))
    return false;
  data_ = &data;
  base_ = base;
  size_ = resources.size;
  return true;
}

bool PeResourceTree::find(uint32_t directory, uint32_t id, uint32_t& target) const {
  if (!inside(directory, RESOURCE_DIRECTORY_SIZE)) return false;
  const uint8_t* d = data_->data() + base_ + directory;
  size_t entries = size_t{get16(d + 12)} + get16(d + 14);
  for (size_t i = 0; i < entries; ++i) {
    uint64_t entry = uint64_t{directory} + RESOURCE_DIRECTORY_SIZE + RESOURCE_ENTRY_SIZE * i;
    if (!inside(entry, RESOURCE_ENTRY_SIZE)) return false;
    const uint8_t* e = data_->data() + base_ + entry;
    if (id == 0 || get32(e) == id) {
      target = get32(e + 4);
      return true;
    }
  }
  return false;
}

bool PeResourceTree::dataEntry(uint32_t offset, uint32_t& rva, uint32_t& size) const {
  if (!inside(offset, RESOURCE_DATA_ENTRY_SIZE)) return false;
  rva = get32(data_->data() + base_ + offset);
  size = get32(data_->data() + base_ + offset + 4);
  return true;
}
