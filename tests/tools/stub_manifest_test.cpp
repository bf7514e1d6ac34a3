// The application manifest of the built stubs, read back from their resource
// directory the way the loader finds it, and what --admin changes in a
// self-extracting file. Needs the stubs (build/stub-*); ctest builds them
// first.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/image/pe_layout.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t rd(const Bytes& b, size_t at, int bytes = 4) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b.at(at + i);
  return v;
}

// Where the manifest (RT_MANIFEST 24, id 1, first language) lies in a PE file.
struct Found {
  size_t offset = 0, size = 0;
  uint16_t language = 0xFFFF;
  size_t checksumField = 0;
  size_t typeEntry = 0;  // the root directory's entry for type 24
};

Found findManifest(const Bytes& b) {
  Found found;
  size_t pe = rd(b, 0x3C), optional = pe + 24;
  found.checksumField = optional + 64;
  size_t directories = optional + (rd(b, optional, 2) == 0x20B ? 112 : 96);
  uint32_t resourceRva = rd(b, directories + 2 * 8);
  size_t sections = optional + rd(b, pe + 20, 2);
  auto fileOffset = [&](uint32_t rva) -> size_t {
    for (size_t s = sections; s < sections + 40 * rd(b, pe + 6, 2); s += 40) {
      uint32_t va = rd(b, s + 12), raw = rd(b, s + 16);
      if (rva >= va && rva < va + raw) return rd(b, s + 20) + (rva - va);
    }
    ADD_FAILURE() << "RVA " << rva << " is in no section";
    return 0;
  };
  size_t base = fileOffset(resourceRva);
  // The target of the entry with id (0: the first entry) of a directory.
  size_t at = 0;
  auto entry = [&](size_t directory, uint32_t id, uint32_t* name = nullptr) -> uint32_t {
    size_t count = rd(b, base + directory + 12, 2) + rd(b, base + directory + 14, 2);
    for (size_t i = 0; i < count; ++i) {
      at = base + directory + 16 + 8 * i;
      if (id == 0 || rd(b, at) == id) {
        if (name) *name = rd(b, at);
        return rd(b, at + 4);
      }
    }
    return 0;
  };
  uint32_t names = entry(0, 24);
  found.typeEntry = at;
  if (!(names & 0x80000000u)) return found;
  uint32_t languages = entry(names & 0x7FFFFFFF, 1);
  if (!(languages & 0x80000000u)) return found;
  uint32_t language = 0;
  uint32_t data = entry(languages & 0x7FFFFFFF, 0, &language);
  found.language = static_cast<uint16_t>(language);
  found.offset = fileOffset(rd(b, base + data));
  found.size = rd(b, base + data + 4);
  return found;
}

std::string manifestOf(const Bytes& b) {
  Found f = findManifest(b);
  if (f.size == 0) return "";
  return std::string(b.begin() + static_cast<long>(f.offset),
                     b.begin() + static_cast<long>(f.offset + f.size));
}

