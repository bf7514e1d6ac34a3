// The application manifest as built into the stubs, and what --admin
// changes in a self-extracting file. Needs the stubs (build/stub-*), which
// ctest builds first.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/image/pe_manifest.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t rd32(const Bytes& b, size_t at) {
  return b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 |
         static_cast<uint32_t>(b.at(at + 3)) << 24;
}

// The manifest's text and where it starts in the file.
std::string manifestOf(const Bytes& b, size_t* offset = nullptr) {
  std::string all(b.begin(), b.end());
  size_t start = all.find("<?xml"), end = all.find("</assembly>");
  if (start == std::string::npos || end == std::string::npos) return "";
  if (offset) *offset = start;
  return all.substr(start, end + 11 - start);
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

TEST_P(StubManifestTest, RunsAsInvokerSystemDpiAwareOnVistaTo11WithCommonControls6) {
  std::string m = manifestOf(stub_);
  ASSERT_FALSE(m.empty());
  EXPECT_EQ(std::string::npos, m.find_first_of("\r\n\t")) << "one line, no indentation";
  const char* parts[] = {
      "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v2\"><security><requestedPrivileges>"
      "<requestedExecutionLevel level=\"asInvoker\"           />",
      "<application xmlns=\"urn:schemas-microsoft-com:asm.v3\"><windowsSettings><dpiAware "
      "xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>",
      "<assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" "
      "version=\"6.0.0.0\" processorArchitecture=\"*\" publicKeyToken=\"6595b64144ccf1df\" "
      "language=\"*\"/>",
      "<compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\"><application>"
      "<supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"/>"   // Vista
      "<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>"   // 7
      "<supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>"   // 8
      "<supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>"   // 8.1
      "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",  // 10 and 11
  };
  for (const char* part : parts) EXPECT_NE(std::string::npos, m.find(part)) << part;
}

TEST_P(StubManifestTest, AdminChangesOnlyTheLevelAndTheChecksum) {
  std::string dir = ::testing::TempDir();
  std::string archive = dir + "manifest-test.lzh", plain = dir + "plain.exe",
              admin = dir + "admin.exe";
  { std::ofstream(archive, std::ios::binary).put('\0'); }  // just the end marker
  std::string pack =
      std::string(KASUMIRO_RUNNER) + " a -q --title t --stub " + stubPath_ + " --from " + archive;
  ASSERT_EQ(0, std::system((pack + " " + plain).c_str()));
  ASSERT_EQ(0, std::system((pack + " --admin " + admin).c_str()));
  Bytes before = readFile(plain), after = readFile(admin);
  ASSERT_EQ(before.size(), after.size());
  size_t at = 0;
  std::string m = manifestOf(after, &at);
  EXPECT_EQ(manifestOf(before).size(), m.size());
  const std::string element = "<requestedExecutionLevel level=\"";
  size_t level = m.find(element + "requireAdministrator\"/>");
  ASSERT_NE(std::string::npos, level) << m;
  // Only the level's value and its quote, where "asInvoker" and blanks stood,
  // and the checksum differ.
  size_t first = at + level + element.size(), last = first + 21;
  size_t field = rd32(after, 0x3C) + 24 + 64;
  std::vector<size_t> changed;
  for (size_t i = 0; i < after.size(); ++i) {
    bool allowed = (i >= first && i < last) || (i >= field && i < field + 4);
    if (!allowed && before[i] != after[i]) changed.push_back(i);
  }
  EXPECT_TRUE(changed.empty()) << changed.size() << " other bytes changed, first at " << changed[0];
  // The checksum covers the stub, not the archive behind it, as the built
  // stub's own does.
  ASSERT_EQ(after.size(), stub_.size() + 1);
  EXPECT_EQ(checksum(Bytes(after.begin(), after.begin() + stub_.size()), field),
            rd32(after, field));
}

TEST_P(StubManifestTest, RefusalsLeaveTheImageAlone) {
  Bytes image = stub_;
  std::string error;
  EXPECT_FALSE(setManifestExecutionLevel(image, "requireAdministratorNow", error));
  EXPECT_NE(std::string::npos, error.find("room")) << error;
  EXPECT_FALSE(setManifestExecutionLevel(image, "as\"Invoker", error));
  EXPECT_EQ(stub_, image);
  // With the manifest's resource type changed, there is none to rewrite.
  size_t type = std::string(image.begin(), image.end()).find("<requestedExecutionLevel");
  image[type + 1] = 'X';
  EXPECT_FALSE(setManifestExecutionLevel(image, "requireAdministrator", error));
  EXPECT_NE(std::string::npos, error.find("no execution level")) << error;
  // Nor does kasumiro a --admin on such a stub make a file.
  const std::string dir = ::testing::TempDir(), stub = dir + "no-level.exe",
                    archive = dir + "no-level.lzh", output = dir + "no-level-admin.exe";
  std::ofstream(stub, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  { std::ofstream(archive, std::ios::binary).put('\0'); }
  std::remove(output.c_str());
  EXPECT_NE(0, std::system((std::string(KASUMIRO_RUNNER) + " a -q --admin --stub " + stub +
                            " --from " + archive + " " + output + " 2>/dev/null")
                               .c_str()));
  EXPECT_FALSE(std::ifstream(output).good()) << "--admin made a file without an execution level";
}

INSTANTIATE_TEST_SUITE_P(BuiltStubs, StubManifestTest, testing::Values("i686", "x86_64"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

}  // namespace
