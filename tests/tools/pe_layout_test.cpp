// The stub image layout: the DOS part (MZ header values, marker, DOS stub
// program, checked by running it on a tiny 8086 interpreter), the
// configuration block, the moved PE headers and sections, the checksum, and
// refusal of broken or unsupported input. A hand-made PE keeps these tests
// independent of a cross compiler; when MinGW-w64 (and Wine) are installed a
// real program is linked, laid out and run as well.
#include "tools/image/pe_layout.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tools/image/dos_part.h"
#include "tools/image/pe_manifest.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

uint16_t rd16(const Bytes& b, size_t at) {
  return static_cast<uint16_t>(b.at(at) | b.at(at + 1) << 8);
}
uint32_t rd32(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(rd16(b, at)) | static_cast<uint32_t>(rd16(b, at + 2)) << 16;
}
void wr16(Bytes& b, size_t at, uint16_t v) {
  b.at(at) = static_cast<uint8_t>(v);
  b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}
void wr32(Bytes& b, size_t at, uint32_t v) {
  wr16(b, at, static_cast<uint16_t>(v));
  wr16(b, at + 2, static_cast<uint16_t>(v >> 16));
}

// ------------------------------------------------------------ a small PE

// Offsets of the hand-made image.
constexpr size_t kLfanew = 0x80;
constexpr size_t kFileHeader = kLfanew + 4;
constexpr size_t kOptional = kLfanew + 24;

struct PeOptions {
  bool pe32Plus = false;
  Bytes overlay;  // bytes behind the last section
  bool debugDirectory = false;
  bool symbolTable = false;  // COFF symbols and string table at the end
};

struct BuiltPe {
  Bytes bytes;
  size_t optionalSize;
  size_t sectionTable;
  size_t directories;
  size_t debugEntry;  // file offset of the debug directory entry (when made)
};

// Two sections, .text (RVA 0x1000, file 0x200) and .data (RVA 0x2000, file
// 0x400), 0x200 raw bytes each filled with a recognisable pattern.
BuiltPe buildPe(const PeOptions& options = PeOptions()) {
  BuiltPe pe;
  pe.optionalSize = options.pe32Plus ? 240 : 224;
  pe.sectionTable = kOptional + pe.optionalSize;
  pe.directories = kOptional + (options.pe32Plus ? 112 : 96);
  Bytes& b = pe.bytes;
  b.assign(0x600, 0);
  b[0] = 'M';
  b[1] = 'Z';
  wr32(b, 0x3C, kLfanew);
  std::memcpy(&b[kLfanew], "PE\0\0", 4);
  wr16(b, kFileHeader + 0, options.pe32Plus ? 0x8664 : 0x014C);
  wr16(b, kFileHeader + 2, 2);
  wr32(b, kFileHeader + 4, 0x5F000000);
  wr16(b, kFileHeader + 16, static_cast<uint16_t>(pe.optionalSize));
  wr16(b, kFileHeader + 18, options.pe32Plus ? 0x0022 : 0x0102);
  wr16(b, kOptional + 0, options.pe32Plus ? 0x20B : 0x10B);
  wr32(b, kOptional + 16, 0x1000);  // entry point
  wr32(b, kOptional + 32, 0x1000);  // section alignment
  wr32(b, kOptional + 36, 0x200);   // file alignment
  wr16(b, kOptional + 40, 4);
  wr16(b, kOptional + 48, 4);
  wr32(b, kOptional + 56, 0x3000);  // SizeOfImage
  wr32(b, kOptional + 60, 0x200);   // SizeOfHeaders
  wr32(b, kOptional + 64, 0xDEADBEEF);
  wr16(b, kOptional + 68, 2);  // GUI
  wr32(b, pe.directories - 4, 16);

  struct {
    const char* name;
    uint32_t va, vsize, raw;
    uint32_t flags;
  } sections[2] = {{".text", 0x1000, 0x123, 0x200, 0x60000020},
                   {".data", 0x2000, 0x1F0, 0x400, 0xC0000040}};
  for (int i = 0; i < 2; ++i) {
    size_t h = pe.sectionTable + 40 * i;
    std::memcpy(&b[h], sections[i].name, std::strlen(sections[i].name));
    wr32(b, h + 8, sections[i].vsize);
    wr32(b, h + 12, sections[i].va);
    wr32(b, h + 16, 0x200);
    wr32(b, h + 20, sections[i].raw);
    wr32(b, h + 36, sections[i].flags);
    for (uint32_t j = 0; j < 0x200; ++j)
      b[sections[i].raw + j] = static_cast<uint8_t>(j * 7 + i * 101 + 1);
  }
  if (options.debugDirectory) {
    // One entry at .data+0x100 (RVA 0x2100) describing 0x20 bytes at .data+0x180.
    wr32(b, pe.directories + 8 * 6, 0x2100);
    wr32(b, pe.directories + 8 * 6 + 4, 28);
    pe.debugEntry = 0x400 + 0x100;
    std::fill(b.begin() + pe.debugEntry, b.begin() + pe.debugEntry + 28, 0);
    wr32(b, pe.debugEntry + 12, 2);  // CodeView
    wr32(b, pe.debugEntry + 16, 0x20);
    wr32(b, pe.debugEntry + 20, 0x2180);
    wr32(b, pe.debugEntry + 24, 0x400 + 0x180);
  }
  b.insert(b.end(), options.overlay.begin(), options.overlay.end());
  if (options.symbolTable) {
    wr32(b, kFileHeader + 8, static_cast<uint32_t>(b.size()));
    wr32(b, kFileHeader + 12, 2);
    Bytes symbols(2 * 18, 0x5A);
    b.insert(b.end(), symbols.begin(), symbols.end());
    const char strings[] = "\x0e\0\0\0long_name\0";
    b.insert(b.end(), strings, strings + 14);
  }
  return pe;
}

struct Section {
  uint32_t va, vsize, rawSize, rawPointer;
};

Section sectionAt(const Bytes& b, size_t header) {
  return {rd32(b, header + 12), rd32(b, header + 8), rd32(b, header + 16), rd32(b, header + 20)};
}

// Laid-out image with its headers located.
struct Layout {
  Bytes bytes;
  size_t pe;
  size_t optional;
  size_t sectionTable;
};

Layout layOut(const Bytes& linked, const LayoutOptions& options = LayoutOptions()) {
  Layout layout;
  std::string error;
  EXPECT_TRUE(layoutStubImage(linked, layout.bytes, error, options)) << error;
  if (layout.bytes.size() < 0x40) return {};
  layout.pe = rd32(layout.bytes, 0x3C);
  layout.optional = layout.pe + 24;
  layout.sectionTable = layout.optional + rd16(layout.bytes, layout.pe + 4 + 16);
  return layout;
}

