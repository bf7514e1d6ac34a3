#include "tools/image/pe_layout.h"

#include <algorithm>
#include <cstring>

#include "startup/config_block.h"
#include "tools/image/dos_part.h"
#include "tools/image/pe_image.h"

namespace {

// Export, import, resources, exceptions and the certificate table: what a
// compact header keeps at least, so that the finished file can be signed.
constexpr uint32_t MIN_COMPACT_DIRECTORIES = 5;
// archiveOffset is used as a signed 32-bit file offset.
constexpr uint64_t MAX_IMAGE_SIZE = 0x80000000u;

uint64_t roundUp(uint64_t v, uint32_t alignment) {
  return (v + alignment - 1) / alignment * alignment;
}

// Debug data, like everything else behind the headers, moves by the shift.
bool shiftDebugData(const PeImage& image, size_t keptEnd, int64_t shift, std::vector<uint8_t>& out,
                    std::string& error) {
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

bool inWritableSection(const PeImage& image, uint32_t rva) {
  for (const PeSection& s : image.sections) {
    if (rva >= s.virtualAddress && rva - s.virtualAddress < s.virtualSize)
      return (s.characteristics & IMAGE_SCN_MEM_WRITE) != 0;
  }
  return false;
}

Headers buildHeaders(const std::vector<uint8_t>& in, const PeImage& image, bool compact) {
  Headers out;
  if (!compact) {
    out.bytes.assign(in.begin() + image.peHeader, in.begin() + image.headersEnd);
    for (const PeSection& s : image.sections) out.sections.push_back(s.header - image.peHeader);
    return out;
  }
  const uint32_t count = static_cast<uint32_t>(image.dataDirectories.size());
  uint32_t kept = std::min(MIN_COMPACT_DIRECTORIES, count);
  for (uint32_t i = 0; i < count; ++i) {
    const PeDirectory& directory = image.dataDirectories[i];
    // The import address table's entry only names what the loader has to
    // make writable while it binds the imports; in a writable section there
    // is nothing to do, and the entry can go.
    if (i == DIRECTORY_IMPORT_ADDRESS_TABLE && inWritableSection(image, directory.address))
      continue;
    if (directory.size != 0) kept = std::max(kept, i + 1);
  }
  size_t directoriesEnd = image.directories + 8 * size_t{kept};
  out.bytes.assign(in.begin() + image.peHeader, in.begin() + directoriesEnd);
  put32(out.bytes.data() + (image.directories - 4 - image.peHeader), kept);
  put16(out.bytes.data() + FH_SIZE_OF_OPTIONAL_HEADER,
        static_cast<uint16_t>(directoriesEnd - image.optionalHeader));

  const PeSection* previous = nullptr;
  for (const PeSection& s : image.sections) {
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
      put32(header + SH_CHARACTERISTICS, get32(header + SH_CHARACTERISTICS) | s.characteristics);
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
  PeImage image;
  if (!readPeImage(linkedPe, image, error, options.stripSymbols)) return false;

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
