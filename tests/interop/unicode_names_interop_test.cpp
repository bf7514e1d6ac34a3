// A tree with names beyond CP932 through kasumiro a: our runner gives back
// every name exactly, bsdtar reads the Unicode records as well, and lhasa,
// 7-Zip and jlha, which read the CP932 records only, extract every member
// under its distinct fallback name.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "support/shell.h"

namespace fs = std::filesystem;
using testkit::shellQuote;

namespace {

// Relative path -> contents (each file's contents are its own name).
std::map<std::string, std::string> files(const fs::path& root) {
  std::map<std::string, std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    found[fs::relative(entry.path(), root).string()] =
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return found;
}

class UnicodeNamesInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kasumiro-unicode-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    work = pattern;
    for (const char* name : {"Résumé.txt", "Ärger.txt", "_rger.txt", "中文简体.txt", "한국어.txt",
                             "〜.txt", "～.txt", "中文目录/한.txt", "中文目录/a.txt", "😀/é"}) {
      fs::create_directories((work / "in" / name).parent_path());
      std::ofstream(work / "in" / name) << name;
    }
    ASSERT_EQ(run(shellQuote(KASUMIRO_RUNNER) + " a -q t.lzh in").status, 0);
  }
  void TearDown() override { fs::remove_all(work); }

  testkit::ShellResult run(const std::string& command) {
    return testkit::runShell("cd " + shellQuote(work.string()) + " && " + command, work.string());
  }

  fs::path work;
};

TEST_F(UnicodeNamesInteropTest, OurRunnerAndBsdtarGiveBackEveryNameExactly) {
  const auto expected = files(work / "in");
  ASSERT_EQ(expected.size(), 10u);
  ASSERT_EQ(run(shellQuote(KASUMIRO_RUNNER) + " x t.lzh runner").status, 0);
  EXPECT_EQ(files(work / "runner" / "in"), expected);
  if (!testkit::haveCommand("bsdtar")) GTEST_SKIP() << "bsdtar is not installed";
  fs::create_directories(work / "bsdtar");
  const auto r =
      run("cd bsdtar && LC_ALL=C.UTF-8 bsdtar -x --options hdrcharset=CP932 -f ../t.lzh");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(files(work / "bsdtar" / "in"), expected);
}

TEST_F(UnicodeNamesInteropTest, OtherReadersExtractEveryMemberUnderItsFallback) {
  // What CP932 lacks is '_'; "_~2" where two fallbacks (or a fallback and a
  // real name) would meet. As CP932 bytes, which lhasa and 7-Zip write.
  const std::set<std::string> fallbacks = {"R_sum_.txt",
                                           "_rger.txt",
                                           "_rger_~2.txt",
                                           "\x92\x86\x95\xB6_\x91\xCC.txt",
                                           "___.txt",
                                           "_.txt",
                                           "\x81\x60.txt",
                                           "\x92\x86\x95\xB6\x96\xDA_/_.txt",
                                           "\x92\x86\x95\xB6\x96\xDA_/a.txt",
                                           "_/_"};
  const auto expected = files(work / "in");
  std::set<std::string> contents;
  for (const auto& file : expected) contents.insert(file.second);
  const struct {
    const char* command;
    const char* extract;
    bool cp932Names;
  } tools[] = {
      {"lhasa", "lhasa xq ../t.lzh", true},
      {"7z", "7z x -bd -y ../t.lzh", true},
      {"jlha", "jlha xqy ../t.lzh", false},
  };
  std::string missing;
  for (const auto& tool : tools) {
    if (!testkit::haveCommand(tool.command)) {
      missing += std::string(" ") + tool.command;
      continue;
    }
    SCOPED_TRACE(tool.command);
    fs::create_directories(work / tool.command);
    const auto r = run(std::string("cd ") + tool.command + " && " + tool.extract);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const auto extracted = files(work / tool.command / "in");
    std::set<std::string> names, got;
    for (const auto& file : extracted) names.insert(file.first), got.insert(file.second);
    EXPECT_EQ(got, contents);  // every member, each under a name of its own
    if (tool.cp932Names) {
      EXPECT_EQ(names, fallbacks);
    }
  }
  if (!missing.empty()) GTEST_SKIP() << "not installed:" << missing;
}

}  // namespace