// Independent checksum: sum all words in 64 bits, fold the carries at the end.
uint32_t referenceChecksum(Bytes image, size_t field) {
  std::fill(image.begin() + field, image.begin() + field + 4, 0);
  uint64_t sum = 0;
  for (size_t i = 0; i < image.size(); i += 2)
    sum += image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + image.size());
}

// ------------------------------------------------------ the DOS part

TEST(DosPart, MzHeaderHoldsTheTabledValues) {
  Layout layout = layOut(buildPe().bytes);
  const Bytes& b = layout.bytes;
  ASSERT_GE(b.size(), 0x600u);
  EXPECT_EQ('M', b[0]);
  EXPECT_EQ('Z', b[1]);
  struct {
    size_t offset;
    uint16_t value;
    const char* field;
  } const fields[] = {
      {0x02, 0x010A, "e_cblp"},    {0x04, 3, "e_cp"},       {0x06, 0, "e_crlc"},
      {0x08, 0x0020, "e_cparhdr"}, {0x0A, 0, "e_minalloc"}, {0x0C, 0xFFFF, "e_maxalloc"},
      {0x0E, 0, "e_ss"},           {0x10, 0x02CE, "e_sp"},  {0x12, 0, "e_csum"},
      {0x14, 0, "e_ip"},           {0x16, 0x002D, "e_cs"},  {0x18, 0x0040, "e_lfarlc"},
      {0x1A, 0, "e_ovno"},         {0x1C, 1, "reserved 0"}, {0x1E, 0, "reserved 1"},
      {0x20, 1, "reserved 2"},     {0x22, 0, "reserved 3"},
  };
  for (const auto& f : fields) EXPECT_EQ(f.value, rd16(b, f.offset)) << f.field;
  EXPECT_EQ(0, std::memcmp(&b[0x24], "LHA's SFX ", 10));
  for (size_t i = 0x2E; i < 0x3C; ++i) EXPECT_EQ(0, b[i]) << "offset " << i;
  EXPECT_EQ(0x570u, rd32(b, 0x3C));
  for (size_t i = 0x40; i < 0x200; ++i) EXPECT_EQ(0, b[i]) << "offset " << i;
  // The DOS load image is the header area, the block and the stub program.
  EXPECT_EQ(DOS_PART_SIZE, (rd16(b, 4) - 1) * 512u + rd16(b, 2));
  EXPECT_EQ(DOS_STUB_OFFSET, rd16(b, 8) * 16u + rd16(b, 0x16) * 16u + rd16(b, 0x14));
}

// Just enough of a real-mode 8086 to run a DOS stub program. The load module
// is mapped at segment kLoad; the PSP sits 0x10 paragraphs below it, where DS
// points at start, as under DOS.
struct DosRun {
  std::string printed;
  int exitCode = -1;
  std::string fault;
};

class Dos8086 {
 public:
  explicit Dos8086(const Bytes& file)
      : headerSize_(rd16(file, 8) * 16u), loadSize_((rd16(file, 4) - 1) * 512u + rd16(file, 2)) {
    module_.assign(file.begin() + headerSize_, file.begin() + loadSize_);
    cs_ = static_cast<uint16_t>(kLoad + rd16(file, 0x16));
    ip_ = rd16(file, 0x14);
    ds_ = kLoad - 0x10;
  }

  DosRun run() {
    for (int steps = 0; steps < 200; ++steps) {
      uint8_t op, imm8;
      if (!fetch(op)) return fault("execution left the load module");
      switch (op) {
        case 0xEB:  // jmp short
          if (!fetch(imm8)) return fault("truncated jump");
          ip_ = static_cast<uint16_t>(ip_ + static_cast<int8_t>(imm8));
          break;
        case 0x0E:  // push cs
          stack_.push_back(cs_);
          break;
        case 0x1F:  // pop ds
          if (stack_.empty()) return fault("pop from an empty stack");
          ds_ = stack_.back();
          stack_.pop_back();
          break;
        case 0xBA:  // mov dx, imm16
          if (!fetch16(dx_)) return fault("truncated mov dx");
          break;
        case 0xB8:  // mov ax, imm16
          if (!fetch16(ax_)) return fault("truncated mov ax");
          break;
        case 0xB4:  // mov ah, imm8
          if (!fetch(imm8)) return fault("truncated mov ah");
          ax_ = static_cast<uint16_t>((ax_ & 0xFF) | imm8 << 8);
          break;
        case 0xB0:  // mov al, imm8
          if (!fetch(imm8)) return fault("truncated mov al");
          ax_ = static_cast<uint16_t>((ax_ & 0xFF00) | imm8);
          break;
        case 0xCD:  // int
          if (!fetch(imm8) || imm8 != 0x21) return fault("interrupt other than 21h");
          if (ax_ >> 8 == 0x09) {
            if (!print()) return fault("text not inside the load module or without '$'");
          } else if (ax_ >> 8 == 0x4C) {
            result_.exitCode = ax_ & 0xFF;
            return result_;
          } else {
            return fault("unexpected DOS function");
          }
          break;
        default:
          return fault("unknown opcode " + std::to_string(op));
      }
    }
    return fault("no exit");
  }

 private:
  static constexpr uint16_t kLoad = 0x1000;

  bool linear(uint16_t seg, uint16_t off, size_t& at) const {
    long value = (static_cast<long>(seg) - kLoad) * 16 + off;
    if (value < 0 || value >= static_cast<long>(module_.size())) return false;
    at = static_cast<size_t>(value);
    return true;
  }
  bool fetch(uint8_t& byte) {
    size_t at;
    if (!linear(cs_, ip_, at)) return false;
    byte = module_[at];
    ++ip_;
    return true;
  }
  bool fetch16(uint16_t& word) {
    uint8_t lo, hi;
    if (!fetch(lo) || !fetch(hi)) return false;
    word = static_cast<uint16_t>(lo | hi << 8);
    return true;
  }
  bool print() {
    size_t at;
    for (uint16_t off = dx_; linear(ds_, off, at); ++off) {
      if (module_[at] == '$') return true;
      result_.printed += static_cast<char>(module_[at]);
    }
    return false;
  }
  DosRun fault(const std::string& what) {
    result_.fault = what;
    return result_;
  }

  size_t headerSize_, loadSize_;
  Bytes module_;
  uint16_t cs_, ip_, ds_, ax_ = 0, dx_ = 0;
  std::vector<uint16_t> stack_;
  DosRun result_;
};

DosRun runDosProgram(const Bytes& file) { return Dos8086(file).run(); }

