#include "tools/image/pe_layout.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "startup/config_block.h"
#include "tools/image/dos_part.h"

namespace {

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
constexpr size_t OH_DIRECTORY_COUNT_PE32 = 92;
constexpr size_t OH_DIRECTORY_COUNT_PE32_PLUS = 108;
constexpr uint32_t MAX_DIRECTORIES = 16;
// Export, import, resources, exceptions and the certificate table: what a
// compact header keeps at least, so that the finished file can be signed.
constexpr uint32_t MIN_COMPACT_DIRECTORIES = 5;
constexpr uint32_t DIRECTORY_RESOURCE = 2;
constexpr uint32_t DIRECTORY_SECURITY = 4;
constexpr uint32_t DIRECTORY_DEBUG = 6;
constexpr uint32_t DIRECTORY_IMPORT_ADDRESS_TABLE = 12;
constexpr uint32_t IMAGE_SCN_MEM_WRITE = 0x80000000u;

// Section header
constexpr size_t SECTION_HEADER_SIZE = 40;
constexpr size_t SH_VIRTUAL_SIZE = 8;
constexpr size_t SH_VIRTUAL_ADDRESS = 12;
constexpr size_t SH_SIZE_OF_RAW_DATA = 16;
constexpr size_t SH_POINTER_TO_RAW_DATA = 20;
constexpr size_t SH_POINTER_TO_RELOCATIONS = 24;
constexpr size_t SH_POINTER_TO_LINENUMBERS = 28;
constexpr size_t SH_CHARACTERISTICS = 36;
constexpr uint32_t MAX_SECTIONS = 96;

// Debug directory entry
constexpr size_t DEBUG_ENTRY_SIZE = 28;
constexpr size_t DE_SIZE_OF_DATA = 16;
constexpr size_t DE_POINTER_TO_RAW_DATA = 24;

constexpr size_t COFF_SYMBOL_SIZE = 18;
constexpr uint32_t PAGE_SIZE = 0x1000;
// archiveOffset is used as a signed 32-bit file offset.
constexpr uint64_t MAX_IMAGE_SIZE = 0x80000000u;

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool isPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

uint64_t roundUp(uint64_t v, uint32_t alignment) {
  return (v + alignment - 1) / alignment * alignment;
}

std::string hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
  return text;
}

struct Section {
  size_t header;  // file offset of its section header in the input
  uint32_t virtualAddress;
  uint32_t virtualSize;
  uint32_t rawSize;
  uint32_t rawPointer;
};

// What the parser learned about the input; all offsets are checked against
// its length.
struct LinkedImage {
  size_t peHeader;        // e_lfanew
  size_t optionalHeader;  // peHeader + OPTIONAL_HEADER
  size_t directories;     // file offset of the data directories
  uint32_t directoryCount;
  size_t headersEnd;  // end of the section table
  uint32_t sectionAlignment;
  uint32_t fileAlignment;
  uint32_t sizeOfHeaders;
  uint32_t firstSectionAddress;
  uint64_t rawDataEnd;  // end of the last section's raw data
  std::vector<Section> sections;
  size_t debugDirectory;  // file offset, 0 when there is none
  uint32_t debugEntries;
  uint32_t resourceAddress;  // RVA of the resource directory, 0 when there is none
  uint32_t resourceSize;
  uint32_t symbolTable;  // PointerToSymbolTable, 0 when there is none
};

class Parser {
 public:
  Parser(const std::vector<uint8_t>& data, std::string& error) : data_(data), error_(error) {}

  bool parse(const LayoutOptions& options, LinkedImage& image);
  // File offset of [rva, rva + length) inside one section's raw data.
  bool rvaToFileOffset(const LinkedImage& image, uint32_t rva, uint32_t length,
                       size_t& offset) const;

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

  bool parseHeaders(LinkedImage& image);
  bool parseSections(LinkedImage& image);
  bool parseDirectories(LinkedImage& image, size_t directories, uint32_t count);
  bool parseSymbolTable(const LayoutOptions& options, LinkedImage& image);

  const std::vector<uint8_t>& data_;
  std::string& error_;
};

bool Parser::parse(const LayoutOptions& options, LinkedImage& image) {
  return parseHeaders(image) && parseSections(image) && parseSymbolTable(options, image);
}

bool Parser::parseHeaders(LinkedImage& image) {
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
                              u32(header + SH_POINTER_TO_RAW_DATA)});
  }
  image.directories = image.optionalHeader + countField + 4;
  image.directoryCount = directoryCount;
  return parseDirectories(image, image.directories, directoryCount);
}

