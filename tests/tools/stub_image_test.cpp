// The image of the built stubs, and of a self-extracting file made from each
// by kasumiro a (with --admin, which rewrites the manifest): what the linker
// script, the link options and the layout tool make of it and no loader we
// can run here would miss if it changed. Hardened: relocatable with a base
// relocation table (DYNAMIC_BASE, HIGH_ENTROPY_VA on x86_64), NX_COMPAT, no
// structured exception handlers on i686, no section both writable and
// executable, a load configuration that asks for dependencies from the
// system folder only, and only kernel32 and user32 imported (what loads
// before the program narrows the DLL search). And small: the program with
// its tables in one section, the zero-filled data without file bytes, the
// resources last, headers right behind the DOS program. Needs the stubs
// (build/stub-*), which ctest builds first.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "support/shell.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t SCN_CODE = 0x20, SCN_UNINITIALIZED = 0x80, SCN_EXECUTE = 0x20000000,
                   SCN_READ = 0x40000000, SCN_WRITE = 0x80000000u;

uint64_t rd(const Bytes& b, size_t at, int bytes = 4) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b.at(at + i);
  return v;
}

struct Section {
  std::string name;
  uint32_t rva, virtualSize, rawSize, rawOffset, flags;
  bool holds(uint64_t at, uint64_t length) const {
    return at >= rva && at + length <= uint64_t{rva} + rawSize;
  }
};