TEST(DosPart, StubProgramJumpsOverItsTextPrintsItAndExitsWithCodeOne) {
  Layout layout = layOut(buildPe().bytes);
  const Bytes& b = layout.bytes;
  ASSERT_GE(b.size(), DOS_PART_SIZE);
  const std::string text = "This program cannot be run in DOS mode.\r\n$";
  // A short jump right over the text...
  EXPECT_EQ(0xEB, b[DOS_STUB_OFFSET]);
  EXPECT_EQ(text.size(), b[DOS_STUB_OFFSET + 1]);
  EXPECT_EQ(text, std::string(b.begin() + DOS_STUB_OFFSET + 2,
                              b.begin() + DOS_STUB_OFFSET + 2 + text.size()));
  // ...and code that prints it and ends with exit code 1.
  DosRun run = runDosProgram(b);
  EXPECT_EQ("", run.fault);
  EXPECT_EQ("This program cannot be run in DOS mode.\r\n", run.printed);
  EXPECT_EQ(1, run.exitCode);
  // The stub program does not spill into the toolchain area.
  EXPECT_EQ(DOS_STUB_OFFSET + DOS_STUB_SIZE, DOS_PART_SIZE);
}

TEST(DosPart, InterpreterRefusesAProgramThatPrintsFromThePsp) {
  // Guards the interpreter itself: without "push cs; pop ds" DS still points
  // at the PSP, so the text is not where DX says.
  Layout layout = layOut(buildPe().bytes);
  Bytes b = layout.bytes;
  ASSERT_GE(b.size(), DOS_PART_SIZE);
  size_t code = DOS_STUB_OFFSET + 2 + b[DOS_STUB_OFFSET + 1];
  ASSERT_EQ(0x0E, b[code]);
  b[code] = 0x90;  // nop: unknown to the interpreter
  EXPECT_NE("", runDosProgram(b).fault);
}

// ---------------------------------------------------- block and PE part

TEST(PeLayout, BlockIsZeroExceptTheArchiveOffsetWhichIsTheFileLength) {
  Layout layout = layOut(buildPe().bytes);
  const Bytes& b = layout.bytes;
  ASSERT_GE(b.size(), 0x600u);
  EXPECT_EQ(b.size(), rd32(b, 512));
  for (size_t i = 512 + 4; i < DOS_STUB_OFFSET; ++i) EXPECT_EQ(0, b[i]) << "offset " << i;
  for (size_t i = DOS_PART_SIZE; i < layout.pe; ++i) EXPECT_EQ(0, b[i]) << "offset " << i;
}

struct ShapeCase {
  const char* name;
  PeOptions pe;
};

class PeLayoutShape : public testing::TestWithParam<ShapeCase> {};

TEST_P(PeLayoutShape, HeadersMoveAndSectionsShiftTogether) {
  const PeOptions& options = GetParam().pe;
  BuiltPe in = buildPe(options);
  Layout out = layOut(in.bytes);
  const Bytes& b = out.bytes;
  ASSERT_GT(b.size(), 0x600u);
  ASSERT_EQ(0x570u, out.pe);

  // Signature, file header and optional header are copied, except for the
  // fields that describe file offsets.
  const size_t optionalSize = in.optionalSize;
  EXPECT_EQ(0, std::memcmp(&b[out.pe], &in.bytes[kLfanew], 24));
  for (size_t i = 0; i < optionalSize; ++i) {
    if (i >= 60 && i < 68) continue;  // SizeOfHeaders, CheckSum
    EXPECT_EQ(in.bytes[kOptional + i], b[out.optional + i]) << "optional header byte " << i;
  }
  EXPECT_EQ(0x3000u, rd32(b, out.optional + 56)) << "SizeOfImage";

  // SizeOfHeaders covers the moved headers, rounded up to the file alignment.
  uint32_t headersEnd = static_cast<uint32_t>(out.sectionTable + 2 * 40);
  uint32_t sizeOfHeaders = rd32(b, out.optional + 60);
  EXPECT_EQ((headersEnd + 0x1FFu) & ~0x1FFu, sizeOfHeaders);
  for (size_t i = headersEnd; i < sizeOfHeaders; ++i) EXPECT_EQ(0, b[i]) << "offset " << i;

  // Every section keeps its RVA and sizes and moves by one common shift.
  int64_t shift = int64_t{sizeOfHeaders} - 0x200;
  for (int i = 0; i < 2; ++i) {
    Section before = sectionAt(in.bytes, in.sectionTable + 40 * i);
    Section after = sectionAt(b, out.sectionTable + 40 * i);
    EXPECT_EQ(0,
              std::memcmp(&in.bytes[in.sectionTable + 40 * i], &b[out.sectionTable + 40 * i], 20));
    EXPECT_EQ(0, std::memcmp(&in.bytes[in.sectionTable + 40 * i + 24],
                             &b[out.sectionTable + 40 * i + 24], 16));
    EXPECT_EQ(shift, int64_t{after.rawPointer} - before.rawPointer) << "section " << i;
  }

  // The file behind the headers is the input's, moved by the shift; only a
  // debug entry's file offset of its data changes with it.
  Bytes expected(in.bytes.begin() + 0x200, in.bytes.end());
  if (options.debugDirectory) {
    size_t field = in.debugEntry + 24 - 0x200;
    EXPECT_EQ(0x400u + 0x180, rd32(expected, field));
    wr32(expected, field, static_cast<uint32_t>(0x400 + 0x180 + shift));
  }
  ASSERT_EQ(sizeOfHeaders + expected.size(), b.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), b.begin() + sizeOfHeaders));
  // That includes the overlay, which stays at the end.
  EXPECT_TRUE(
      std::equal(options.overlay.begin(), options.overlay.end(), b.end() - options.overlay.size()));

  // The checksum is the standard one over the final file.
  size_t field = out.optional + 64;
  uint32_t checksum = rd32(b, field);
  EXPECT_EQ(referenceChecksum(b, field), checksum);
  EXPECT_EQ(checksum, peImageChecksum(b.data(), b.size(), field));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, PeLayoutShape,
    testing::Values(ShapeCase{"Pe32", {}}, ShapeCase{"Pe32Plus", {true, {}, false, false}},
                    ShapeCase{"Overlay", {false, Bytes{1, 2, 3, 4, 5, 6, 7}, false, false}},
                    ShapeCase{"DebugDirectory", {false, {}, true, false}},
                    ShapeCase{"Pe32PlusDebugOverlay", {true, Bytes(0x311, 0xA5), true, false}}),
    [](const testing::TestParamInfo<ShapeCase>& info) { return std::string(info.param.name); });

TEST(PeLayout, PeOffsetIsMovedUpToTheNextSuitableOne) {
  struct {
    uint32_t wanted, used;
  } const cases[] = {{0, 0x570},    {0x570, 0x570}, {0x571, 0x578}, {0x577, 0x578}, {0x50A, 0x510},
                     {0x40, 0x510}, {0x1, 0x510},   {0x600, 0x600}, {0x7F4, 0x7F8}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.used, suitablePeOffset(c.wanted)) << std::hex << c.wanted;
    LayoutOptions options;
    options.peOffset = c.wanted;
    Layout out = layOut(buildPe().bytes, options);
    ASSERT_GT(out.bytes.size(), 0x40u);
    EXPECT_EQ(c.used, out.pe);
    EXPECT_EQ(0, std::memcmp(&out.bytes[out.pe], "PE\0\0", 4));
    EXPECT_EQ(out.bytes.size(), rd32(out.bytes, 512));
  }
}

