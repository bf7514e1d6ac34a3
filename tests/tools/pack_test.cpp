// kasumiro a as an author uses it: folders in, archives and self-extracting
// files out that our runner (and lhasa, where installed) extract as they
// went in; names the stub cannot create and texts the block cannot hold are
// refused by name, and a failed run leaves nothing behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/shell.h"
#include "tools/pack/member_names.h"

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// Names the stub can create.

struct NameCase {
  std::string name;  // program text
  bool directory;
  bool accepted;
};

std::string repeat(const std::string& text, int count) {
  std::string result;
  while (count--) result += text;
  return result;
}

TEST(MemberNameTest, OnlyNamesWindowsCanCreateWithinTheStubsLimits) {
  const std::string folders = repeat(std::string(200, 'd') + "/", 4);
  const NameCase cases[] = {
      {"readme.txt", false, true},
      {"docs/a b+c;d,e.txt", false, true},
      {"\x95\x5c.txt", false, true},           // a trail byte 0x5C is no backslash
      {"\x83\x5c/\x83\x7c.bin", false, true},  // nor is 0x7C a bar
      {".hidden", false, true},
      {std::string(255, 'n'), false, true},
      {folders + std::string(219, 'f'), false, true},  // 1023 bytes: memberName
      {folders + std::string(220, 'f'), false, false},
      {folders + std::string(218, 'e'), true, true},
      {folders + std::string(219, 'e'), true, false},
      {std::string(256, 'n'), false, false},
      // Characters CP932 lacks (escapes) count as one UTF-16 unit each,
      // beyond the BMP as two.
      {repeat("\xFD\xAD\xA0\xA0", 255), false, true},  // U+D000
      {repeat("\xFD\xAD\xA0\xA0", 256), false, false},
      {repeat("\xFE\xA0\xBF\xA0\xA0", 127) + "x", false, true},  // U+1F000
      {repeat("\xFE\xA0\xBF\xA0\xA0", 128), false, false},
      {"\xFD\xAD\xA0\xA0.", false, false},
      {"a:b", false, false},
      {"a*b", false, false},
      {"a?b", false, false},
      {"a\"b", false, false},
      {"a<b", false, false},
      {"a>b", false, false},
      {"a|b", false, false},
      {"a\\b", false, false},
      {"tab\there", false, false},
      {"dot.", false, false},
      {"dir./f", false, false},
      {"blank ", false, false},
      {"CON", false, false},
      {"con.txt", false, false},
      {"sub/Lpt1.log", false, false},
      {"aux/file", true, false},
      {"console", false, true},
      {"a//b", false, false},
      {"..", true, false},
  };
  for (const NameCase& c : cases) {
    const char* problem = memberNameProblem(c.name, c.directory);
    EXPECT_EQ(problem == nullptr, c.accepted) << c.name << ": " << (problem ? problem : "");
  }
}

// ---------------------------------------------------------------------------
// The command.

using RunResult = testkit::ShellResult;

std::string quote(const std::string& text) { return testkit::shellQuote(text); }

std::string slurp(const fs::path& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    std::fclose(f);
  }
  return text;
}

void spit(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kasumiro-pack-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }

  RunResult run(const std::string& command) {
    return testkit::runShell("cd " + quote(dir.string()) + " && " + command, dir.string());
  }
  RunResult kasumiro(const std::string& arguments) {
    return run(quote(KASUMIRO_RUNNER) + " " + arguments);
  }

  // Files and folders below root with their contents and times.
  static std::vector<std::string> snapshot(const fs::path& root) {
    std::vector<std::string> found;
    for (auto& e : fs::recursive_directory_iterator(root)) {
      struct stat st;
      lstat(e.path().c_str(), &st);
      std::string line = fs::relative(e.path(), root).string();
      if (e.is_directory())
        line += "/";
      else
        line += " " + std::to_string(st.st_size) + " " + std::to_string(st.st_mtime) + " " +
                std::to_string(std::hash<std::string>()(slurp(e.path())));
      found.push_back(line);
    }
    std::sort(found.begin(), found.end());
    return found;
  }

  // A tree with the usual suspects, every file with a time of its own.
  void makeTree(const fs::path& root) {
    std::mt19937 random(5);
    std::string binary(200000, '\0');
    for (char& c : binary) c = static_cast<char>(random());
    std::string text;
    while (text.size() < 300000)
      text += "the archive window member block table " + text.substr(0, 7);
    spit(root / "empty.txt", "");
    spit(root / "one.bin", "\x5c");
    spit(root / "text.txt", text);
    spit(root / "binary.bin", binary);
    spit(root / "65536.txt", text.substr(0, 65536));
    spit(root / "表.txt", "table");
    spit(root / "ソフト" / "ソ.txt", "so");
    spit(root / "nested" / "a" / "b" / "deep.txt", text.substr(0, 1000));
    fs::create_directories(root / "nested" / "empty");
    long stamp = 1000000000;
    std::vector<fs::path> all;
    for (auto& e : fs::recursive_directory_iterator(root)) all.push_back(e.path());
    std::sort(all.rbegin(), all.rend());  // children before their folders
    for (const fs::path& p : all) {
      struct timespec times[2] = {{stamp, 0}, {stamp, 0}};
      stamp += 86400;
      utimensat(AT_FDCWD, p.c_str(), times, 0);
    }
  }

  fs::path dir;
};

