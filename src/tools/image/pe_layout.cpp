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

std::string sectionName(const std::vector<uint8_t>& in, const PeSection& s) {
  const uint8_t* name = in.data() + s.header;
  return std::string(name, std::find(name, name + 8, 0));
}

// Where the file data of the input goes in the output: [from, from + length)
// of the input lands at to.
struct Move {
  uint64_t from, length, to;
};

// The output offset of [offset, offset + length) of the input, which has to
// lie inside one move (its end may be the move's end).
bool moveOffset(const std::vector<Move>& moves, uint64_t offset, uint64_t length, uint64_t& out) {
  for (const Move& m : moves) {
    if (offset >= m.from && offset + length <= m.from + m.length) {
      out = m.to + (offset - m.from);
      return true;
    }
  }
  return false;
}

// Debug data, like everything else behind the headers, moves with the file.
bool moveDebugData(const PeImage& image, const std::vector<Move>& moves, std::vector<uint8_t>& out,
                   std::string& error) {
  if (image.debugEntries == 0) return true;
  uint64_t directory = 0;
  if (!moveOffset(moves, image.debugDirectory, uint64_t{DEBUG_ENTRY_SIZE} * image.debugEntries,
                  directory)) {
    error = "the debug directory is outside the kept image";
    return false;
  }
  for (uint32_t i = 0; i < image.debugEntries; ++i) {
    uint8_t* entry = out.data() + directory + DEBUG_ENTRY_SIZE * i;
    uint32_t pointer = get32(entry + DE_POINTER_TO_RAW_DATA);
    uint32_t size = get32(entry + DE_SIZE_OF_DATA);
    if (pointer == 0) continue;
    uint64_t moved = 0;
    if (pointer < image.sizeOfHeaders || !moveOffset(moves, pointer, size, moved)) {
      error = "debug data at " + hex(pointer) + " is outside the kept image";
      return false;
    }
    put32(entry + DE_POINTER_TO_RAW_DATA, static_cast<uint32_t>(moved));
  }
  return true;
}

// The file data of an input section inside a written section: length bytes
// from the start of its raw data, at offset from the written section's
// start.
struct Part {
  const PeSection* section;
  uint32_t offset;
  uint32_t length;
};

// A written section: where its header lies in Headers::bytes, its size of
// raw data, the parts that make its file data, and (once planned, for
// joined sections) where that goes in the output.
struct OutSection {
  size_t header;
  uint32_t rawSize;
  std::vector<Part> parts;
  uint64_t rawPointer = 0;
};

// The PE headers as they are written: signature, file header, optional
// header and section table, and the sections they describe. Without
// compact, a copy of the input's. joined: a section was folded into the
// one before it with its file data, so file data moves by more than the
// common shift.
struct Headers {
  std::vector<uint8_t> bytes;
  std::vector<OutSection> sections;
  bool joined = false;
};

uint32_t accessOf(uint32_t characteristics) { return characteristics & SECTION_ACCESS; }

bool inWritableSection(const PeImage& image, uint32_t rva) {
  for (const PeSection& s : image.sections) {
    if (rva >= s.virtualAddress && rva - s.virtualAddress < s.virtualSize)
      return (s.characteristics & IMAGE_SCN_MEM_WRITE) != 0;
  }
  return false;
}

