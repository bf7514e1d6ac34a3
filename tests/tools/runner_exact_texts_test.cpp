// The runner reads the exact texts from the resource of the file it runs:
// `info` shows them beside the block's renditions, `x` titles the notice
// with them and extracts into the exact configured destination.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/archive_builder.h"
#include "support/sfx_image.h"
#include "support/shell.h"
#include "tools/image/pe_image.h"

namespace fs = std::filesystem;

namespace {

void put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  put16(b, at, v);
  put16(b, at + 2, v >> 16);
}

// A self-extracting image whose PE part (at 0x570) has one section, .rsrc,
// holding resource RT_RCDATA 1 (language neutral) with data.
std::vector<uint8_t> imageWithResource(const std::vector<uint8_t>& data,
                                       const std::vector<uint8_t>& archive) {
  testkit::SfxImageParts parts;
  parts.title = "_n_c_d_";
  parts.defaultDir = "__";
  parts.archive = archive;
  parts.archiveOffset = 0x1000;
  std::vector<uint8_t> image = testkit::buildSfxImage(parts);
  const size_t pe = 0x570, optional = pe + 24, section = optional + 240, raw = 0x800;
  std::copy_n("PE\0\0", 4, image.begin() + pe);
  put16(image, pe + 4, 0x8664);
  put16(image, pe + 6, 1);      // one section
  put16(image, pe + 20, 240);   // PE32+ optional header
  put16(image, pe + 22, 0x22);  // executable
  put16(image, optional, 0x20B);
  put32(image, optional + 32, 0x1000);  // section alignment
  put32(image, optional + 36, 0x200);   // file alignment
  put32(image, optional + 56, 0x2000);  // size of image
  put32(image, optional + 60, raw);     // size of headers
  put32(image, optional + 108, 16);     // data directories
  put32(image, optional + 112 + 8 * 2, 0x1000);
  put32(image, optional + 112 + 8 * 2 + 4, uint32_t(0x58 + data.size()));
  std::copy_n(".rsrc", 5, image.begin() + section);
  put32(image, section + 8, uint32_t(0x58 + data.size()));
  put32(image, section + 12, 0x1000);
  put32(image, section + 16, 0x800);  // raw size
  put32(image, section + 20, raw);
  put32(image, section + 36, 0x40000040);
  // Type 10 -> id 1 -> language 0 -> the data entry -> the data.
  const uint32_t subdirectory = 0x80000000u;
  for (uint32_t level = 0; level < 3; ++level) {
    const size_t dir = raw + 0x18 * level;
    put16(image, dir + 14, 1);
    put32(image, dir + 16, level == 0 ? 10 : level == 1 ? 1 : 0);
    put32(image, dir + 20, level < 2 ? subdirectory | (0x18 * (level + 1)) : 0x48);
  }
  put32(image, raw + 0x48, 0x1000 + 0x58);
  put32(image, raw + 0x4C, uint32_t(data.size()));
  std::copy(data.begin(), data.end(), image.begin() + raw + 0x58);
  return image;
}

void putText(std::vector<uint8_t>& blob, const std::u16string& units) {
  blob.insert(blob.end(), {uint8_t(units.size()), uint8_t(units.size() >> 8)});
  for (char16_t c : units) blob.insert(blob.end(), {uint8_t(c), uint8_t(c >> 8)});
}

TEST(RunnerExactTextsTest, InfoShowsThemAndExtractUsesThem) {
  char pattern[] = "/tmp/kasumiro-exact-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path scratch = pattern;
  std::vector<uint8_t> blob;
  putText(blob, u"\u00dcn\u00efc\u00f6d\u00e9");
  putText(blob, u"");
  putText(blob, u"\ud55c\uad6d\uc5b4 \u301c");  // a relative destination
  putText(blob, u"");
  putText(blob, u"");
  const auto image = imageWithResource(
      blob, testkit::buildArchive({testkit::fileMember("!", testkit::bytesOf("read me"), '0'),
                                   testkit::fileMember("a.txt", testkit::bytesOf("a"), '0')}));
  testkit::writeFile((scratch / "setup.exe").string(), image);
  PeImage parsed;
  std::string error;
  ASSERT_TRUE(readPeImage(image, parsed, error, true)) << error;

  const auto run = [&](const std::string& arguments) {
    return testkit::runShell("cd " + testkit::shellQuote(scratch.string()) + " && " +
                                 testkit::shellQuote(KASUMIRO_RUNNER) + " " + arguments,
                             scratch.string());
  };
  const auto info = run("info setup.exe");
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("title       _n_c_d_\n  exact     Ünïcödé\n"), std::string::npos)
      << info.out;
  EXPECT_NE(info.out.find("dir         __\n  exact     한국어 〜\n"), std::string::npos);
  EXPECT_NE(info.out.find("message     \ndir"), std::string::npos);  // none: no exact line

  const auto extract = run("x -y setup.exe </dev/null");
  EXPECT_EQ(extract.status, 0) << extract.err;
  EXPECT_NE(extract.out.find("Ünïcödé"), std::string::npos) << extract.out;
  // The configured destination is the stub's; the runner extracts into the
  // current directory.
  EXPECT_TRUE(fs::exists(scratch / "a.txt"));
  fs::remove_all(scratch);
}

}  // namespace