TEST(PeLayout, CompactHeadersCutDirectoriesAndFoldZeroFilledDataOfTheSameAccess) {
  struct Case {
    const char* name;
    bool debug;            // a debug directory (entry 6) in use
    uint32_t iatFlags;     // flags of .data, where the address table's entry points
    bool bss;              // a third section without file data right behind .data
    uint32_t directories;  // kept
    uint16_t sections;     // kept
  } const cases[] = {
      {"plain", false, 0xC0000040, false, 5, 2},
      {"debug entry kept", true, 0xC0000040, false, 7, 2},
      {"address table in a read-only section kept", false, 0x40000040, false, 13, 2},
      {"zero-filled data folded", false, 0xC0000040, true, 5, 2},
      {"zero-filled data kept apart from read-only data", false, 0x40000040, true, 13, 3},
  };
  for (const Case& c : cases) {
    BuiltPe in = buildPe({false, {}, c.debug, false});
    wr32(in.bytes, in.directories + 8 * 12, 0x2010);  // import address table in .data
    wr32(in.bytes, in.directories + 8 * 12 + 4, 0x20);
    wr32(in.bytes, in.sectionTable + 40 + 36, c.iatFlags);
    if (c.bss) {
      // .bss at 0x3000 (.data's 0x1F0 bytes end in the page before), 0x5000 bytes.
      size_t h = in.sectionTable + 80;
      std::memcpy(&in.bytes[h], ".bss", 4);
      wr32(in.bytes, h + 8, 0x5000);
      wr32(in.bytes, h + 12, 0x3000);
      wr32(in.bytes, h + 36, 0xC0000080);
      wr16(in.bytes, kFileHeader + 2, 3);
      wr32(in.bytes, kOptional + 56, 0x8000);
    }
    LayoutOptions compact;
    compact.compactHeaders = true;
    Layout out = layOut(in.bytes, compact);
    const Bytes& b = out.bytes;
    ASSERT_GT(b.size(), 0x600u) << c.name;
    EXPECT_EQ(suitablePeOffset(0, true), out.pe) << c.name;
    EXPECT_EQ(0x510u, out.pe) << c.name;
    EXPECT_EQ(c.directories, rd32(b, out.optional + 92)) << c.name;
    EXPECT_EQ(96 + 8 * c.directories, rd16(b, out.pe + 4 + 16)) << c.name;
    ASSERT_EQ(c.sections, rd16(b, out.pe + 4 + 2)) << c.name;
    const uint32_t headersEnd = static_cast<uint32_t>(out.sectionTable + 40 * c.sections);
    EXPECT_EQ((headersEnd + 0x1FFu) & ~0x1FFu, rd32(b, out.optional + 60)) << c.name;
    // .data keeps its file data and, folded, runs to the end of .bss.
    Section data = sectionAt(b, out.sectionTable + 40);
    EXPECT_EQ(0x2000u, data.va) << c.name;
    const bool folded = c.bss && c.sections == 2;
    EXPECT_EQ(folded ? 0x6000u : 0x1F0u, data.vsize) << c.name;
    EXPECT_EQ(folded ? 0xC00000C0u : c.iatFlags, rd32(b, out.sectionTable + 40 + 36)) << c.name;
    // (A debug entry's file offset of its data moves with the data.)
    if (!c.debug) {
      EXPECT_TRUE(std::equal(in.bytes.begin() + 0x400, in.bytes.begin() + 0x600,
                             b.begin() + data.rawPointer))
          << c.name;
    }
    size_t field = out.optional + 64;
    EXPECT_EQ(referenceChecksum(b, field), rd32(b, field)) << c.name;
    // The result reads back as an image (as the packer's manifest rewrite does).
    Bytes again;
    std::string error;
    EXPECT_TRUE(layoutStubImage(b, again, error, compact)) << c.name << ": " << error;
  }
}

// A third section, at 0x600 in the file with 0x200 bytes of a pattern of
// its own, 0x30 bytes in memory at va.
void addThirdSection(BuiltPe& pe, uint32_t va, uint32_t flags) {
  Bytes& b = pe.bytes;
  size_t h = pe.sectionTable + 80;
  std::memcpy(&b[h], ".reloc", 6);
  wr32(b, h + 8, 0x30);
  wr32(b, h + 12, va);
  wr32(b, h + 16, 0x200);
  wr32(b, h + 20, 0x600);
  wr32(b, h + 36, flags);
  wr16(b, kFileHeader + 2, 3);
  Bytes data(0x200);
  for (uint32_t j = 0; j < 0x200; ++j) data[j] = static_cast<uint8_t>(j * 3 + 77);
  b.insert(b.begin() + 0x600, data.begin(), data.end());
}

TEST(PeLayout, CompactJoinsASectionThatStartsInThePageBefore) {
  struct Case {
    const char* name;
    uint32_t va, flags;
    const char* error;  // nullptr: joined
  } const cases[] = {
      {"read-only data joins read-write data", 0x21F0, 0x42000040, nullptr},
      {"code cannot join data", 0x21F0, 0x60000020, "cannot join"},
      {"a section inside the memory of the one before", 0x2100, 0x42000040, "cannot join"},
  };
  for (const Case& c : cases) {
    for (bool pe32Plus : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (pe32Plus ? " (PE32+)" : " (PE32)"));
      BuiltPe in = buildPe({pe32Plus, Bytes{7, 7, 7}, false, false});
      addThirdSection(in, c.va, c.flags);
      LayoutOptions compact;
      compact.compactHeaders = true;
      Bytes out;
      std::string error;
      bool ok = layoutStubImage(in.bytes, out, error, compact);
      if (c.error) {
        EXPECT_FALSE(ok);
        EXPECT_NE(std::string::npos, error.find(c.error)) << error;
        continue;
      }
      ASSERT_TRUE(ok) << error;
      const size_t pe = rd32(out, 0x3C), optional = pe + 24;
      const size_t table = optional + rd16(out, pe + 20);
      ASSERT_EQ(2u, rd16(out, pe + 6));
      Section text = sectionAt(out, table), data = sectionAt(out, table + 40);
      // The memory stays where it was linked; .data now holds .reloc's bytes
      // at their RVA, keeps its own access, and what follows moves up.
      EXPECT_EQ(0x2000u, data.va);
      EXPECT_EQ(0x220u, data.vsize);
      EXPECT_EQ(0x400u, data.rawSize);
      EXPECT_EQ(0xC0000040u, rd32(out, table + 40 + 36));
      EXPECT_EQ(text.rawPointer + 0x200, data.rawPointer);
      EXPECT_TRUE(std::equal(in.bytes.begin() + 0x400, in.bytes.begin() + 0x5F0,
                             out.begin() + data.rawPointer));
      EXPECT_TRUE(std::equal(in.bytes.begin() + 0x600, in.bytes.begin() + 0x630,
                             out.begin() + data.rawPointer + 0x1F0));
      EXPECT_TRUE(std::all_of(out.begin() + data.rawPointer + 0x220,
                              out.begin() + data.rawPointer + 0x400,
                              [](uint8_t v) { return v == 0; }));
      ASSERT_EQ(data.rawPointer + 0x400 + 3, out.size());
      EXPECT_EQ((Bytes{7, 7, 7}), Bytes(out.end() - 3, out.end()));
      EXPECT_EQ(out.size(), rd32(out, 512));
      EXPECT_EQ(referenceChecksum(out, optional + 64), rd32(out, optional + 64));
      Bytes again;
      EXPECT_TRUE(layoutStubImage(out, again, error, compact)) << error;
    }
  }
}