// Compact: the directories cut after the last one in use (at least
// minDirectories), and the sections folded. A section that starts inside
// the last page of the one before it (as the linker places a section that
// the linker script puts right behind another, such as the base
// relocations behind the program) cannot be mapped on its own: it joins
// that section, file data and all, which must allow every access it
// needs; the joined section keeps its own, so joining never makes memory
// writable or executable that was not. A section without file data right
// behind the page-aligned end of one with file data and the same access
// becomes that section's zero-filled tail.
bool buildHeaders(const std::vector<uint8_t>& in, const PeImage& image, bool compact,
                  uint32_t minDirectories, Headers& out, std::string& error) {
  if (!compact) {
    out.bytes.assign(in.begin() + image.peHeader, in.begin() + image.headersEnd);
    for (const PeSection& s : image.sections)
      out.sections.push_back({s.header - image.peHeader, s.rawSize, {{&s, 0, s.rawSize}}});
    return true;
  }
  const uint32_t count = static_cast<uint32_t>(image.dataDirectories.size());
  uint32_t kept = std::min(std::max(MIN_COMPACT_DIRECTORIES, minDirectories), count);
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

  const PeSection* previous = nullptr;  // the last section written, as read
  uint64_t previousEnd = 0;             // its memory's end, with what joined it
  bool tailFolded = false;
  for (const PeSection& s : image.sections) {
    uint64_t pageEnd = roundUp(previousEnd, image.sectionAlignment);
    if (previous && s.virtualAddress < pageEnd) {
      const uint32_t access = accessOf(s.characteristics);
      if (s.virtualAddress < previousEnd || tailFolded ||
          (access & accessOf(previous->characteristics)) != access) {
        error = "section " + sectionName(in, s) + " starts inside the memory of section " +
                sectionName(in, *previous) + " but cannot join it";
        return false;
      }
      OutSection& target = out.sections.back();
      uint8_t* header = out.bytes.data() + target.header;
      const uint32_t offset = s.virtualAddress - previous->virtualAddress;
      const uint32_t length = std::min(s.virtualSize, s.rawSize);
      if (length != 0) {
        // Only file data in front of the joining section's start stays.
        for (Part& p : target.parts) p.length = std::min(p.length, offset - p.offset);
        target.parts.push_back({&s, offset, length});
        target.rawSize =
            static_cast<uint32_t>(roundUp(uint64_t{offset} + length, image.fileAlignment));
        put32(header + SH_SIZE_OF_RAW_DATA, target.rawSize);
        out.joined = true;
      }
      previousEnd = uint64_t{s.virtualAddress} + s.virtualSize;
      if (previousEnd > UINT32_MAX) {
        error = "section " + sectionName(in, s) + " ends past 4 GiB";
        return false;
      }
      put32(header + SH_VIRTUAL_SIZE,
            static_cast<uint32_t>(previousEnd - previous->virtualAddress));
      continue;
    }
    // Memory without file data right behind the section before: that
    // section's zero-filled tail, one section header less.
    uint64_t end = uint64_t{s.virtualAddress} + s.virtualSize;
    if (previous && !tailFolded && out.sections.back().rawSize != 0 && s.rawSize == 0 &&
        pageEnd == s.virtualAddress && end <= UINT32_MAX &&
        accessOf(s.characteristics) == accessOf(previous->characteristics)) {
      uint8_t* header = out.bytes.data() + out.sections.back().header;
      put32(header + SH_VIRTUAL_SIZE, static_cast<uint32_t>(end - previous->virtualAddress));
      put32(header + SH_CHARACTERISTICS, get32(header + SH_CHARACTERISTICS) | s.characteristics);
      previousEnd = end;
      tailFolded = true;  // one fold per section
      continue;
    }
    out.sections.push_back({out.bytes.size(), s.rawSize, {{&s, 0, s.rawSize}}});
    out.bytes.insert(out.bytes.end(), in.begin() + s.header,
                     in.begin() + s.header + SECTION_HEADER_SIZE);
    previous = &s;
    previousEnd = end;
    tailFolded = false;
  }
  put16(out.bytes.data() + FH_NUMBER_OF_SECTIONS, static_cast<uint16_t>(out.sections.size()));
  return true;
}

// Where the file data goes. Without joined sections, everything behind the
// input's headers moves by one shift. Otherwise each written section's file
// data is put together from its parts, the sections one after the other
// in the order of the file, and what follows the last one (an appended
// overlay) behind them; that needs the input's section data to be one run
// without gaps, as linkers write it.
bool planMoves(const PeImage& image, Headers& headers, uint64_t sizeOfHeaders, uint64_t keptEnd,
               std::vector<Move>& moves, uint64_t& size, std::string& error) {
  moves.clear();
  if (!headers.joined) {
    moves.push_back({image.sizeOfHeaders, keptEnd - image.sizeOfHeaders, sizeOfHeaders});
    size = sizeOfHeaders + (keptEnd - image.sizeOfHeaders);
    return true;
  }
  std::vector<const PeSection*> withData;
  for (const PeSection& s : image.sections)
    if (s.rawSize != 0) withData.push_back(&s);
  std::sort(withData.begin(), withData.end(),
            [](const PeSection* a, const PeSection* b) { return a->rawPointer < b->rawPointer; });
  uint64_t expected = image.sizeOfHeaders;
  for (const PeSection* s : withData) {
    if (s->rawPointer != expected) {
      error = "the sections' file data is not one run; a section cannot join another";
      return false;
    }
    expected += s->rawSize;
  }
  // (A part's raw data in the input: sections with data have a part of
  // their own first, and sections that join keep the input's order.)
  std::vector<OutSection*> order;
  for (OutSection& o : headers.sections)
    if (o.rawSize != 0) order.push_back(&o);
  auto firstData = [](const OutSection* o) {
    for (const Part& p : o->parts)
      if (p.length != 0) return p.section->rawPointer;
    return uint32_t{0};
  };
  std::sort(order.begin(), order.end(),
            [&](const OutSection* a, const OutSection* b) { return firstData(a) < firstData(b); });
  uint64_t cursor = sizeOfHeaders;
  for (OutSection* o : order) {
    o->rawPointer = cursor;
    for (const Part& p : o->parts)
      if (p.length != 0) moves.push_back({p.section->rawPointer, p.length, cursor + p.offset});
    cursor += o->rawSize;
  }
  moves.push_back({expected, keptEnd - expected, cursor});
  size = cursor + (keptEnd - expected);
  return true;
}