TEST_F(PackTest, FoldersGoInAndComeOutAsTheyWere) {
  makeTree(dir / "tree");
  for (const char* output : {"tree.lzh", "tree.exe"}) {
    for (const char* options : {"", "--method lh5 -1", "--method lh6 -9", "--method lh0"}) {
      SCOPED_TRACE(std::string(output) + " " + options);
      fs::remove(dir / output);
      fs::remove_all(dir / "out");
      const RunResult pack = kasumiro(std::string("a ") + options + " " + output + " tree");
      ASSERT_EQ(pack.status, 0) << pack.err;
      EXPECT_EQ(pack.err, "");
      const RunResult test = kasumiro(std::string("t ") + output);
      EXPECT_EQ(test.status, 0) << test.out << test.err;
      const RunResult extract = kasumiro(std::string("x -y ") + output + " out");
      ASSERT_EQ(extract.status, 0) << extract.err;
      EXPECT_EQ(snapshot(dir / "out" / "tree"), snapshot(dir / "tree"));
      if (std::string(output) == "tree.lzh" && run("command -v lhasa >/dev/null").status == 0) {
        const RunResult lhasa = run("lhasa t tree.lzh");
        EXPECT_EQ(lhasa.status, 0) << lhasa.out << lhasa.err;
      }
    }
  }
}

TEST_F(PackTest, ANoticeBeyondCp932IsStoredAsMarkedUtf8AndShownExactly) {
  spit(dir / "a.txt", "a");
  spit(dir / "notice.txt",
       "\xEF\xBB\xBF"
       "Bitte lesen: \xC3\x84rger \xE3\x80\x9C \xED\x95\x9C");
  const RunResult pack = kasumiro("a --notice notice.txt --stub x86_64 setup.exe a.txt");
  ASSERT_EQ(pack.status, 0) << pack.err;
  // The member holds one mark and the text as it was.
  const std::string image = slurp(dir / "setup.exe");
  EXPECT_NE(image.find("\xEF\xBB\xBF"
                       "Bitte lesen: \xC3\x84rger"),
            std::string::npos);
  EXPECT_EQ(image.find("\xEF\xBB\xBF\xEF\xBB\xBF"), std::string::npos);
  const RunResult extract = kasumiro("x -y setup.exe out");
  EXPECT_EQ(extract.status, 0) << extract.err;
  EXPECT_NE(extract.out.find("Bitte lesen: \xC3\x84rger \xE3\x80\x9C \xED\x95\x9C"),
            std::string::npos)
      << extract.out;
}

TEST_F(PackTest, TheConfigurationBlockHoldsWhatWasGivenOrIsRefusedByName) {
  spit(dir / "a.txt", "a");
  spit(dir / "notice.txt", "最初にお読みください。\n続けますか?");
  const RunResult pack = kasumiro(
      "a --title 'かすみろ テスト' --message 'Folder:' --dir '%TEMP%\\kasumiro' --prompt P "
      "--command '\"%ExtractDir%\\a.txt\" /x' --overwrite --notice notice.txt --stub x86_64 "
      "setup.exe a.txt");
  ASSERT_EQ(pack.status, 0) << pack.err;
  const RunResult info = kasumiro("info setup.exe");
  EXPECT_NE(info.out.find("title       かすみろ テスト\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("dir         %TEMP%\\kasumiro\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("command     \"%ExtractDir%\\a.txt\" /x\n"), std::string::npos);
  EXPECT_NE(info.out.find("overwrite   on\nattributes  off\n"), std::string::npos);
  const RunResult list = kasumiro("l setup.exe");
  EXPECT_NE(list.out.find(" !\n"), std::string::npos) << list.out;
  const RunResult extract = kasumiro("x -y setup.exe out");
  EXPECT_EQ(extract.status, 0) << extract.err;
  EXPECT_NE(extract.out.find("最初にお読みください。\n続けますか?"), std::string::npos);
  EXPECT_EQ(slurp(dir / "out" / "a.txt"), "a");
  // --admin changes the manifest's level, and only in its own output.
  ASSERT_EQ(kasumiro("a --admin admin.exe a.txt").status, 0);
  EXPECT_NE(slurp(dir / "admin.exe").find("level=\"requireAdministrator\""), std::string::npos);
  EXPECT_NE(slurp(dir / "setup.exe").find("level=\"asInvoker\""), std::string::npos);
  EXPECT_EQ(kasumiro("x admin.exe admin-out").status, 0);

  const struct {
    std::string options, message;
  } refused[] = {
      {"--title " + std::string(51, 't'), "--title is 51 bytes in CP932; at most 50 fit"},
      {"--message 'é'", "--message holds a character that CP932 cannot represent"},
      {"--prompt '😀'", "--prompt holds a character that CP932 cannot represent"},
      {"--dir " + std::string(128, 'd') + "表", ""},  // 130 bytes: fits
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.options);
    fs::remove(dir / "x.exe");
    const RunResult result = kasumiro("a " + r.options + " x.exe a.txt");
    if (r.message.empty()) {
      EXPECT_EQ(result.status, 0) << result.err;
    } else {
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.err, "kasumiro: " + r.message + "\n");
      EXPECT_FALSE(fs::exists(dir / "x.exe"));
    }
  }
}