// The PE checksum as Windows' CheckSumMappedFile computes it.
uint32_t checksum(const Bytes& b, size_t field) {
  uint64_t sum = 0;
  for (size_t i = 0; i < b.size(); i += 2) {
    if (i >= field && i < field + 4) continue;
    sum += b[i] | (i + 1 < b.size() ? b[i + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<uint32_t>(((sum & 0xFFFF) + (sum >> 16)) + b.size());
}

class StubManifestTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    stubPath_ =
        std::string(KASUMIRO_SOURCE_DIR) + "/build/stub-" + GetParam() + "/kasumiro-stub.exe";
    stub_ = readFile(stubPath_);
    if (stub_.empty()) GTEST_SKIP() << "no stub at " << stubPath_ << " (ctest builds it)";
  }
  std::string stubPath_;
  Bytes stub_;
};

TEST_P(StubManifestTest, AsksForNothingMoreThanTheUserHasAndDeclaresItsSystems) {
  Found f = findManifest(stub_);
  EXPECT_EQ(0, f.language) << "the manifest is language neutral";
  std::string m = manifestOf(stub_);
  ASSERT_FALSE(m.empty()) << "no RT_MANIFEST 1";
  EXPECT_EQ(std::string::npos, m.find_first_of("\r\n\t")) << "one line, no indentation";
  EXPECT_EQ(0u, m.find("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><assembly "));
  EXPECT_NE(std::string::npos, m.find("<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v2\">"
                                      "<security><requestedPrivileges>"
                                      "<requestedExecutionLevel level=\"asInvoker\"           />"))
      << m;
  EXPECT_NE(std::string::npos, m.find("<application xmlns=\"urn:schemas-microsoft-com:asm.v3\">"
                                      "<windowsSettings><dpiAware xmlns=\"http://schemas.microsoft"
                                      ".com/SMI/2005/WindowsSettings\">true</dpiAware>"));
  EXPECT_NE(std::string::npos,
            m.find("<assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" "
                   "version=\"6.0.0.0\" processorArchitecture=\"*\" "
                   "publicKeyToken=\"6595b64144ccf1df\" language=\"*\"/>"));
  const char* systems[] = {
      "e2011457-1546-43c5-a5fe-008deee3d3f0",  // Vista
      "35138b9a-5d96-4fbd-8e2d-a2440225f93a",  // 7
      "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",  // 8
      "1f676c76-80e1-4239-95bb-83d0f6d0da78",  // 8.1
      "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a",  // 10 and 11
  };
  size_t at = m.find("<compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">");
  ASSERT_NE(std::string::npos, at);
  for (const char* id : systems) {
    at = m.find(std::string("<supportedOS Id=\"{") + id + "}\"/>", at);
    EXPECT_NE(std::string::npos, at) << id;
  }
}

TEST_P(StubManifestTest, AdminChangesOnlyTheLevelAndTheChecksum) {
  std::string dir = ::testing::TempDir();
  std::string archive = dir + "manifest-test.lzh", plain = dir + "plain.exe",
              admin = dir + "admin.exe";
  // An archive of nothing but its end marker is enough here.
  { std::ofstream(archive, std::ios::binary).put('\0'); }
  std::string mksfx = std::string(KASUMIRO_MKSFX) + " --title t --stub " + stubPath_;
  ASSERT_EQ(0, std::system((mksfx + " " + plain + " " + archive).c_str()));
  ASSERT_EQ(0, std::system((mksfx + " --admin " + admin + " " + archive).c_str()));
  Bytes before = readFile(plain), after = readFile(admin);
  ASSERT_EQ(before.size(), after.size());
  Found f = findManifest(after);
  std::string m = manifestOf(after);
  EXPECT_EQ(manifestOf(before).size(), m.size());
  size_t level = m.find("<requestedExecutionLevel level=\"requireAdministrator\"/>");
  ASSERT_NE(std::string::npos, level) << m;
  // The level's value and its closing quote, where "asInvoker" and blanks stood.
  size_t first = f.offset + level + std::string("<requestedExecutionLevel level=\"").size();
  size_t last = first + std::string("requireAdministrator\"").size();
  std::vector<size_t> changed;
  for (size_t i = 0; i < after.size(); ++i) {
    bool allowed = (i >= first && i < last) || (i >= f.checksumField && i < f.checksumField + 4);
    if (!allowed && before[i] != after[i]) changed.push_back(i);
  }
  EXPECT_TRUE(changed.empty()) << changed.size() << " other bytes changed, the first at "
                               << changed[0];
  EXPECT_EQ(checksum(after, f.checksumField), rd(after, f.checksumField));

  // Refused cleanly, the image untouched: no room, no level name, no
  // manifest, no stub to put it in.
  Bytes untouched = stub_;
  std::string error;
  EXPECT_FALSE(setManifestExecutionLevel(untouched, "requireAdministratorNow", error));
  EXPECT_NE(std::string::npos, error.find("room")) << error;
  EXPECT_FALSE(setManifestExecutionLevel(untouched, "as\"Invoker", error));
  EXPECT_EQ(stub_, untouched);
  untouched[findManifest(stub_).typeEntry] = 25;  // the manifest becomes another type
  EXPECT_FALSE(setManifestExecutionLevel(untouched, "requireAdministrator", error));
  EXPECT_NE(std::string::npos, error.find("no application manifest")) << error;
  EXPECT_NE(0, std::system((std::string(KASUMIRO_MKSFX) + " --admin " + admin + " " + archive +
                            " 2>/dev/null")
                               .c_str()))
      << "--admin without a stub";
}

INSTANTIATE_TEST_SUITE_P(BuiltStubs, StubManifestTest, testing::Values("i686", "x86_64"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

}  // namespace