bool Parser::parseSections(LinkedImage& image) {
  image.firstSectionAddress = UINT32_MAX;
  image.rawDataEnd = image.sizeOfHeaders;
  for (const Section& s : image.sections) {
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

bool Parser::rvaToFileOffset(const LinkedImage& image, uint32_t rva, uint32_t length,
                             size_t& offset) const {
  for (const Section& s : image.sections) {
    if (rva < s.virtualAddress) continue;
    uint64_t inside = uint64_t{rva} - s.virtualAddress;
    if (inside + length > s.rawSize) continue;
    offset = static_cast<size_t>(s.rawPointer + inside);
    return true;
  }
  return false;
}

bool Parser::parseDirectories(LinkedImage& image, size_t directories, uint32_t count) {
  image.debugDirectory = 0;
  image.debugEntries = 0;
  image.resourceAddress = 0;
  image.resourceSize = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t address = u32(directories + 8 * i);
    uint32_t size = u32(directories + 8 * i + 4);
    if (size == 0) continue;
    // The certificate table is addressed by file offset and covers the file
    // as it is; an image has to be signed after its layout.
    if (i == DIRECTORY_SECURITY) return fail("the image is signed; sign it after the layout");
    if (address < image.sizeOfHeaders)
      return fail("data directory " + std::to_string(i) + " lies in the headers");
    if (i == DIRECTORY_RESOURCE) {
      image.resourceAddress = address;
      image.resourceSize = size;
    }
  }
  if (count > DIRECTORY_DEBUG) {
    uint32_t address = u32(directories + 8 * DIRECTORY_DEBUG);
    uint32_t size = u32(directories + 8 * DIRECTORY_DEBUG + 4);
    if (size != 0) {
      if (size % DEBUG_ENTRY_SIZE != 0) return fail("bad debug directory size " + hex(size));
      if (!rvaToFileOffset(image, address, size, image.debugDirectory))
        return fail("debug directory is not in a section's raw data");
      image.debugEntries = size / DEBUG_ENTRY_SIZE;
    }
  }
  return true;
}

bool Parser::parseSymbolTable(const LayoutOptions& options, LinkedImage& image) {
  image.symbolTable = u32(image.peHeader + FH_POINTER_TO_SYMBOL_TABLE);
  if (image.symbolTable == 0) return true;
  if (!options.stripSymbols) return fail("the image has a COFF symbol table; link it with -s");
  uint64_t strings = uint64_t{image.symbolTable} +
                     uint64_t{u32(image.peHeader + FH_NUMBER_OF_SYMBOLS)} * COFF_SYMBOL_SIZE;
  if (image.symbolTable < image.rawDataEnd || !has(strings, 4))
    return fail("bad COFF symbol table offset " + hex(image.symbolTable));
  uint32_t stringsSize = u32(static_cast<size_t>(strings));
  if (stringsSize < 4 || strings + stringsSize != data_.size())
    return fail("the COFF symbol table is not at the end of the file");
  for (const Section& s : image.sections) {
    if (data_[s.header] == '/')
      return fail("section names are kept in the COFF string table; link with -s");
  }
  return true;
}

// Debug data, like everything else behind the headers, moves by the shift.
bool shiftDebugData(const LinkedImage& image, size_t keptEnd, int64_t shift,
                    std::vector<uint8_t>& out, std::string& error) {
  for (uint32_t i = 0; i < image.debugEntries; ++i) {
    uint8_t* entry = out.data() + image.debugDirectory + shift + DEBUG_ENTRY_SIZE * i;
    uint32_t pointer = get32(entry + DE_POINTER_TO_RAW_DATA);
    uint32_t size = get32(entry + DE_SIZE_OF_DATA);
    if (pointer == 0) continue;
    if (pointer < image.sizeOfHeaders || uint64_t{pointer} + size > keptEnd) {
      error = "debug data at " + hex(pointer) + " is outside the kept image";
      return false;
    }
    put32(entry + DE_POINTER_TO_RAW_DATA, static_cast<uint32_t>(pointer + shift));
  }
  return true;
}

// The PE headers as they are written: signature, file header, optional
// header and section table, and where each written section header lies in
// them. Without compact, a copy of the input's.
struct Headers {
  std::vector<uint8_t> bytes;
  std::vector<size_t> sections;
};

bool inWritableSection(const std::vector<uint8_t>& in, const LinkedImage& image, uint32_t rva) {
  for (const Section& s : image.sections) {
    if (rva >= s.virtualAddress && rva - s.virtualAddress < s.virtualSize)
      return (get32(in.data() + s.header + SH_CHARACTERISTICS) & IMAGE_SCN_MEM_WRITE) != 0;
  }
  return false;
}

Headers buildHeaders(const std::vector<uint8_t>& in, const LinkedImage& image, bool compact) {
  Headers out;
  if (!compact) {
    out.bytes.assign(in.begin() + image.peHeader, in.begin() + image.headersEnd);
    for (const Section& s : image.sections) out.sections.push_back(s.header - image.peHeader);
    return out;
  }
  uint32_t kept = std::min(MIN_COMPACT_DIRECTORIES, image.directoryCount);
  for (uint32_t i = 0; i < image.directoryCount; ++i) {
    const uint8_t* directory = in.data() + image.directories + 8 * i;
    // The import address table's entry only names what the loader has to
    // make writable while it binds the imports; in a writable section there
    // is nothing to do, and the entry can go.
    if (i == DIRECTORY_IMPORT_ADDRESS_TABLE && inWritableSection(in, image, get32(directory)))
      continue;
    if (get32(directory + 4) != 0) kept = std::max(kept, i + 1);
  }
  size_t directoriesEnd = image.directories + 8 * size_t{kept};
  out.bytes.assign(in.begin() + image.peHeader, in.begin() + directoriesEnd);
  put32(out.bytes.data() + (image.directories - 4 - image.peHeader), kept);
  put16(out.bytes.data() + FH_SIZE_OF_OPTIONAL_HEADER,
        static_cast<uint16_t>(directoriesEnd - image.optionalHeader));

  const Section* previous = nullptr;
  for (const Section& s : image.sections) {
    // Memory without file data right behind the section before: that
    // section's zero-filled tail, one section header less.
    uint64_t tail = previous ? uint64_t{previous->virtualAddress} +
                                   roundUp(previous->virtualSize, image.sectionAlignment)
                             : 0;
    uint64_t end = uint64_t{s.virtualAddress} + s.virtualSize;
    if (previous && previous->rawSize != 0 && s.rawSize == 0 && tail == s.virtualAddress &&
        end <= UINT32_MAX) {
      uint8_t* header = out.bytes.data() + out.sections.back();
      put32(header + SH_VIRTUAL_SIZE, static_cast<uint32_t>(end - previous->virtualAddress));
      put32(header + SH_CHARACTERISTICS,
            get32(header + SH_CHARACTERISTICS) | get32(in.data() + s.header + SH_CHARACTERISTICS));
      previous = nullptr;  // one fold per section
      continue;
    }
    out.sections.push_back(out.bytes.size());
    out.bytes.insert(out.bytes.end(), in.begin() + s.header,
                     in.begin() + s.header + SECTION_HEADER_SIZE);
    previous = &s;
  }
  put16(out.bytes.data() + FH_NUMBER_OF_SECTIONS, static_cast<uint16_t>(out.sections.size()));
  return out;
}

}  // namespace