TEST_F(PackTest, BadNamesAndLinksAreNeverSilentlyChanged) {
  spit(dir / "in" / "good.txt", "good");
  spit(dir / "in" / "bad:name.txt", "bad");
  spit(dir / "in" / "caf\xE9.txt", "cafe");  // Latin-1: not UTF-8
  ASSERT_EQ(symlink("good.txt", (dir / "in" / "link.txt").c_str()), 0);
  spit(dir / "old.lzh", "previous contents");

  const RunResult refused = kasumiro("a old.lzh in");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("in/bad:name.txt"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("in/caf\xE9.txt is not UTF-8"), std::string::npos) << refused.err;
  EXPECT_EQ(slurp(dir / "old.lzh"), "previous contents");
  EXPECT_EQ(run("ls -A | grep -c kasumiro").out, "0\n");  // no temporary file left

  const RunResult skipped = kasumiro("a --skip-bad-names old.lzh in");
  EXPECT_EQ(skipped.status, 0) << skipped.err;
  EXPECT_NE(skipped.err.find("warning: left out: in/bad:name.txt"), std::string::npos);
  EXPECT_NE(skipped.err.find("warning: left out the symbolic link in/link.txt"), std::string::npos);
  ASSERT_EQ(kasumiro("x old.lzh out").status, 0);
  EXPECT_EQ(snapshot(dir / "out" / "in").size(), 1u);
  EXPECT_EQ(slurp(dir / "out" / "in" / "good.txt"), "good");

  fs::remove_all(dir / "out");
  ASSERT_EQ(kasumiro("a -L --skip-bad-names followed.lzh in").status, 0);
  ASSERT_EQ(kasumiro("x followed.lzh out").status, 0);
  EXPECT_EQ(slurp(dir / "out" / "in" / "link.txt"), "good");
}

TEST_F(PackTest, TheSameInputsGiveTheSameBytes) {
  makeTree(dir / "tree");
  spit(dir / "notice.txt", "read me");
  const std::string command =
      "SOURCE_DATE_EPOCH=1500000000 " + quote(KASUMIRO_RUNNER) + " a --notice notice.txt -C tree ";
  ASSERT_EQ(run(command + "one.exe .").status, 0);
  sleep(1);
  ASSERT_EQ(run(command + "two.exe .").status, 0);
  EXPECT_EQ(slurp(dir / "one.exe"), slurp(dir / "two.exe"));
}

TEST_F(PackTest, AnExistingArchiveGoesBehindTheStub) {
  spit(dir / "a.txt", "from an archive");
  ASSERT_EQ(kasumiro("a plain.lzh a.txt").status, 0);
  const RunResult wrap = kasumiro("a --title Wrapped --from plain.lzh setup.exe");
  ASSERT_EQ(wrap.status, 0) << wrap.err;
  EXPECT_NE(kasumiro("info setup.exe").out.find("title       Wrapped\n"), std::string::npos);
  ASSERT_EQ(kasumiro("x setup.exe out").status, 0);
  EXPECT_EQ(slurp(dir / "out" / "a.txt"), "from an archive");
  const RunResult notArchive = kasumiro("a --from a.txt setup2.exe");
  EXPECT_EQ(notArchive.status, 1);
  EXPECT_EQ(notArchive.err, "kasumiro: a.txt is not an LZH archive\n");
  EXPECT_FALSE(fs::exists(dir / "setup2.exe"));
}

}  // namespace
