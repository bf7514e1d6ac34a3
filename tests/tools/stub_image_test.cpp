// The layout of the built stubs, which the linker script and the layout tool
// make and no loader we can run here would miss if it changed: the program
// in one writable and executable section holding the import tables, with the
// zero-filled data as its tail, the imports without lookup tables, the
// resources last, and headers cut to five data directories. Needs the stubs
// (build/stub-*), which ctest builds first.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t SCN_CODE = 0x20, SCN_EXECUTE = 0x20000000, SCN_READ = 0x40000000,
                   SCN_WRITE = 0x80000000u;

uint32_t rd(const Bytes& b, size_t at, int bytes = 4) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b.at(at + i);
  return v;
}

struct Section {
  std::string name;
  uint32_t rva, virtualSize, rawSize, rawOffset, flags;
  bool holds(uint32_t at, uint32_t length) const {
    return at >= rva && at + length <= rva + rawSize;
  }
};

class StubImageTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const std::string path =
        std::string(KASUMIRO_SOURCE_DIR) + "/build/stub-" + GetParam() + "/kasumiro-stub.exe";
    std::ifstream in(path, std::ios::binary);
    image_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (image_.empty()) GTEST_SKIP() << "no stub at " << path << " (ctest builds it)";
    const size_t pe = rd(image_, 0x3C);
    optional_ = pe + 24;
    const bool pe32 = rd(image_, optional_, 2) == 0x10B;
    directories_ = optional_ + (pe32 ? 96 : 112);
    const size_t table = optional_ + rd(image_, pe + 20, 2);
    for (uint32_t i = 0; i < rd(image_, pe + 6, 2); ++i) {
      const size_t h = table + 40 * i;
      sections_.push_back({std::string(reinterpret_cast<const char*>(&image_[h]), 5).c_str(),
                           rd(image_, h + 12), rd(image_, h + 8), rd(image_, h + 16),
                           rd(image_, h + 20), rd(image_, h + 36)});
    }
  }
  uint32_t directory(int index, int field = 0) {
    if (index >= static_cast<int>(rd(image_, directories_ - 4))) return 0;
    return rd(image_, directories_ + 8 * index + 4 * field);
  }
  size_t fileOffset(const Section& s, uint32_t rva) { return s.rawOffset + (rva - s.rva); }

  Bytes image_;
  size_t optional_ = 0, directories_ = 0;
  std::vector<Section> sections_;
};

TEST_P(StubImageTest, ProgramInOneWritableSectionAndResourcesLast) {
  EXPECT_EQ(rd(image_, optional_ + 32), 0x1000u) << "section alignment";
  EXPECT_EQ(rd(image_, optional_ + 36), 0x200u) << "file alignment";
  ASSERT_EQ(sections_.size(), 2u);
  EXPECT_EQ(sections_[0].name, ".text");
  EXPECT_EQ(sections_[1].name, ".rsrc");
  const uint32_t rwx = SCN_CODE | SCN_EXECUTE | SCN_READ | SCN_WRITE;
  EXPECT_EQ(sections_[0].flags & rwx, rwx);
  // The zero-filled data is the program section's tail, up to the resources.
  EXPECT_GT(sections_[0].virtualSize, sections_[0].rawSize + 0x10000);
  EXPECT_LE(sections_[0].rva + sections_[0].virtualSize, sections_[1].rva);
  EXPECT_TRUE(sections_[1].holds(directory(2), directory(2, 1))) << "resource directory";
}

TEST_P(StubImageTest, HeadersRightBehindTheDosProgramWithFiveDirectories) {
  EXPECT_EQ(rd(image_, 0x3C), 0x510u) << "e_lfanew";
  // Export, import, resources, exceptions and the certificate table (so that
  // the finished file can be signed); the import address table's entry is
  // not needed for a writable section.
  EXPECT_EQ(rd(image_, directories_ - 4), 5u);
  const uint32_t headers = rd(image_, optional_ + 60);
  EXPECT_EQ(headers, std::string(GetParam()) == "i686" ? 0x600u : 0x800u) << "SizeOfHeaders";
  EXPECT_EQ(sections_.at(0).rawOffset, headers);
}

TEST_P(StubImageTest, ImportsInTheProgramSectionNamedOnlyByTheAddressTable) {
  const Section& text = sections_.at(0);
  ASSERT_TRUE(text.holds(directory(1), directory(1, 1))) << "import directory";
  const bool pe32 = rd(image_, optional_, 2) == 0x10B;
  const uint32_t entrySize = pe32 ? 4 : 8;
  for (size_t d = fileOffset(text, directory(1)); rd(image_, d + 12); d += 20) {
    std::string dll(
        reinterpret_cast<const char*>(&image_.at(fileOffset(text, rd(image_, d + 12)))));
    for (char& c : dll) c = static_cast<char>(std::tolower(c));
    EXPECT_NE(dll, "msvcrt.dll");
    EXPECT_EQ(rd(image_, d), 0u) << dll << ": no lookup table";
    // Before loading, each address table entry names its function: the
    // RVA of a hint and a name inside the section.
    uint32_t thunk = rd(image_, d + 16);
    ASSERT_TRUE(text.holds(thunk, entrySize)) << dll;
    for (; rd(image_, fileOffset(text, thunk)); thunk += entrySize) {
      const uint32_t hintName = rd(image_, fileOffset(text, thunk));
      ASSERT_TRUE(text.holds(hintName, 3)) << dll;
      EXPECT_NE(image_.at(fileOffset(text, hintName) + 2), 0) << dll;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BuiltStubs, StubImageTest, testing::Values("i686", "x86_64"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

}  // namespace