// (arch, made by kasumiro a)
class StubImageTest : public ::testing::TestWithParam<std::tuple<const char*, bool>> {
 protected:
  void SetUp() override {
    arch_ = std::get<0>(GetParam());
    const std::string stub =
        std::string(KASUMIRO_SOURCE_DIR) + "/build/stub-" + arch_ + "/kasumiro-stub.exe";
    std::string path = stub;
    if (!fs::exists(stub)) GTEST_SKIP() << "no stub at " << stub << " (ctest builds it)";
    if (std::get<1>(GetParam())) {
      char pattern[] = "/tmp/kasumiro-stub-image-XXXXXX";
      ASSERT_NE(mkdtemp(pattern), nullptr);
      dir_ = pattern;
      std::ofstream(dir_ / "a.txt") << "packed";
      path = (dir_ / "setup.exe").string();
      const testkit::ShellResult pack =
          testkit::runShell("cd " + testkit::shellQuote(dir_.string()) + " && " +
                                testkit::shellQuote(KASUMIRO_RUNNER) + " a --admin --stub " +
                                testkit::shellQuote(stub) + " setup.exe a.txt",
                            dir_.string());
      ASSERT_EQ(pack.status, 0) << pack.err;
    }
    std::ifstream in(path, std::ios::binary);
    image_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    ASSERT_GT(image_.size(), 0x1000u) << path;
    pe_ = rd(image_, 0x3C);
    optional_ = pe_ + 24;
    pe32_ = rd(image_, optional_, 2) == 0x10B;
    directories_ = optional_ + (pe32_ ? 96 : 112);
    const size_t table = optional_ + rd(image_, pe_ + 20, 2);
    for (uint32_t i = 0; i < rd(image_, pe_ + 6, 2); ++i) {
      const size_t h = table + 40 * i;
      sections_.push_back(
          {std::string(reinterpret_cast<const char*>(&image_[h]), 8).c_str(),
           static_cast<uint32_t>(rd(image_, h + 12)), static_cast<uint32_t>(rd(image_, h + 8)),
           static_cast<uint32_t>(rd(image_, h + 16)), static_cast<uint32_t>(rd(image_, h + 20)),
           static_cast<uint32_t>(rd(image_, h + 36))});
    }
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  uint32_t directory(int index, int field = 0) {
    if (index >= static_cast<int>(rd(image_, directories_ - 4))) return 0;
    return static_cast<uint32_t>(rd(image_, directories_ + 8 * index + 4 * field));
  }
  size_t fileOffset(const Section& s, uint64_t rva) { return s.rawOffset + (rva - s.rva); }
  const Section& program() { return sections_.at(0); }
  uint64_t imageBase() { return rd(image_, optional_ + (pe32_ ? 28 : 24), pe32_ ? 4 : 8); }

  std::string arch_;
  fs::path dir_;
  Bytes image_;
  size_t pe_ = 0, optional_ = 0, directories_ = 0;
  bool pe32_ = true;
  std::vector<Section> sections_;
};

TEST_P(StubImageTest, NoSectionIsBothWritableAndExecutable) {
  EXPECT_EQ(rd(image_, optional_ + 32), 0x1000u) << "section alignment";
  EXPECT_EQ(rd(image_, optional_ + 36), 0x200u) << "file alignment";
  ASSERT_EQ(sections_.size(), 3u);
  for (const Section& s : sections_)
    EXPECT_NE(s.flags & (SCN_WRITE | SCN_EXECUTE), SCN_WRITE | SCN_EXECUTE) << s.name;
  // The program, its constants and tables: read and run, never written.
  EXPECT_EQ(sections_[0].name, ".text");
  EXPECT_EQ(sections_[0].flags & (SCN_CODE | SCN_EXECUTE | SCN_READ | SCN_WRITE),
            SCN_CODE | SCN_EXECUTE | SCN_READ);
  // The zero-filled data: read and written, never run, no file bytes.
  EXPECT_EQ(sections_[1].name, ".bss");
  EXPECT_EQ(sections_[1].flags & (SCN_UNINITIALIZED | SCN_EXECUTE | SCN_READ | SCN_WRITE),
            SCN_UNINITIALIZED | SCN_READ | SCN_WRITE);
  EXPECT_EQ(sections_[1].rawSize, 0u);
  EXPECT_GT(sections_[1].virtualSize, 0x10000u);
  // The resources last, never run (the resource compiler marks them
  // writable, as MinGW always has).
  EXPECT_EQ(sections_[2].name, ".rsrc");
  EXPECT_EQ(sections_[2].flags & (SCN_EXECUTE | SCN_READ), SCN_READ);
  EXPECT_TRUE(sections_[2].holds(directory(2), directory(2, 1))) << "resource directory";
  // One after the other in memory, as the loader maps them.
  for (size_t i = 1; i < sections_.size(); ++i)
    EXPECT_EQ(sections_[i].rva,
              (sections_[i - 1].rva + sections_[i - 1].virtualSize + 0xFFFu) & ~0xFFFu)
        << sections_[i].name;
}

TEST_P(StubImageTest, HeadersRightBehindTheDosProgram) {
  EXPECT_EQ(rd(image_, 0x3C), 0x510u) << "e_lfanew";
  // Up to the import address table's directory, which tells the loader
  // what to unprotect while it binds the imports.
  EXPECT_EQ(rd(image_, directories_ - 4), 13u);
  const uint32_t headers = static_cast<uint32_t>(rd(image_, optional_ + 60));
  EXPECT_EQ(headers, 0x800u) << "SizeOfHeaders";
  EXPECT_EQ(program().rawOffset, headers);
}

TEST_P(StubImageTest, RelocatableAndNeverExecutingData) {
  const uint16_t characteristics = static_cast<uint16_t>(rd(image_, pe_ + 4 + 18, 2));
  EXPECT_EQ(characteristics & 0x0001, 0) << "RELOCS_STRIPPED";
  const uint16_t dll = static_cast<uint16_t>(rd(image_, optional_ + 70, 2));
  EXPECT_EQ(dll & 0x0040, 0x0040) << "DYNAMIC_BASE";
  EXPECT_EQ(dll & 0x0100, 0x0100) << "NX_COMPAT";
  if (pe32_) {
    EXPECT_EQ(dll & 0x0400, 0x0400) << "NO_SEH";
  } else {
    EXPECT_EQ(dll & 0x0020, 0x0020) << "HIGH_ENTROPY_VA";
    EXPECT_EQ(characteristics & 0x0020, 0x0020) << "LARGE_ADDRESS_AWARE";
    EXPECT_GT(imageBase(), 0xFFFFFFFFu) << "linked above 4 GiB";
  }

  // The base relocations: whole blocks in the program's file data, each for a
  // page of the image, every entry an address of the word size (or padding)
  // whose value lies in the image.
  const uint32_t relocations = directory(5), size = directory(5, 1);
  ASSERT_GT(size, 0u);
  ASSERT_TRUE(program().holds(relocations, size));
  const uint64_t imageSize = rd(image_, optional_ + 56);
  const unsigned wordType = pe32_ ? 3 : 10, wordSize = pe32_ ? 4 : 8;
  size_t fixups = 0;
  for (uint32_t at = 0; at < size;) {
    const size_t block = fileOffset(program(), uint64_t{relocations} + at);
    const uint32_t page = static_cast<uint32_t>(rd(image_, block));
    const uint32_t blockSize = static_cast<uint32_t>(rd(image_, block + 4));
    ASSERT_TRUE(blockSize >= 8 && blockSize % 4 == 0 && at + blockSize <= size) << at;
    ASSERT_EQ(page % 0x1000, 0u);
    for (uint32_t e = 8; e < blockSize; e += 2) {
      const unsigned entry = static_cast<unsigned>(rd(image_, block + e, 2));
      if (entry >> 12 == 0) continue;
      ASSERT_EQ(entry >> 12, wordType);
      const uint64_t site = page + (entry & 0xFFF);
      ASSERT_TRUE(program().holds(site, wordSize)) << std::hex << site;
      const uint64_t value = rd(image_, fileOffset(program(), site), wordSize);
      EXPECT_TRUE(value >= imageBase() && value - imageBase() < imageSize) << std::hex << site;
      ++fixups;
    }
    at += blockSize;
  }
  EXPECT_GT(fixups, 0u);
}

TEST_P(StubImageTest, TheLoadConfigurationAsksForDllsFromTheSystemFolder) {
  const uint32_t config = directory(10), size = directory(10, 1);
  // The structure of the Windows SDK's headers up to SEHandlerCount, its
  // Size field and the directory alike.
  ASSERT_EQ(size, pe32_ ? 0x48u : 0x70u);
  ASSERT_TRUE(program().holds(config, size));
  const size_t at = fileOffset(program(), config);
  EXPECT_EQ(rd(image_, at), size) << "Size";
  EXPECT_EQ(rd(image_, at + (pe32_ ? 54 : 78), 2), 0x800u)
      << "DependentLoadFlags: LOAD_LIBRARY_SEARCH_SYSTEM32";
  // Nothing else asked of the loader: no security cookie to set (the stub
  // has no stack protection), no handler table, no lock prefixes to patch.
  for (size_t field = 4; field < size; ++field) {
    if (field == (pe32_ ? 54u : 78u) || field == (pe32_ ? 55u : 79u)) continue;
    EXPECT_EQ(image_.at(at + field), 0) << "byte " << field;
  }
}

TEST_P(StubImageTest, OnlyKernel32AndUser32AreImportedNamedByTheAddressTable) {
  const Section& text = program();
  ASSERT_TRUE(text.holds(directory(1), directory(1, 1))) << "import directory";
  const uint32_t iat = directory(12), iatSize = directory(12, 1);
  ASSERT_TRUE(text.holds(iat, iatSize)) << "import address table";
  const uint32_t entrySize = pe32_ ? 4 : 8;
  std::set<std::string> dlls;
  for (size_t d = fileOffset(text, directory(1)); rd(image_, d + 12); d += 20) {
    std::string dll(
        reinterpret_cast<const char*>(&image_.at(fileOffset(text, rd(image_, d + 12)))));
    for (char& c : dll) c = static_cast<char>(std::tolower(c));
    dlls.insert(dll);
    EXPECT_EQ(rd(image_, d), 0u) << dll << ": no lookup table";
    // Before loading, each address table entry names its function: the
    // RVA of a hint and a name inside the section. The directory of the
    // address table covers them all, up to the null entry.
    uint32_t thunk = static_cast<uint32_t>(rd(image_, d + 16));
    for (;; thunk += entrySize) {
      ASSERT_TRUE(thunk >= iat && thunk + entrySize <= iat + iatSize) << dll;
      const uint64_t hintName = rd(image_, fileOffset(text, thunk), entrySize);
      if (hintName == 0) break;
      ASSERT_TRUE(text.holds(hintName, 3)) << dll;
      EXPECT_NE(image_.at(fileOffset(text, hintName) + 2), 0) << dll;
    }
  }
  // Known DLLs both: the loader maps the system's own copies, whatever lies
  // in the program's folder. comctl32, shell32 and ole32 the program loads
  // itself once it has narrowed the search.
  EXPECT_EQ(dlls, (std::set<std::string>{"kernel32.dll", "user32.dll"}));
}

INSTANTIATE_TEST_SUITE_P(BuiltStubs, StubImageTest,
                         testing::Combine(testing::Values("i686", "x86_64"), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<const char*, bool>>& info) {
                           return std::string(std::get<0>(info.param)) +
                                  (std::get<1>(info.param) ? "Packed" : "");
                         });

}  // namespace