// Appends a COFF symbol table with the one symbol name (its value in the
// 1-based section) and its string table.
void addSymbol(Bytes& b, const std::string& name, uint16_t section, uint32_t value) {
  wr32(b, kFileHeader + 8, static_cast<uint32_t>(b.size()));
  wr32(b, kFileHeader + 12, 1);
  Bytes record(18, 0);
  wr32(record, 4, 4);  // the name at offset 4 of the string table
  wr32(record, 8, value);
  wr16(record, 12, section);
  record[16] = 2;  // external
  b.insert(b.end(), record.begin(), record.end());
  Bytes strings(4);
  wr32(strings, 0, static_cast<uint32_t>(4 + name.size() + 1));
  strings.insert(strings.end(), name.begin(), name.end());
  strings.push_back(0);
  b.insert(b.end(), strings.begin(), strings.end());
}

TEST(PeLayout, TheProgramsLoadConfigurationGetsItsDirectory) {
  struct Case {
    const char* name;
    bool pe32Plus;
    const char* symbol;
    uint16_t section;
    uint32_t offset, size;
    bool compact;
    const char* error;   // nullptr: laid out
    uint32_t directory;  // RVA in directory 10 (0: none)
  } const cases[] = {
      {"PE32", false, "__load_config_used", 1, 0x100, 0x48, false, nullptr, 0x1100},
      {"PE32+ compact", true, "_load_config_used", 1, 0x100, 0x70, true, nullptr, 0x1100},
      {"PE32 compact, smallest", false, "__load_config_used", 1, 0x20, 0x40, true, nullptr, 0x1020},
      {"the name of the other kind", false, "_load_config_used", 1, 0x100, 0x48, true, nullptr, 0},
      {"too short for the cookie", true, "_load_config_used", 1, 0x100, 0x58, false,
       "load configuration", 0},
      {"Size not a multiple of 4", false, "__load_config_used", 1, 0x100, 0x4A, false,
       "load configuration", 0},
      {"past the section's file data", false, "__load_config_used", 1, 0x1C0, 0x48, false,
       "load configuration", 0},
      {"in writable data", false, "__load_config_used", 2, 0x100, 0x48, false, "load configuration",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BuiltPe in = buildPe({c.pe32Plus, {}, false, false});
    const size_t at = (c.section == 1 ? 0x200 : 0x400) + c.offset;
    std::fill(in.bytes.begin() + at, in.bytes.begin() + std::min<size_t>(at + c.size, 0x600), 0);
    wr32(in.bytes, at, c.size);
    addSymbol(in.bytes, c.symbol, c.section, c.offset);
    LayoutOptions options;
    options.stripSymbols = true;
    options.compactHeaders = c.compact;
    Bytes out;
    std::string error;
    bool ok = layoutStubImage(in.bytes, out, error, options);
    if (c.error) {
      EXPECT_FALSE(ok);
      EXPECT_NE(std::string::npos, error.find(c.error)) << error;
      continue;
    }
    ASSERT_TRUE(ok) << error;
    const size_t pe = rd32(out, 0x3C), optional = pe + 24;
    const size_t directories = optional + (c.pe32Plus ? 112 : 96);
    const uint32_t count = rd32(out, directories - 4);
    EXPECT_EQ(c.compact ? (c.directory ? 11u : 5u) : 16u, count);
    if (count > 10) {
      EXPECT_EQ(c.directory, rd32(out, directories + 80));
      EXPECT_EQ(c.directory ? c.size : 0, rd32(out, directories + 84));
    }
    EXPECT_EQ(0u, rd32(out, pe + 4 + 8)) << "the symbols are dropped";
    EXPECT_EQ(referenceChecksum(out, optional + 64), rd32(out, optional + 64));
  }
}

TEST(PeLayout, SymbolTableIsRefusedOrStripped) {
  BuiltPe in = buildPe({false, Bytes{9, 8, 7}, false, true});
  Bytes out;
  std::string error;
  EXPECT_FALSE(layoutStubImage(in.bytes, out, error));
  EXPECT_NE(std::string::npos, error.find("-s")) << error;
  EXPECT_TRUE(out.empty());

  LayoutOptions strip;
  strip.stripSymbols = true;
  Layout stripped = layOut(in.bytes, strip);
  const Bytes& b = stripped.bytes;
  ASSERT_GT(b.size(), 0x600u);
  EXPECT_EQ(0u, rd32(b, stripped.pe + 4 + 8)) << "PointerToSymbolTable";
  EXPECT_EQ(0u, rd32(b, stripped.pe + 4 + 12)) << "NumberOfSymbols";
  EXPECT_EQ(0x000Cu, rd16(b, stripped.pe + 4 + 18) & 0x000C);
  // Only the symbols and strings go; the overlay before them stays at the end.
  uint32_t shift = rd32(b, stripped.optional + 60) - 0x200;
  ASSERT_EQ(0x600u + shift + 3, b.size());
  EXPECT_EQ((Bytes{9, 8, 7}), Bytes(b.end() - 3, b.end()));
  EXPECT_EQ(b.size(), rd32(b, 512));
  EXPECT_EQ(referenceChecksum(b, stripped.optional + 64), rd32(b, stripped.optional + 64));
}

// (The stub's own manifest is rewritten in stub_manifest_test.cpp.)
TEST(PeLayout, ManifestLevelIsRefusedWithoutResources) {
  Layout laid = layOut(buildPe().bytes);
  Bytes image = laid.bytes;
  std::string error;
  EXPECT_FALSE(setManifestExecutionLevel(image, "requireAdministrator", error));
  EXPECT_NE(std::string::npos, error.find("no resources")) << error;
  EXPECT_EQ(laid.bytes, image);
}

TEST(PeChecksum, KnownSmallInputs) {
  struct {
    Bytes data;
    size_t field;
    uint32_t expected;
  } const cases[] = {
      {{}, 0, 0},
      {{0x01}, 8, 0x0001 + 1},
      {{0x34, 0x12, 0x78, 0x56}, 8, 0x1234 + 0x5678 + 4},
      // 0xFFFF + 0x0001 carries around to 0x0001; plus 0x0002 and the length.
      {{0xFF, 0xFF, 0x01, 0x00, 0x02}, 8, 0x0003 + 5},
      {{0xFF, 0xFF, 0xFF, 0xFF}, 8, 0xFFFF + 4},
      // The field's four bytes count as zero wherever they are.
      {{0x10, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x20, 0x00}, 2, 0x30 + 8},
      {{0x10, 0xAA, 0xBB, 0xCC, 0xDD, 0x20}, 1, 0x2010 + 6},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, peImageChecksum(c.data.data(), c.data.size(), c.field))
        << "size " << c.data.size();
    if (c.field + 4 <= c.data.size()) {
      EXPECT_EQ(c.expected, referenceChecksum(c.data, c.field)) << "size " << c.data.size();
    }
  }
}

