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
#include <set>
#include <string>
#include <vector>

#include "support/shell.h"
#include "tools/pack/member_names.h"

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// Names the stub can create.

struct NameCase {
  std::string name;  // CP932
  bool directory;
  bool accepted;
};

TEST(MemberNameTest, OnlyNamesWindowsCanCreateWithinTheStubsLimits) {
  const NameCase cases[] = {
      {"readme.txt", false, true},
      {"docs/a b+c;d,e.txt", false, true},
      {"\x95\x5c.txt", false, true},           // a trail byte 0x5C is no backslash
      {"\x83\x5c/\x83\x7c.bin", false, true},  // nor is 0x7C a bar
      {".hidden", false, true},
      {std::string(255, 'n'), false, true},
      {std::string(128, 'd') + "/" + std::string(130, 'f'), false, true},
      {std::string(128, 'd') + "/" + std::string(131, 'f'), false, false},
      {std::string(128, 'd') + "/" + std::string(129, 'e'), true, true},
      {std::string(128, 'd') + "/" + std::string(130, 'e'), true, false},
      {std::string(256, 'n'), false, false},
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

// The author's face and identity in the finished file, read back by windres
// as Windows would find them; the archive behind still extracts.
TEST_F(PackTest, LanguageIconAndVersionAreInTheFinishedFile) {
  if (run("command -v x86_64-w64-mingw32-windres >/dev/null").status != 0)
    GTEST_SKIP() << "windres is not installed";
  spit(dir / "a.txt", "a");
  // An icon of a 16-pixel bitmap and a 256-pixel PNG image.
  std::string icon("\0\0\1\0\2\0", 6);
  std::string bitmap(40 + 16 * 16 * 4 + 16 * 4, '\x11');
  bitmap.replace(0, 16, std::string("\x28\0\0\0\x10\0\0\0\x20\0\0\0\1\0\x20\0", 16));
  std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\1\0\0\0\1\0\x08\x06\0\0\0", 29);
  png += std::string(64, '\x22');
  auto entry = [](char size, const std::string& image, uint32_t offset) {
    std::string e{size, size, 0, 0, 1, 0, 32, 0};
    for (uint32_t v : {static_cast<uint32_t>(image.size()), offset})
      for (int i = 0; i < 4; ++i) e += static_cast<char>(v >> (8 * i));
    return e;
  };
  icon += entry(16, bitmap, 38) + entry(0, png, static_cast<uint32_t>(38 + bitmap.size()));
  spit(dir / "author.ico", icon + bitmap + png);
  const std::string identity =
      "--icon author.ico --product 'Ärger Tool' --company 'Käse GmbH' --file-version 1.2.3.40 "
      "--description 'Setup für alle' --copyright '© 2024 中文' ";
  for (const char* stub : {"i686", "x86_64"}) {
    SCOPED_TRACE(stub);
    for (const char* language : {"auto", "en", "ja"}) {
      SCOPED_TRACE(language);
      fs::remove_all(dir / "out");
      const RunResult pack = kasumiro("a --stub " + std::string(stub) + " --language " + language +
                                      " " + identity + "setup.exe a.txt");
      if (pack.status != 0 && pack.err.find("built without") != std::string::npos)
        GTEST_SKIP() << pack.err;
      ASSERT_EQ(pack.status, 0) << pack.err;
      EXPECT_EQ(kasumiro("x setup.exe out").status, 0);
      EXPECT_EQ(slurp(dir / "out" / "a.txt"), "a");
      const RunResult rc = run("x86_64-w64-mingw32-windres -i setup.exe -O rc");
      ASSERT_EQ(rc.status, 0) << rc.err;
      // The dialogs and string tables by language (windres names a language
      // where it changes).
      const std::string& o = rc.out;
      std::set<std::string> faces;
      std::string current = "LANGUAGE 0, 0";
      for (size_t at = 0, end; at < o.size(); at = end + 1) {
        end = std::min(o.find('\n', at), o.size());
        const std::string line = o.substr(at, end - at);
        if (line.rfind("LANGUAGE ", 0) == 0) current = line;
        if (line.rfind("101 DIALOG", 0) == 0 || line == "STRINGTABLE")
          faces.insert(current + " " + line.substr(0, line.find(" 0, 0")));
      }
      const bool english = std::string(language) != "ja", japanese = std::string(language) != "en";
      std::set<std::string> expected;
      if (english) expected.insert({"LANGUAGE 9, 1 101 DIALOG", "LANGUAGE 9, 1 STRINGTABLE"});
      if (japanese) expected.insert({"LANGUAGE 17, 1 101 DIALOG", "LANGUAGE 17, 1 STRINGTABLE"});
      EXPECT_EQ(faces, expected);
      EXPECT_EQ(english, o.find("\"Extract to &folder:\"") != std::string::npos);
      for (const char* text :
           {"FILEVERSION 1, 2, 3, 40", "PRODUCTVERSION 1, 2, 3, 40", "BLOCK \"000004B0\"",
            "VALUE \"ProductName\", L\"\\304rger Tool\"", "VALUE \"FileVersion\", \"1.2.3.40\"",
            "VALUE \"Translation\", 0x0, 1200", "103 14 /* RT_GROUP_ICON */", "1 3 /* RT_ICON */",
            "2 3 /* RT_ICON */", "\"\\020\\020\\000\\000\", 1, 32",
            "\"\\000\\000\\000\\000\", 1, 32"})
        EXPECT_NE(o.find(text), std::string::npos) << text << "\n" << o;
      EXPECT_EQ(o.find("3 RT_ICON"), std::string::npos) << "an image of the old icon is left";
    }
  }

  const struct {
    std::string options, message;
  } refused[] = {
      {"--language de", "--language takes ja, en or auto, not de"},
      {"--file-version 1.2.3.70000",
       "--file-version takes A.B.C.D (numbers up to 65535), not 1.2.3.70000"},
      {"--icon a.txt", "a.txt is not a usable icon file: no icon file header"},
      {"--icon missing.ico", "cannot open the icon missing.ico: No such file or directory"},
      {"--product 'bad \xff'", "the version information: ProductName is not UTF-8 text"},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.options);
    fs::remove(dir / "x.exe");
    const RunResult result = kasumiro("a " + r.options + " x.exe a.txt");
    EXPECT_NE(result.status, 0);
    EXPECT_EQ(result.err, "kasumiro: " + r.message + "\n");
    EXPECT_FALSE(fs::exists(dir / "x.exe"));
  }
}

TEST_F(PackTest, BadNamesAndLinksAreNeverSilentlyChanged) {
  spit(dir / "in" / "good.txt", "good");
  spit(dir / "in" / "bad:name.txt", "bad");
  spit(dir / "in" / "café.txt", "cafe");
  ASSERT_EQ(symlink("good.txt", (dir / "in" / "link.txt").c_str()), 0);
  spit(dir / "old.lzh", "previous contents");

  const RunResult refused = kasumiro("a old.lzh in");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("in/bad:name.txt"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("in/café.txt"), std::string::npos) << refused.err;
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
