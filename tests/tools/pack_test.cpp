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
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/archive_builder.h"
#include "support/sfx_image.h"
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
  // A text beyond CP932: its rendition in the block, the exact text beside.
  ASSERT_EQ(kasumiro("a --title 'Ünïcödé – 한국어' u.exe a.txt").status, 0);
  EXPECT_NE(
      kasumiro("info u.exe").out.find("title       _n_c_d_ _ ___\n  exact     Ünïcödé – 한국어\n"),
      std::string::npos);

  const struct {
    std::string options, message;
  } refused[] = {
      {"--title " + std::string(51, 't'), "--title is 51 bytes in CP932; at most 50 fit"},
      // Beyond CP932: a rendition in the block, which must fit as well.
      {"--message 'é'", ""},
      {"--prompt '😀'", ""},
      {"--title " +
           [] {
             std::string t;
             for (int i = 0; i < 51; ++i) t += "😀";
             return t;
           }(),
       "--title is 51 bytes in CP932; at most 50 fit"},
      {"--dir 'C:\\" +
           [] {
             std::string t;
             for (int i = 0; i < 210; ++i) t += "😀";
             return t;
           }() +
           "'",
       "--dir is too long: the stub holds 1023 bytes of it (a character beyond CP932 takes four "
       "or five)"},
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

// Administrator rights where the destination needs them, a warning where
// --admin would write into a folder others can change; info tells.
TEST_F(PackTest, TheExecutionLevelFollowsTheDestination) {
  spit(dir / "a.txt", "a");
  const std::string elevated =
      "level       requireAdministrator (--admin: asks for administrator rights)\n";
  const std::string invoker = "level       asInvoker\n";
  const std::string note =
      "which only administrators can write: the file asks for administrator "
      "rights (--as-invoker: it does not)\n";
  const std::string warning = "kasumiro: warning: --admin with the destination in ";
  const struct {
    std::string options;
    std::string level;      // as info shows it
    std::string stderrHas;  // empty: stderr is empty
  } cases[] = {
      {"--dir '%ProgramFilesDir%\\App'", elevated, "in %ProgramFilesDir%, " + note},
      {"--dir '\"%windir%\\Setup Files\"'", elevated, "in %windir%, " + note},
      {"--dir '%SystemDir%'", elevated, note},
      {"--dir '%commonfilesdir%/Shared'", elevated, note},
      {"--dir 'c:\\Program Files (x86)\\App'", elevated, "in c:\\Program Files (x86), " + note},
      {"--dir '%ProgramFilesDir%\\App' --as-invoker", invoker, ""},
      {"--dir '%ProgramFilesDirectory%'", invoker, ""},
      {"--dir 'D:\\Tools'", invoker, ""},
      {"--dir '%TEMP%\\App'", invoker, ""},
      {"--dir '%TEMP%\\App' --admin", elevated, warning + "%TEMP%, "},
      {"--dir '%MyDocuments%' --admin", elevated, warning + "%MyDocuments%, "},
      {"--dir 'C:\\Users\\Public' --admin", elevated, warning + "C:\\Users, "},
      {"--admin", elevated, warning + "the current directory, "},
      {"--dir 'D:\\Tools' --admin", elevated, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    fs::remove(dir / "x.exe");
    const RunResult pack = kasumiro("a -q " + c.options + " x.exe a.txt");
    ASSERT_EQ(pack.status, 0) << pack.err;
    if (c.stderrHas.empty())
      EXPECT_EQ(pack.err, "");
    else
      EXPECT_NE(pack.err.find(c.stderrHas), std::string::npos) << pack.err;
    const RunResult info = kasumiro("info x.exe");
    EXPECT_NE(info.out.find(c.level), std::string::npos) << info.out;
  }
  const RunResult both = kasumiro("a --admin --as-invoker x.exe a.txt");
  EXPECT_EQ(both.status, 2);
  EXPECT_EQ(both.err, "kasumiro: --admin and --as-invoker exclude each other\n");
  EXPECT_EQ(kasumiro("a --as-invoker x.lzh a.txt").status, 2);  // an .exe option
}

// OUTPUT is replaced by a rename: only a regular file may stand there.
TEST_F(PackTest, AnOutputThatIsNotARegularFileIsRefused) {
  spit(dir / "a.txt", "a");
  spit(dir / "target.exe", "target");
  ASSERT_EQ(mkfifo((dir / "fifo.lzh").c_str(), 0600), 0);
  ASSERT_EQ(symlink("target.exe", (dir / "link.exe").c_str()), 0);
  ASSERT_EQ(symlink("missing.lzh", (dir / "dangling.lzh").c_str()), 0);
  fs::create_directories(dir / "folder.exe");
  const struct {
    const char* output;
    const char* what;
  } cases[] = {
      {"fifo.lzh", " (a pipe)"},
      {"link.exe", " (a symbolic link)"},
      {"dangling.lzh", " (a symbolic link)"},
      {"folder.exe", " (a folder)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    struct stat before, after;
    ASSERT_EQ(lstat((dir / c.output).c_str(), &before), 0);
    const RunResult r = kasumiro(std::string("a -q ") + c.output + " a.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("kasumiro: ") + c.output + " exists and is not a regular file" +
                         c.what + "; name another OUTPUT\n");
    ASSERT_EQ(lstat((dir / c.output).c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_ino, before.st_ino);
  }
  EXPECT_EQ(slurp(dir / "target.exe"), "target");
  EXPECT_FALSE(fs::exists(dir / "missing.lzh"));
  EXPECT_EQ(run("ls -A | grep -c kasumiro").out, "0\n");  // no temporary file left
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

// ---------------------------------------------------------------------------
// Repeatable builds: a configuration file, patterns left out.

TEST_F(PackTest, AConfigurationFileGivesTheOptionsAndTheCommandLineWins) {
  spit(dir / "proj" / "app" / "setup.exe", "setup");
  spit(dir / "proj" / "app" / "readme.txt", "readme");
  spit(dir / "proj" / "app" / "build.tmp", "scratch");
  spit(dir / "proj" / "notice.txt", "read me");
  const std::string good =
      "\xEF\xBB\xBF# made for the test\n"
      "title = Setup 表\n"
      "  dir = %TEMP%\\app  \n"
      "command = \"%ExtractDir%\\setup.exe\" /q # not a comment\n"
      "wait = yes\r\n"
      "overwrite\n"
      "attributes = no\n"
      "notice = notice.txt\n"
      "base = app\n"
      "input = .\n"
      "exclude = *.tmp\n"
      "level = 9\n"
      "method = lh6\n"
      "stub = x86_64\n"
      "output = out/setup.exe\n";
  const struct {
    std::string config;
    std::string arguments;  // behind "a --config proj/build.conf"
    int status;
    std::string expected;  // a line of info, or the error
  } cases[] = {
      {good, "", 0, "title       Setup 表\n"},
      {good, "", 0, "command     \"%ExtractDir%\\setup.exe\" /q # not a comment\n"},
      {good, "", 0, "overwrite   on\nattributes  off\nwait        on\ntemp        off\n"},
      {good, "--title Other --temp", 0, "title       Other\n"},
      {good, "--temp", 0, "wait        on\ntemp        on\n"},
      {"title = x\nbogus = 1\n", "x.exe a", 2, "kasumiro: proj/build.conf:2: unknown name bogus\n"},
      {"wait = maybe\n", "x.exe a", 2,
       "kasumiro: proj/build.conf:1: wait takes yes or no, not maybe\n"},
      {"\n\ntitle\n", "x.exe a", 2,
       "kasumiro: proj/build.conf:3: title needs a value: title = ...\n"},
      {"method = lh9\n", "x.exe a", 2,
       "kasumiro: proj/build.conf:1: --method takes lh0, lh5, lh6 or lh7, not lh9\n"},
      {"level = 0\n", "x.exe a", 2, "kasumiro: proj/build.conf:1: level takes 1 to 9, not 0\n"},
      {"config = other.conf\n", "x.exe a", 2, "kasumiro: proj/build.conf:1: unknown name config\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config + " | " + c.arguments);
    spit(dir / "proj" / "build.conf", c.config);
    fs::remove_all(dir / "proj" / "out");
    fs::create_directories(dir / "proj" / "out");
    const RunResult pack = kasumiro("a --config proj/build.conf " + c.arguments);
    ASSERT_EQ(pack.status, c.status) << pack.err;
    if (c.status) {
      EXPECT_EQ(pack.err, c.expected);
      continue;
    }
    const RunResult info = kasumiro("info proj/out/setup.exe");
    EXPECT_NE(info.out.find(c.expected), std::string::npos) << info.out;
    // The inputs below the base, without what was left out, and the notice.
    const RunResult list = kasumiro("l proj/out/setup.exe");
    for (const char* member : {" !\n", " readme.txt\n", " setup.exe\n"})
      EXPECT_NE(list.out.find(member), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("build.tmp"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find(" -lh5- "), std::string::npos) << list.out;
  }
  // OUTPUT and PATHs on the command line replace the file's.
  spit(dir / "proj" / "build.conf", good);
  fs::remove_all(dir / "proj" / "out");
  const RunResult replaced = kasumiro("a --config proj/build.conf other.exe proj/notice.txt");
  ASSERT_EQ(replaced.status, 0) << replaced.err;
  EXPECT_FALSE(fs::exists(dir / "proj" / "out"));
  EXPECT_NE(kasumiro("l other.exe").out.find(" proj/notice.txt\n"), std::string::npos);
}

TEST_F(PackTest, ExcludedPatternsLeaveOutPathsAndNames) {
  spit(dir / "t" / "keep.txt", "k");
  spit(dir / "t" / "a.tmp", "t");
  spit(dir / "t" / "sub" / "b.tmp", "t");
  spit(dir / "t" / "sub" / "c.txt", "c");
  spit(dir / "t" / ".git" / "config", "g");
  const struct {
    std::string patterns;
    std::vector<std::string> members;
  } cases[] = {
      {"",
       {"t/", "t/.git/", "t/.git/config", "t/a.tmp", "t/keep.txt", "t/sub/", "t/sub/b.tmp",
        "t/sub/c.txt"}},
      {"-x '*.tmp' --exclude .git", {"t/", "t/keep.txt", "t/sub/", "t/sub/c.txt"}},
      {"-x 't/sub'", {"t/", "t/.git/", "t/.git/config", "t/a.tmp", "t/keep.txt"}},
      {"-x 't/*/*.tmp'",
       {"t/", "t/.git/", "t/.git/config", "t/a.tmp", "t/keep.txt", "t/sub/", "t/sub/c.txt"}},
      {"-x 'c.tx?' -x '[ab].tmp'", {"t/", "t/.git/", "t/.git/config", "t/keep.txt", "t/sub/"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.patterns);
    fs::remove(dir / "x.lzh");
    ASSERT_EQ(kasumiro("a " + c.patterns + " x.lzh t").status, 0);
    std::vector<std::string> members;
    const std::string listing = kasumiro("l x.lzh").out;
    for (size_t at = listing.find('\n'); at + 1 < listing.size(); at = listing.find('\n', at + 1)) {
      const std::string line = listing.substr(at + 1, listing.find('\n', at + 1) - at - 1);
      if (line.find("bytes in") == std::string::npos) members.push_back(line.substr(57));
    }
    std::sort(members.begin(), members.end());
    EXPECT_EQ(members, c.members);
  }
}

TEST_F(PackTest, CommonMistakesAreWarnedAbout) {
  spit(dir / "app" / "MemoPad" / "setup.exe", "setup");
  spit(dir / "a.txt", "a");
  const struct {
    std::string arguments;
    std::string warning;  // "" for none
  } cases[] = {
      {"--command '%ExtractDir%\\setup.exe' s.exe app/MemoPad",
       "kasumiro: warning: --command starts %ExtractDir%\\setup.exe, but no member is setup.exe "
       "(app/MemoPad/setup.exe is: -C takes the PATHs from a folder down)\n"},
      {"--command '\"%ExtractDir%\\App\\MEMOPAD\\Setup.exe\" /q' s.exe app", ""},
      {"--command '%ExtractDir%/missing.exe' s.exe a.txt",
       "kasumiro: warning: --command starts %ExtractDir%/missing.exe, but no member is "
       "missing.exe\n"},
      {"--command 'notepad.exe %ExtractDir%\\none.txt' s.exe a.txt", ""},
      {"-C app/MemoPad --command '%ExtractDir%\\setup.exe' s.exe .", ""},
      {"--wait s.exe a.txt",
       "kasumiro: warning: --wait without --command: there is nothing to "
       "wait for\n"},
      {"out.zip a.txt",
       "kasumiro: warning: out.zip will be an LZH archive; name it .lzh, or .exe for a "
       "self-extracting file\n"},
      {"out.LHA a.txt", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const RunResult pack = kasumiro("a " + c.arguments);
    EXPECT_EQ(pack.status, 0);
    EXPECT_EQ(pack.err, c.warning);
  }
}

// ---------------------------------------------------------------------------
// The packer loses nothing and makes nothing broken.

TEST_F(PackTest, WhatWouldLoseDataOrMakeABrokenFileIsRefused) {
  spit(dir / "a.txt", "a");
  spit(dir / "me.lzh", "precious");
  fs::create_directories(dir / "empty");
  spit(dir / "notice-1023.txt", std::string(1023, 'n'));
  spit(dir / "notice-long.txt", std::string(1022, 'n') + "表");  // 1024 bytes in CP932
  // Archives the stub would refuse, from the test kit's writer.
  const auto plain = [] { return testkit::fileMember("a.txt", testkit::bytesOf("aaa"), '5'); };
  testkit::Member badCrc = plain();
  badCrc.dataCrc = 0x1234;
  testkit::Member longName = plain();
  longName.dir = std::string(600, 'd');  // 1,201 bytes: more than any reader holds
  longName.name = std::string(600, 'f');
  testkit::Member unknownMethod = plain();
  unknownMethod.method = 'x';
  std::vector<uint8_t> noEnd = testkit::buildArchive({plain()});
  noEnd.pop_back();
  testkit::writeFile((dir / "good.lzh").string(), testkit::buildArchive({plain()}));
  testkit::writeFile((dir / "bad-crc.lzh").string(), testkit::buildArchive({plain(), badCrc}));
  testkit::writeFile((dir / "long-name.lzh").string(), testkit::buildArchive({longName}));
  testkit::writeFile((dir / "method.lzh").string(), testkit::buildArchive({unknownMethod}));
  testkit::writeFile((dir / "no-end.lzh").string(), noEnd);
  // A stub as built, cut short, and with an archive behind it.
  ASSERT_EQ(kasumiro("a --stub x86_64 whole.exe a.txt").status, 0);
  const std::string whole = slurp(dir / "whole.exe");
  uint32_t stubLength = 0;
  std::memcpy(&stubLength, whole.data() + 512, 4);
  spit(dir / "stub.exe", whole.substr(0, stubLength));
  spit(dir / "cut.exe", whole.substr(0, stubLength - 700));
  spit(dir / "head.exe", whole.substr(0, 2048));
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);

  const struct {
    std::string arguments;
    std::string error;  // "" when OUTPUT (the first operand) is made
  } cases[] = {
      {"me.lzh me.lzh", "me.lzh is the OUTPUT itself and cannot go into it (-x leaves it out)"},
      {"me.lzh .", "./me.lzh is the OUTPUT itself and cannot go into it (-x leaves it out)"},
      {"e.lzh -C empty .", "nothing to pack: no file or folder is left to go in"},
      {"e.lzh -x '*' a.txt", "nothing to pack: no file or folder is left to go in"},
      {"--from good.lzh g.exe", ""},
      {"--from bad-crc.lzh g.exe",
       "bad-crc.lzh is damaged or holds what the stub cannot extract (kasumiro t bad-crc.lzh "
       "tells more)"},
      {"--from long-name.lzh g.exe",
       "long-name.lzh is damaged or holds what the stub cannot "
       "extract (kasumiro t long-name.lzh tells more)"},
      {"--from method.lzh g.exe",
       "method.lzh is damaged or holds what the stub cannot extract "
       "(kasumiro t method.lzh tells more)"},
      {"--from no-end.lzh g.exe",
       "no-end.lzh is damaged or holds what the stub cannot extract "
       "(kasumiro t no-end.lzh tells more)"},
      {"--stub stub.exe g.exe a.txt", ""},
      {"--stub cut.exe g.exe a.txt",
       "cut.exe is not a whole stub: raw data of section .rsrc is cut off"},
      {"--stub whole.exe g.exe a.txt",
       "whole.exe is not a whole stub: it is " + std::to_string(whole.size()) +
           " bytes, its block expects " + std::to_string(stubLength)},
      {"--stub head.exe g.exe a.txt",
       "head.exe is not a whole stub: raw data of section .text is cut off"},
      {"--stub a.txt g.exe a.txt", "a.txt is not a Kasumiro stub"},
      {"--notice notice-1023.txt g.exe a.txt", ""},
      {"--notice notice-long.txt g.exe a.txt",
       "the notice notice-long.txt is 1024 bytes in CP932; the stub shows at most 1023"},
      {"--notice empty g.exe a.txt", "the notice empty is not a regular file"},
      {"--notice /dev/zero g.exe a.txt", "the notice /dev/zero is not a regular file"},
      {"--notice fifo g.exe a.txt", "the notice fifo is not a regular file"},
      {"--temp g.exe a.txt", "--temp needs --command: the folder is removed when the command ends"},
      // Left out by name, the old OUTPUT is no input any more.
      {"-x me.lzh -x '*.exe' -x '*.lzh' -x fifo me.lzh .", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    fs::remove(dir / "g.exe");
    const RunResult pack = kasumiro("a " + c.arguments);
    if (c.error.empty()) {
      EXPECT_EQ(pack.status, 0) << pack.err;
      const std::string made = c.arguments.find("me.lzh") != std::string::npos ? "me.lzh" : "g.exe";
      EXPECT_EQ(kasumiro("t " + made).status, 0);
      continue;
    }
    EXPECT_NE(pack.status, 0);
    EXPECT_NE(pack.err.find("kasumiro: " + c.error + "\n"), std::string::npos) << pack.err;
    EXPECT_FALSE(fs::exists(dir / "g.exe"));
    EXPECT_FALSE(fs::exists(dir / "e.lzh"));
    EXPECT_EQ(slurp(dir / "me.lzh"), "precious");
  }
}

TEST_F(PackTest, AFileNamedTwiceIsStoredOnceAndNamesEqualButForCaseAreRefused) {
  spit(dir / "d" / "f.txt", "f");
  spit(dir / "d" / "g.txt", "g");
  spit(dir / "Readme.txt", "one");
  spit(dir / "README.TXT", "two");
  spit(dir / "x" / "Docs" / "a", "a");
  spit(dir / "x" / "docs", "file");
  const struct {
    std::string paths;
    int status;
    std::string err;
    size_t members;
  } cases[] = {
      {"d/f.txt d/f.txt", 0,
       "kasumiro: warning: d/f.txt is named twice (d/f.txt and d/f.txt); stored once\n", 1},
      {"d d/f.txt", 0,
       "kasumiro: warning: d/f.txt is named twice (d/f.txt and d/f.txt); stored "
       "once\n",
       3},
      {"d ./d", 0, "kasumiro: warning: d is named twice (d and ./d); stored once\n", 3},
      {"Readme.txt README.TXT", 1,
       "kasumiro: Readme.txt and README.TXT would be stored as Readme.txt and README.TXT, which "
       "Windows takes for one name\n",
       0},
      {"-C x .", 1,
       "kasumiro: x/./Docs and x/./docs would be stored as Docs and docs, which Windows "
       "takes for one name\n",
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.paths);
    fs::remove(dir / "o.lzh");
    const RunResult pack = kasumiro("a o.lzh " + c.paths);
    EXPECT_EQ(pack.status, c.status);
    EXPECT_EQ(pack.err, c.err);
    if (!c.status) {
      const std::string listing = kasumiro("l o.lzh").out;
      EXPECT_NE(listing.find(" bytes in " + std::to_string(c.members) + " members\n"),
                std::string::npos)
          << listing;
    }
  }
}

// A finished file is signed last (osslsigncode, with a certificate made
// here): the signature verifies, and the runner reads the archive as before,
// since it stops at the archive's end marker, ahead of the certificate
// table. A signed file given as the stub is refused, not quietly unsigned.
TEST_F(PackTest, TheFinishedFileIsSignedLastAndASignedStubIsRefused) {
  if (run("command -v osslsigncode && command -v openssl").status != 0)
    GTEST_SKIP() << "osslsigncode or openssl is not installed (scripts/setup installs them)";
  ASSERT_EQ(run("openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 "
                "-subj /CN=Kasumiro-Test")
                .status,
            0);
  spit(dir / "a.txt", "signed and sealed");
  ASSERT_EQ(kasumiro("a --title Signed setup.exe a.txt").status, 0);
  const RunResult sign = run(
      "osslsigncode sign -certs cert.pem -key key.pem -n Kasumiro -in setup.exe -out signed.exe");
  ASSERT_EQ(sign.status, 0) << sign.out << sign.err;
  const RunResult verify = run("osslsigncode verify -CAfile cert.pem -in signed.exe");
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  EXPECT_GT(fs::file_size(dir / "signed.exe"), fs::file_size(dir / "setup.exe"));

  EXPECT_EQ(kasumiro("t signed.exe").status, 0);
  EXPECT_NE(kasumiro("info signed.exe").out.find("title       Signed\n"), std::string::npos);
  const RunResult extract = kasumiro("x -y signed.exe out");
  ASSERT_EQ(extract.status, 0) << extract.err;
  EXPECT_EQ(slurp(dir / "out" / "a.txt"), "signed and sealed");

  // The stub alone, signed, is refused; unsigned again, it is a stub like
  // any other.
  const std::string whole = slurp(dir / "setup.exe");
  uint32_t stubLength = 0;
  std::memcpy(&stubLength, whole.data() + 512, 4);
  spit(dir / "stub.exe", whole.substr(0, stubLength));
  ASSERT_EQ(run("osslsigncode sign -certs cert.pem -key key.pem -n Kasumiro -in stub.exe -out "
                "signed-stub.exe")
                .status,
            0);
  const RunResult refused = kasumiro("a --stub signed-stub.exe again.exe a.txt");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err,
            "kasumiro: signed-stub.exe is signed, and no signature survives the block and the "
            "archive written into it: use the stub unsigned and sign the finished file\n");
  EXPECT_FALSE(fs::exists(dir / "again.exe"));
  ASSERT_EQ(run("osslsigncode remove-signature -in signed-stub.exe -out unsigned.exe").status, 0);
  const RunResult again = kasumiro("a --stub unsigned.exe again.exe a.txt");
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(kasumiro("t again.exe").status, 0);
}

}  // namespace