TEST(PeChecksum, AgreesWithTheReferenceOnLongRandomData) {
  std::mt19937 random(7);
  for (size_t size : {size_t{0x1000}, size_t{0x1001}, size_t{0x12345}}) {
    Bytes data(size);
    for (auto& byte : data) byte = static_cast<uint8_t>(random() % 3 == 0 ? 0xFF : random());
    size_t field = random() % (size - 4);
    EXPECT_EQ(referenceChecksum(data, field), peImageChecksum(data.data(), size, field)) << size;
  }
}

// ---------------------------------------------------------- hostile input

struct BrokenCase {
  const char* name;
  std::function<void(BuiltPe&)> damage;
  const char* errorPart;  // expected in the message
  LayoutOptions options;
};

class PeLayoutRefuses : public testing::TestWithParam<BrokenCase> {};

TEST_P(PeLayoutRefuses, WithAnError) {
  BuiltPe pe = buildPe({false, {}, true, false});
  GetParam().damage(pe);
  Bytes out{1, 2, 3};
  std::string error;
  EXPECT_FALSE(layoutStubImage(pe.bytes, out, error, GetParam().options));
  EXPECT_NE(std::string::npos, error.find(GetParam().errorPart)) << error;
  EXPECT_TRUE(out.empty());
}

LayoutOptions peOffsetOption(uint32_t offset) {
  LayoutOptions options;
  options.peOffset = offset;
  return options;
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, PeLayoutRefuses,
    testing::Values(
        BrokenCase{"Empty", [](BuiltPe& p) { p.bytes.clear(); }, "MZ", {}},
        BrokenCase{"NoMz", [](BuiltPe& p) { p.bytes[1] = 'X'; }, "MZ", {}},
        BrokenCase{
            "LfanewPastEnd", [](BuiltPe& p) { wr32(p.bytes, 0x3C, 0x5F0); }, "past the end", {}},
        BrokenCase{
            "LfanewHuge", [](BuiltPe& p) { wr32(p.bytes, 0x3C, 0xFFFFFFFC); }, "past the end", {}},
        BrokenCase{
            "LfanewInMzHeader", [](BuiltPe& p) { wr32(p.bytes, 0x3C, 0x10); }, "MZ header", {}},
        BrokenCase{
            "BadSignature", [](BuiltPe& p) { p.bytes[kLfanew + 2] = 'X'; }, "PE signature", {}},
        BrokenCase{"NotExecutable",
                   [](BuiltPe& p) { wr16(p.bytes, kFileHeader + 18, 0x0100); },
                   "executable",
                   {}},
        BrokenCase{"BadMagic", [](BuiltPe& p) { wr16(p.bytes, kOptional, 0x107); }, "magic", {}},
        BrokenCase{"Pe32PlusMagicInPe32Header",
                   [](BuiltPe& p) {
                     // A PE32+ header needs 16 more bytes before the directories.
                     wr16(p.bytes, kOptional, 0x20B);
                     wr32(p.bytes, kOptional + 108, 16);
                   },
                   "data directories",
                   {}},
        BrokenCase{"OptionalHeaderTooShort",
                   [](BuiltPe& p) { wr16(p.bytes, kFileHeader + 16, 90); },
                   "too short",
                   {}},
        BrokenCase{"OptionalHeaderPastEnd",
                   [](BuiltPe& p) { wr16(p.bytes, kFileHeader + 16, 0xFFFF); },
                   "past the end",
                   {}},
        BrokenCase{"TooManyDirectories",
                   [](BuiltPe& p) { wr32(p.bytes, p.directories - 4, 17); },
                   "data directories",
                   {}},
        BrokenCase{"FileAlignmentNotPowerOfTwo",
                   [](BuiltPe& p) { wr32(p.bytes, kOptional + 36, 0x300); },
                   "file alignment",
                   {}},
        BrokenCase{"FileAlignmentTooSmall",
                   [](BuiltPe& p) { wr32(p.bytes, kOptional + 36, 0x100); },
                   "file alignment",
                   {}},
        BrokenCase{"LowSectionAlignment",
                   [](BuiltPe& p) { wr32(p.bytes, kOptional + 32, 0x200); },
                   "section alignment",
                   {}},
        BrokenCase{"NoSections",
                   [](BuiltPe& p) { wr16(p.bytes, kFileHeader + 2, 0); },
                   "number of sections",
                   {}},
        BrokenCase{"SectionTablePastEnd",
                   [](BuiltPe& p) { wr16(p.bytes, kFileHeader + 2, 40); },
                   "section table",
                   {}},
        BrokenCase{"SectionTableBeyondSizeOfHeaders",
                   [](BuiltPe& p) { wr16(p.bytes, kFileHeader + 2, 6); },
                   "SizeOfHeaders",
                   {}},
        BrokenCase{"SizeOfHeadersUnaligned",
                   [](BuiltPe& p) { wr32(p.bytes, kOptional + 60, 0x300); },
                   "SizeOfHeaders",
                   {}},
        BrokenCase{"SizeOfHeadersPastEnd",
                   [](BuiltPe& p) { wr32(p.bytes, kOptional + 60, 0x800); },
                   "SizeOfHeaders",
                   {}},
        BrokenCase{"RawDataCutOff", [](BuiltPe& p) { p.bytes.resize(0x5FF); }, "cut off", {}},
        BrokenCase{"RawDataPointerHuge",
                   [](BuiltPe& p) { wr32(p.bytes, p.sectionTable + 40 + 20, 0xFFFFFE00); },
                   "cut off",
                   {}},
        BrokenCase{"RawDataSizeHuge",
                   [](BuiltPe& p) { wr32(p.bytes, p.sectionTable + 16, 0xFFFFFE00); },
                   "cut off",
                   {}},
        BrokenCase{"RawDataInHeaders",
                   [](BuiltPe& p) { wr32(p.bytes, p.sectionTable + 20, 0x100); },
                   "headers",
                   {}},
        BrokenCase{"SectionAddressInHeaders",
                   [](BuiltPe& p) { wr32(p.bytes, p.sectionTable + 12, 0x100); },
                   "overlaps",
                   {}},
        BrokenCase{"BadRelocationPointer",
                   [](BuiltPe& p) { wr32(p.bytes, p.sectionTable + 24, 0x7000); },
                   "relocation",
                   {}},
        BrokenCase{"HeadersWouldOverlapFirstSection", [](BuiltPe&) {}, "overlap",
                   peOffsetOption(0xF00)},
        BrokenCase{"FirstSectionTooLowForNewHeaders",
                   [](BuiltPe& p) {
                     // Linked headers end at 0x200, ours would need 0x800.
                     wr32(p.bytes, p.sectionTable + 12, 0x600);
                   },
                   "overlap",
                   {}},
        BrokenCase{"Signed",
                   [](BuiltPe& p) {
                     wr32(p.bytes, p.directories + 8 * 4, 0x600);
                     wr32(p.bytes, p.directories + 8 * 4 + 4, 8);
                   },
                   "signed",
                   {}},
        BrokenCase{"DirectoryInHeaders",
                   [](BuiltPe& p) {
                     wr32(p.bytes, p.directories + 8 * 11, 0x190);
                     wr32(p.bytes, p.directories + 8 * 11 + 4, 0x20);
                   },
                   "headers",
                   {}},
        BrokenCase{"DebugDirectoryBadSize",
                   [](BuiltPe& p) { wr32(p.bytes, p.directories + 8 * 6 + 4, 27); },
                   "debug",
                   {}},
        BrokenCase{"DebugDirectoryOutsideSections",
                   [](BuiltPe& p) { wr32(p.bytes, p.directories + 8 * 6, 0x2FFC); },
                   "debug",
                   {}},
        BrokenCase{"DebugDataPastEnd",
                   [](BuiltPe& p) { wr32(p.bytes, p.debugEntry + 24, 0x5F0); },
                   "debug",
                   {}},
        BrokenCase{"DebugDataInHeaders",
                   [](BuiltPe& p) { wr32(p.bytes, p.debugEntry + 24, 0x10); },
                   "debug",
                   {}},
        BrokenCase{"SymbolTableWithoutStrip",
                   [](BuiltPe& p) { wr32(p.bytes, kFileHeader + 8, 0x600); },
                   "symbol",
                   {}},
        BrokenCase{"SymbolTableNotAtEnd",
                   [](BuiltPe& p) {
                     wr32(p.bytes, kFileHeader + 8, 0x580);  // inside .data
                   },
                   "symbol", LayoutOptions{0, true}},
        BrokenCase{"SymbolCountHuge",
                   [](BuiltPe& p) {
                     wr32(p.bytes, kFileHeader + 8, 0x600);
                     wr32(p.bytes, kFileHeader + 12, 0xFFFFFFFF);
                     p.bytes.resize(0x640, 0);
                   },
                   "symbol", LayoutOptions{0, true}},
        BrokenCase{"LongSectionNamesNeedTheStrings",
                   [](BuiltPe& p) {
                     wr32(p.bytes, kFileHeader + 8, 0x600);
                     wr32(p.bytes, kFileHeader + 12, 0);
                     p.bytes.insert(p.bytes.end(), {8, 0, 0, 0, 'a', 'b', 'c', 0});
                     std::memcpy(&p.bytes[p.sectionTable + 40], "/4\0\0\0\0\0\0", 8);
                   },
                   "string table", LayoutOptions{0, true}}),
    [](const testing::TestParamInfo<BrokenCase>& info) { return std::string(info.param.name); });