uint32_t suitablePeOffset(uint32_t wanted, bool compact) {
  if (wanted == 0 && !compact) return DEFAULT_PE_OFFSET;
  uint64_t offset = std::max<uint64_t>(wanted, DOS_PART_SIZE);
  return static_cast<uint32_t>(std::min<uint64_t>(roundUp(offset, 8), 0xFFFFFFF8u));
}

uint32_t peImageChecksum(const uint8_t* image, size_t size, size_t checksumOffset) {
  uint32_t sum = 0;
  for (size_t i = 0; i < size; i += 2) {
    uint32_t word = 0;
    for (size_t b = 0; b < 2 && i + b < size; ++b) {
      bool inField = i + b >= checksumOffset && i + b < checksumOffset + 4;
      if (!inField) word |= static_cast<uint32_t>(image[i + b]) << (8 * b);
    }
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return sum + static_cast<uint32_t>(size);
}

bool layoutStubImage(const std::vector<uint8_t>& linkedPe, std::vector<uint8_t>& out,
                     std::string& error, const LayoutOptions& options) {
  out.clear();
  LinkedImage image;
  Parser parser(linkedPe, error);
  if (!parser.parse(options, image)) return false;

  uint32_t peOffset = suitablePeOffset(options.peOffset, options.compactHeaders);
  const Headers headers = buildHeaders(linkedPe, image, options.compactHeaders);
  uint64_t headersLength = headers.bytes.size();
  uint64_t sizeOfHeaders = roundUp(uint64_t{peOffset} + headersLength, image.fileAlignment);
  if (sizeOfHeaders > image.firstSectionAddress) {
    error = "headers of " + hex(sizeOfHeaders) + " bytes would overlap the first section at " +
            hex(image.firstSectionAddress);
    return false;
  }
  size_t keptEnd = image.symbolTable != 0 ? image.symbolTable : linkedPe.size();
  uint64_t size = sizeOfHeaders + (keptEnd - image.sizeOfHeaders);
  if (size >= MAX_IMAGE_SIZE) {
    error = "the laid-out image would be 2 GiB or longer";
    return false;
  }
  int64_t shift = static_cast<int64_t>(sizeOfHeaders) - static_cast<int64_t>(image.sizeOfHeaders);

  std::vector<uint8_t> result(static_cast<size_t>(size), 0);
  writeDosPart(result.data(), peOffset);
  put32(result.data() + CONFIG_BLOCK_OFFSET, static_cast<uint32_t>(size));
  std::memcpy(result.data() + peOffset, headers.bytes.data(), headersLength);
  std::memcpy(result.data() + sizeOfHeaders, linkedPe.data() + image.sizeOfHeaders,
              keptEnd - image.sizeOfHeaders);

  uint8_t* pe = result.data() + peOffset;
  uint8_t* optional = pe + OPTIONAL_HEADER;
  put32(optional + OH_SIZE_OF_HEADERS, static_cast<uint32_t>(sizeOfHeaders));
  for (size_t section : headers.sections) {
    uint8_t* header = result.data() + peOffset + section;
    for (size_t field :
         {SH_POINTER_TO_RAW_DATA, SH_POINTER_TO_RELOCATIONS, SH_POINTER_TO_LINENUMBERS}) {
      uint32_t pointer = get32(header + field);
      if (pointer != 0) put32(header + field, static_cast<uint32_t>(pointer + shift));
    }
  }
  if (!shiftDebugData(image, keptEnd, shift, result, error)) return false;
  if (image.symbolTable != 0) {
    put32(pe + FH_POINTER_TO_SYMBOL_TABLE, 0);
    put32(pe + FH_NUMBER_OF_SYMBOLS, 0);
    put16(pe + FH_CHARACTERISTICS, get16(pe + FH_CHARACTERISTICS) | IMAGE_FILE_LINE_NUMS_STRIPPED |
                                       IMAGE_FILE_LOCAL_SYMS_STRIPPED);
  }

  size_t checksumOffset = peOffset + OPTIONAL_HEADER + OH_CHECKSUM;
  put32(result.data() + checksumOffset,
        peImageChecksum(result.data(), result.size(), checksumOffset));
  out.swap(result);
  return true;
}

namespace {

constexpr uint32_t RT_MANIFEST_TYPE = 24;
constexpr uint32_t MANIFEST_ID = 1;
constexpr uint32_t RESOURCE_SUBDIRECTORY = 0x80000000u;
constexpr size_t RESOURCE_DIRECTORY_SIZE = 16;
constexpr size_t RESOURCE_ENTRY_SIZE = 8;
constexpr size_t RESOURCE_DATA_ENTRY_SIZE = 16;

// The resource tree: every offset in it is relative to its start and is
// checked against the directory's size.
class ResourceTree {
 public:
  ResourceTree(const std::vector<uint8_t>& data, size_t base, uint32_t size)
      : data_(data), base_(base), size_(size) {}

  // The target of the entry of the directory at offset with the numeric id,
  // or of its first entry when id is 0. False when there is none.
  bool find(uint32_t directory, uint32_t id, uint32_t& target) const {
    if (!inside(directory, RESOURCE_DIRECTORY_SIZE)) return false;
    const uint8_t* d = data_.data() + base_ + directory;
    size_t entries = size_t{get16(d + 12)} + get16(d + 14);
    for (size_t i = 0; i < entries; ++i) {
      uint64_t entry = uint64_t{directory} + RESOURCE_DIRECTORY_SIZE + RESOURCE_ENTRY_SIZE * i;
      if (!inside(entry, RESOURCE_ENTRY_SIZE)) return false;
      const uint8_t* e = data_.data() + base_ + entry;
      if (id == 0 || get32(e) == id) {
        target = get32(e + 4);
        return true;
      }
    }
    return false;
  }
  // The RVA and size of the data entry at offset.
  bool dataEntry(uint32_t offset, uint32_t& rva, uint32_t& size) const {
    if (!inside(offset, RESOURCE_DATA_ENTRY_SIZE)) return false;
    rva = get32(data_.data() + base_ + offset);
    size = get32(data_.data() + base_ + offset + 4);
    return true;
  }

 private:
  bool inside(uint64_t offset, uint64_t length) const { return offset + length <= size_; }

  const std::vector<uint8_t>& data_;
  size_t base_;
  uint32_t size_;
};

bool isBlank(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Finds the level attribute of the requestedExecutionLevel element in
// [text, text + length): the value's offset and length, and the blanks
// that follow its closing quote and may be taken for a longer value.
bool findLevel(const uint8_t* text, size_t length, size_t& value, size_t& valueLength, size_t& room,
               std::string& error) {
  const std::string manifest(text, text + length);
  size_t element = manifest.find("<requestedExecutionLevel");
  size_t end = manifest.find('>', element);
  if (element == std::string::npos || end == std::string::npos) {
    error = "the manifest requests no execution level";
    return false;
  }
  size_t attribute = element;
  do {
    attribute = manifest.find("level=", attribute + 1);
  } while (attribute < end && !isBlank(text[attribute - 1]));
  if (attribute >= end || (text[attribute + 6] != '"' && text[attribute + 6] != '\'')) {
    error = "the manifest's requestedExecutionLevel has no level";
    return false;
  }
  char quote = static_cast<char>(text[attribute + 6]);
  value = attribute + 7;
  size_t close = manifest.find(quote, value);
  if (close >= end) {
    error = "the manifest's level is not closed";
    return false;
  }
  valueLength = close - value;
  size_t blanks = 0;
  while (isBlank(text[close + 1 + blanks])) ++blanks;
  // Another attribute behind the level keeps one blank before it.
  char next = static_cast<char>(text[close + 1 + blanks]);
  room = valueLength + blanks - (next != '/' && next != '>' && blanks > 0 ? 1 : 0);
  return true;
}

}  // namespace

bool setManifestExecutionLevel(std::vector<uint8_t>& image, const std::string& level,
                               std::string& error) {
  if (level.empty() || level.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                               "abcdefghijklmnopqrstuvwxyz") != std::string::npos) {
    error = "'" + level + "' is not an execution level";
    return false;
  }
  LinkedImage pe;
  Parser parser(image, error);
  if (!parser.parse(LayoutOptions(), pe)) return false;
  size_t base = 0;
  if (pe.resourceAddress == 0 ||
      !parser.rvaToFileOffset(pe, pe.resourceAddress, pe.resourceSize, base)) {
    error = "the image has no resources";
    return false;
  }
  ResourceTree tree(image, base, pe.resourceSize);
  uint32_t names = 0, languages = 0, entry = 0, rva = 0, size = 0;
  size_t manifest = 0;
  if (!tree.find(0, RT_MANIFEST_TYPE, names) || !(names & RESOURCE_SUBDIRECTORY) ||
      !tree.find(names & ~RESOURCE_SUBDIRECTORY, MANIFEST_ID, languages) ||
      !(languages & RESOURCE_SUBDIRECTORY) ||
      !tree.find(languages & ~RESOURCE_SUBDIRECTORY, 0, entry) || (entry & RESOURCE_SUBDIRECTORY) ||
      !tree.dataEntry(entry, rva, size) || !parser.rvaToFileOffset(pe, rva, size, manifest)) {
    error = "the image has no application manifest (resource RT_MANIFEST 1)";
    return false;
  }
  size_t value = 0, valueLength = 0, room = 0;
  if (!findLevel(image.data() + manifest, size, value, valueLength, room, error)) return false;
  if (level.size() > room) {
    error = "the manifest has room for a level of " + std::to_string(room) + " characters, not " +
            level;
    return false;
  }
  // The value, its quote and the blanks after it are written anew: the
  // level, the quote, blanks up to where the old ones ended.
  uint8_t* text = image.data() + manifest + value;
  uint8_t quote = text[valueLength];
  std::memset(text, ' ', room + 1);
  std::memcpy(text, level.data(), level.size());
  text[level.size()] = quote;
  size_t checksum = pe.optionalHeader + OH_CHECKSUM;
  put32(image.data() + checksum, peImageChecksum(image.data(), image.size(), checksum));
  return true;
}