// The load configuration that the program defines under the usual name:
// its RVA and its Size field, which becomes the directory's size; size 0
// when the image has none. It has to lie whole in the file data of a
// section that is not writable, and be at least as long as the fields up
// to the security cookie.
bool findLoadConfig(const std::vector<uint8_t>& in, const PeImage& image, PeDirectory& config,
                    std::string& error) {
  config = {0, 0};
  uint32_t rva = 0;
  if (!findCoffSymbol(in, image,
                      image.pe32Plus ? LOAD_CONFIG_SYMBOL_PE32_PLUS : LOAD_CONFIG_SYMBOL_PE32, rva))
    return true;
  size_t offset = 0;
  const uint32_t minimum =
      image.pe32Plus ? LOAD_CONFIG_MIN_SIZE_PE32_PLUS : LOAD_CONFIG_MIN_SIZE_PE32;
  uint32_t size = image.rvaToFileOffset(rva, 4, offset) ? get32(in.data() + offset) : 0;
  if (size < minimum || size % 4 != 0 || !image.rvaToFileOffset(rva, size, offset) ||
      inWritableSection(image, rva)) {
    error = "the load configuration at " + hex(rva) + " (Size " + hex(size) +
            ") is not a whole structure in read-only file data";
    return false;
  }
  if (image.dataDirectories.size() <= DIRECTORY_LOAD_CONFIG) {
    error = "the optional header has no room for the load configuration directory";
    return false;
  }
  config = {rva, size};
  return true;
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
  PeDirectory loadConfig;
  if (!findLoadConfig(linkedPe, image, loadConfig, error)) return false;

  uint32_t peOffset = suitablePeOffset(options.peOffset, options.compactHeaders);
  Headers headers;
  if (!buildHeaders(linkedPe, image, options.compactHeaders,
                    loadConfig.size != 0 ? DIRECTORY_LOAD_CONFIG + 1 : 0, headers, error))
    return false;
  uint64_t headersLength = headers.bytes.size();
  uint64_t sizeOfHeaders = roundUp(uint64_t{peOffset} + headersLength, image.fileAlignment);
  if (sizeOfHeaders > image.firstSectionAddress) {
    error = "headers of " + hex(sizeOfHeaders) + " bytes would overlap the first section at " +
            hex(image.firstSectionAddress);
    return false;
  }
  size_t keptEnd = image.symbolTable != 0 ? image.symbolTable : linkedPe.size();
  std::vector<Move> moves;
  uint64_t size = 0;
  if (!planMoves(image, headers, sizeOfHeaders, keptEnd, moves, size, error)) return false;
  if (size >= MAX_IMAGE_SIZE) {
    error = "the laid-out image would be 2 GiB or longer";
    return false;
  }

  std::vector<uint8_t> result(static_cast<size_t>(size), 0);
  writeDosPart(result.data(), peOffset);
  put32(result.data() + CONFIG_BLOCK_OFFSET, static_cast<uint32_t>(size));
  std::memcpy(result.data() + peOffset, headers.bytes.data(), headersLength);
  for (const Move& m : moves)
    std::memcpy(result.data() + m.to, linkedPe.data() + m.from, static_cast<size_t>(m.length));

  uint8_t* pe = result.data() + peOffset;
  uint8_t* optional = pe + OPTIONAL_HEADER;
  put32(optional + OH_SIZE_OF_HEADERS, static_cast<uint32_t>(sizeOfHeaders));
  const int64_t shift =
      static_cast<int64_t>(sizeOfHeaders) - static_cast<int64_t>(image.sizeOfHeaders);
  for (const OutSection& section : headers.sections) {
    uint8_t* header = result.data() + peOffset + section.header;
    for (size_t field :
         {SH_POINTER_TO_RAW_DATA, SH_POINTER_TO_RELOCATIONS, SH_POINTER_TO_LINENUMBERS}) {
      uint32_t pointer = get32(header + field);
      uint64_t moved = static_cast<uint64_t>(pointer + shift);
      if (headers.joined && field == SH_POINTER_TO_RAW_DATA) {
        moved = section.rawPointer;
      } else if (pointer == 0) {
        continue;
      } else if (headers.joined && !moveOffset(moves, pointer, 0, moved)) {
        error = "a section's file offset " + hex(pointer) + " is outside the kept image";
        return false;
      }
      put32(header + field, static_cast<uint32_t>(moved));
    }
  }
  if (!moveDebugData(image, moves, result, error)) return false;
  if (loadConfig.size != 0) {
    uint8_t* entry = result.data() + peOffset + (image.directories - image.peHeader) +
                     8 * size_t{DIRECTORY_LOAD_CONFIG};
    put32(entry, loadConfig.address);
    put32(entry + 4, loadConfig.size);
  }
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