TEST(PeLayoutHostile, EveryTruncationIsRefused) {
  Bytes whole = buildPe({true, {}, true, false}).bytes;
  for (size_t length = 0; length < whole.size(); ++length) {
    Bytes cut(whole.begin(), whole.begin() + length);
    Bytes out;
    std::string error;
    EXPECT_FALSE(layoutStubImage(cut, out, error)) << "length " << length;
    EXPECT_FALSE(error.empty()) << "length " << length;
  }
}

TEST(PeLayoutHostile, RandomDamageNeverBreaksTheOutputInvariants) {
  // Damaged headers must either be refused or give a consistent image.
  std::mt19937 random(20240601);
  const BuiltPe pe = buildPe({false, Bytes{1, 2, 3}, true, false});
  Bytes reference = layOut(pe.bytes).bytes;
  ASSERT_FALSE(reference.empty());
  int accepted = 0, refused = 0;
  for (int round = 0; round < 4000; ++round) {
    Bytes damaged = pe.bytes;
    int hits = 1 + static_cast<int>(random() % 4);
    for (int h = 0; h < hits; ++h) {
      // Mostly the headers, sometimes the debug entry.
      size_t at = random() % 8 == 0 ? pe.debugEntry + random() % 28 : random() % 0x200;
      damaged[at] = static_cast<uint8_t>(random());
    }
    Bytes out;
    std::string error;
    if (!layoutStubImage(damaged, out, error)) {
      EXPECT_FALSE(error.empty());
      EXPECT_TRUE(out.empty());
      ++refused;
      continue;
    }
    ++accepted;
    ASSERT_GE(out.size(), 0x600u);
    EXPECT_EQ(out.size(), rd32(out, 512));
    uint32_t pe32 = rd32(out, 0x3C);
    EXPECT_EQ(0x570u, pe32);
    // The DOS part does not depend on the input, apart from the archive offset.
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 512, reference.begin()));
    EXPECT_TRUE(
        std::equal(out.begin() + 516, out.begin() + DOS_PART_SIZE, reference.begin() + 516));
    size_t field = pe32 + 24 + 64;
    EXPECT_EQ(referenceChecksum(out, field), rd32(out, field));
  }
  EXPECT_GT(accepted, 0);
  EXPECT_GT(refused, 0);
}

// ------------------------------------------------ a real linked program

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool haveCommand(const std::string& name) {
  return std::system(("command -v " + quote(name) + " >/dev/null 2>&1").c_str()) == 0;
}

int exitCodeOf(const std::string& command) {
  int status = std::system(command.c_str());
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Bytes readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string readText(const fs::path& path) {
  Bytes bytes = readBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void writeBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

struct Toolchain {
  const char* compiler;
  uint16_t magic;
};

class RealStub : public testing::TestWithParam<Toolchain> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kasumiro-pe-layout-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
  }
  fs::path dir_;
};

// How to start Wine for a program: the loader's command words and the prefix.
struct Wine {
  std::string loader;
  std::string prefix;
};

// 64-bit programs go straight to wine64, since the wrapper starts the 32-bit
// loader first, which not every host can run. 32-bit programs go to the 32-bit
// loader through scripts/with-i386, which runs it natively or, where the
// kernel refuses 32-bit code, under qemu-i386 in a user namespace; they get a
// prefix of their own, always made that way, because a prefix that wine64
// made alone lacks the 32-bit system.
Wine wineFor(bool pe32Plus) {
  std::string prefix = "/tmp/kasumiro-wine-" + std::to_string(getuid());
  if (pe32Plus) {
    if (access("/usr/lib/wine/wine64", X_OK) == 0) return {"/usr/lib/wine/wine64", prefix};
    if (haveCommand("wine64")) return {"wine64", prefix};
  }
  if (!haveCommand("wine")) return {};
  if (pe32Plus) return {"wine", prefix};
  return {quote(std::string(KASUMIRO_SOURCE_DIR) + "/scripts/with-i386") + " wine",
          prefix + "-i686"};
}

// Runs a Windows program under Wine (console, no window) and gives its exit code.
int runUnderWine(const Wine& wine, const std::string& arguments, const fs::path& log) {
  return exitCodeOf("WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' WINEPREFIX=" +
                    quote(wine.prefix) + " timeout 500 " + wine.loader + " " + arguments + " >" +
                    quote(log.string()) + " 2>&1 </dev/null");
}

TEST_P(RealStub, LinkedProgramIsLaidOutAndStillRuns) {
  const Toolchain& tool = GetParam();
  if (!haveCommand(tool.compiler)) GTEST_SKIP() << tool.compiler << " is not installed";
  {
    std::ofstream source(dir_ / "main.c");
    source << "int main(void) { return 7; }\n";
  }
  auto compile = [&](const char* output, const char* flags) {
    std::string command = std::string(tool.compiler) + " -O2 " + flags + " -o " +
                          quote((dir_ / output).string()) + " " +
                          quote((dir_ / "main.c").string()) + " >>" +
                          quote((dir_ / "cc.log").string()) + " 2>&1";
    return exitCodeOf(command);
  };
  ASSERT_EQ(0, compile("stripped.exe", "-s"));
  ASSERT_EQ(0, compile("linked.exe", ""));
  Bytes linked = readBytes(dir_ / "stripped.exe");
  Bytes withSymbols = readBytes(dir_ / "linked.exe");
  ASSERT_GT(linked.size(), 0x400u);

  Layout out = layOut(linked);
  const Bytes& b = out.bytes;
  ASSERT_GT(b.size(), 0x600u);
  EXPECT_EQ(tool.magic, rd16(b, out.optional));
  EXPECT_EQ(b.size(), rd32(b, 512));
  EXPECT_EQ(referenceChecksum(b, out.optional + 64), rd32(b, out.optional + 64));
  size_t inPe = rd32(linked, 0x3C);
  size_t inOptional = inPe + 24;
  size_t inSections = inOptional + rd16(linked, inPe + 20);
  EXPECT_EQ(rd32(linked, inOptional + 56), rd32(b, out.optional + 56)) << "SizeOfImage";
  for (size_t i = 0; i < rd16(linked, inPe + 6); ++i) {
    Section before = sectionAt(linked, inSections + 40 * i);
    Section after = sectionAt(b, out.sectionTable + 40 * i);
    EXPECT_EQ(before.va, after.va);
    ASSERT_EQ(before.rawSize, after.rawSize);
    if (before.rawSize == 0) continue;
    ASSERT_LE(after.rawPointer + after.rawSize, b.size());
    EXPECT_TRUE(std::equal(linked.begin() + before.rawPointer,
                           linked.begin() + before.rawPointer + before.rawSize,
                           b.begin() + after.rawPointer))
        << "section " << i;
  }

  // Unstripped output is refused unless the symbols are dropped.
  Bytes refused;
  std::string error;
  EXPECT_FALSE(layoutStubImage(withSymbols, refused, error)) << "symbols not noticed";
  LayoutOptions strip;
  strip.stripSymbols = true;
  Bytes symbolsDropped;
  bool droppedOk = layoutStubImage(withSymbols, symbolsDropped, error, strip);
  if (!droppedOk) {
    EXPECT_NE(std::string::npos, error.find("string table")) << error;
  }

  writeBytes(dir_ / "stub.exe", b);
  Bytes withArchive = b;
  for (int i = 0; i < 3000; ++i) withArchive.push_back(static_cast<uint8_t>(i * 13));
  writeBytes(dir_ / "setup.exe", withArchive);
  if (droppedOk) writeBytes(dir_ / "symbols-dropped.exe", symbolsDropped);

  const bool pe32Plus = tool.magic == 0x20B;
  Wine wine = wineFor(pe32Plus);
  if (wine.loader.empty()) GTEST_SKIP() << "wine is not installed: layout checked, not run";
  if (!pe32Plus) {
    // Skipped only where 32-bit Wine cannot run at all; the script says why.
    const std::string check = quote(std::string(KASUMIRO_SOURCE_DIR) + "/scripts/with-i386");
    if (exitCodeOf(check + " --check >" + quote((dir_ / "i386.log").string()) + " 2>&1") != 0)
      GTEST_SKIP() << "32-bit Wine cannot run here: " << readText(dir_ / "i386.log")
                   << "layout checked, not run";
    ASSERT_EQ(0, runUnderWine(wine, "--version", dir_ / "wine.log")) << readText(dir_ / "wine.log");
  } else if (runUnderWine(wine, "--version", dir_ / "wine.log") != 0) {
    GTEST_SKIP() << wine.loader << " cannot start on this host: layout checked, not run\n"
                 << readText(dir_ / "wine.log");
  }
  // The plain stub, the stub with an archive appended, the one whose symbols were dropped.
  EXPECT_EQ(7, runUnderWine(wine, quote((dir_ / "stub.exe").string()), dir_ / "wine1.log"))
      << readText(dir_ / "wine1.log");
  EXPECT_EQ(7, runUnderWine(wine, quote((dir_ / "setup.exe").string()), dir_ / "wine2.log"))
      << readText(dir_ / "wine2.log");
  if (droppedOk) {
    EXPECT_EQ(
        7, runUnderWine(wine, quote((dir_ / "symbols-dropped.exe").string()), dir_ / "wine3.log"))
        << readText(dir_ / "wine3.log");
  }
}

INSTANTIATE_TEST_SUITE_P(MinGw, RealStub,
                         testing::Values(Toolchain{"i686-w64-mingw32-gcc", 0x10B},
                                         Toolchain{"x86_64-w64-mingw32-gcc", 0x20B}),
                         [](const testing::TestParamInfo<Toolchain>& info) {
                           return std::string(info.param.magic == 0x10B ? "I686" : "X86_64");
                         });

}  // namespace
