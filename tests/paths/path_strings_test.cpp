#include "paths/path_strings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// CP932 characters whose trail byte is 0x5C, the backslash.
const std::string SO = "\x83\x5c";      // katakana so
const std::string HYOU = "\x95\x5c";    // "table"
const std::string KANA_A = "\x82\xa0";  // hiragana a, an ordinary double-byte character

// A heap buffer exactly as long as text plus its terminator, so that any read
// or write past the end is caught by AddressSanitizer.
std::vector<char> exact(const std::string& text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  return buffer;
}

struct TextCase {
  std::string input;
  std::string expected;
};

TEST(PathStringsTest, UnquotePath) {
  const TextCase cases[] = {
      {"\t \"C:\\My Dir\" x", "C:\\My Dir"},
      {"C:\\dir ", "C:\\dir "},
      {"\"", ""},
      {"  \"C:\\open", "C:\\open"},
      {"   ", ""},
      {"\"\" rest", ""},
      {"\"" + SO + "\"", SO},
  };
  for (const TextCase& c : cases) {
    char destination[64];
    std::memset(destination, 'Z', sizeof destination);
    unquotePath(destination, c.input.c_str());
    EXPECT_EQ(c.expected, destination) << "input: " << c.input;
  }
}

TEST(PathStringsTest, UnquotePathWorksInPlace) {
  char buffer[] = "  \"C:\\In Place\" tail";
  unquotePath(buffer, buffer);
  EXPECT_STREQ("C:\\In Place", buffer);
  char plain[] = "\tC:\\x y";
  unquotePath(plain, plain);
  EXPECT_STREQ("C:\\x y", plain);
}

TEST(PathStringsTest, GetPathRoot) {
  const TextCase cases[] = {
      {"C:\\Work\\Out", "C:\\"},
      {"\\\\srv\\share\\a\\b", "\\\\srv\\share\\"},
      {"\\\\server\\share", "\\\\server\\share"},
      {"\\\\server", "\\\\server"},
      {"C:Work", ""},
      {"Work", ""},
      {"1:\\x", "1:\\"},
      {"", ""},
      {"C", ""},
      {"/dest/x", ""},
      {"\\single\\x", ""},
      // A trail byte 0x5C in the server or share name is not a separator.
      {"\\\\" + HYOU + "\\share\\dir", "\\\\" + HYOU + "\\share\\"},
      {"\\\\srv\\" + SO + "\\dir\\x", "\\\\srv\\" + SO + "\\"},
      {"\\\\srv\\" + SO, "\\\\srv\\" + SO},
  };
  for (const TextCase& c : cases) {
    char destination[64];
    std::memset(destination, 'Z', sizeof destination);
    std::vector<char> path = exact(c.input);
    getPathRoot(destination, path.data());
    EXPECT_EQ(c.expected, destination) << "path: " << c.input;
  }
}

TEST(PathStringsTest, AddTrailingBackslash) {
  const TextCase cases[] = {
      {"", "\\"},
      {"C:\\", "C:\\"},
      {"C:\\Work", "C:\\Work\\"},
      {"C:\\Work\\", "C:\\Work\\"},
      {"C:\\" + SO, "C:\\" + SO + "\\"},
      {"C:\\" + HYOU + "\\", "C:\\" + HYOU + "\\"},
      {"C:\\a/", "C:\\a/\\"},
  };
  for (const TextCase& c : cases) {
    char path[64];
    std::strcpy(path, c.input.c_str());
    addTrailingBackslash(path);
    EXPECT_EQ(c.expected, path) << "path: " << c.input;
  }
}

TEST(PathStringsTest, JoinPath) {
  struct Case {
    std::string directory, member, expected;
  };
  const Case cases[] = {
      {"C:\\", "a/b.txt", "C:\\a/b.txt"},
      {"C:\\Work", "\\a.txt", "C:\\Work\\a.txt"},
      {"C:\\Work\\", "\\\\srv\\x", "C:\\Work\\\\srv\\x"},
      {"C:\\Work", "/a.txt", "C:\\Work\\/a.txt"},
      {"C:\\" + SO, "a", "C:\\" + SO + "\\a"},
      {"", "a", "\\a"},
  };
  for (const Case& c : cases) {
    char destination[128];
    joinPath(destination, c.directory.c_str(), c.member.c_str());
    EXPECT_EQ(c.expected, destination) << c.directory << " + " << c.member;
  }
}

TEST(PathStringsTest, UnifySeparators) {
  struct Case {
    std::string input, expected;
    size_t lastComponent;  // offset of the returned position
  };
  const Case cases[] = {
      {SO + "\\a.txt", SO + "/a.txt", 3},
      {"dir1\xff"
       "dir2",
       "dir1/dir2", 5},
      {"a\\b/c\xff"
       "d",
       "a/b/c/d", 6},
      {"plain", "plain", 0},
      {"", "", 0},
      {"dir/", "dir/", 4},
      {HYOU + HYOU, HYOU + HYOU, 0},
      {"x\\" + HYOU + "\\" + SO, "x/" + HYOU + "/" + SO, 5},
      // A lead byte at the very end must not carry the walk past the terminator.
      {"ab\\\x83", "ab/\x83", 3},
  };
  for (const Case& c : cases) {
    std::vector<char> text = exact(c.input);
    char* result = unifySeparators(text.data(), '/');
    EXPECT_EQ(c.expected, text.data());
    EXPECT_EQ(c.lastComponent, static_cast<size_t>(result - text.data())) << c.input;
  }
  char backslashes[] =
      "a/b\xff"
      "c";
  unifySeparators(backslashes, '\\');
  EXPECT_STREQ("a\\b\\c", backslashes);
}

TEST(PathStringsTest, SanitizeNameCutsAtCharacterBoundaries) {
  struct Case {
    std::string input;
    int limit;
    bool longNames;
    std::string expected;
  };
  const Case cases[] = {
      {"abcdefghij", 8, false, "abcdefgh"},
      {"abcdefg" + KANA_A, 8, false, "abcdefg"},
      {"abcdef" + KANA_A, 8, false, "abcdef" + KANA_A},
      {"abc", 0, false, ""},
      {"abc", -5, true, ""},
      {"ab", 8, false, "ab"},
      // A dangling lead byte (no trail byte before the terminator) is dropped.
      {"ab\x83", 8, true, "ab"},
      // Trail byte 0x5C is no backslash, 0x7C no bar.
      {SO + "\x83\x7c", 8, false, SO + "\x83\x7c"},
      {"a|b\\c", 8, true, "a_b_c"},
      {"a|b\\c", 8, false, "a_b_c"},
  };
  for (const Case& c : cases) {
    std::vector<char> text = exact(c.input);
    char* end = sanitizeName(text.data(), c.limit, c.longNames);
    EXPECT_EQ(c.expected, text.data()) << c.input << " limit " << c.limit;
    EXPECT_EQ(text.data() + c.expected.size(), end);
  }
}

TEST(PathStringsTest, SanitizeNameForbiddenSets) {
  // Every byte a member name can hold, one at a time between two letters.
  for (int byte = 1; byte <= 0xFF; ++byte) {
    bool lead = (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    if (lead) continue;
    const char* shortForbidden = "\"*+,./:;<=>?[\\]|";
    const char* longForbidden = "\"*/:<>?\\|";
    bool inShort = byte <= 0x20 || byte == 0xFF || std::strchr(shortForbidden, byte) != nullptr;
    bool inLong = std::strchr(longForbidden, byte) != nullptr;
    for (bool longNames : {false, true}) {
      char text[] = {'a', static_cast<char>(byte), 'b', '\0'};
      sanitizeName(text, 8, longNames);
      bool forbidden = longNames ? inLong : inShort;
      EXPECT_EQ(forbidden ? '_' : static_cast<char>(byte), text[1])
          << "byte 0x" << std::hex << byte << (longNames ? " long" : " 8.3");
    }
  }
}

TEST(PathStringsTest, SanitizeComponentShortNames) {
  const TextCase cases[] = {
      {"readme.text", "readme.tex"},
      {"my.long.filename.txt", "my_long_.txt"},
      {"archive.tar.gz", "archive_.gz"},
      {"a b+c.txt", "a_b_c.txt"},
      {"abcdefghi", "abcdefgh"},
      {"abcdefg" + KANA_A, "abcdefg"},
      {".profile", ".pro"},
      {"..", "_."},
      {".", "."},
      {"name.", "name."},
      {"...", "__."},
      {".. ", "_._"},
      {". .", "__."},
      {"  ", "__"},
      {"\xb1\xb2\xb3.\xb4", "\xb1\xb2\xb3.\xb4"},  // half-width katakana
      {HYOU + ".txt", HYOU + ".txt"},
      {"abc." + KANA_A + KANA_A, "abc." + KANA_A},
      {"abc.x" + KANA_A, "abc.x" + KANA_A},
      {"a\xff"
       "b.c;d",
       "a_b.c_d"},
      {"", ""},
  };
  for (const TextCase& c : cases) {
    std::vector<char> component = exact(c.input);
    sanitizeComponent(component.data(), false);
    EXPECT_EQ(c.expected, component.data()) << "component: " << c.input;
  }
}

TEST(PathStringsTest, SanitizeComponentLongNames) {
  const TextCase cases[] = {
      {"a?b*c.txt", "a_b_c.txt"},
      {"my file+1;v.tar.gz", "my file+1;v.tar.gz"},
      {"\xb1\xb2\xb3.\xb4", "\xb1\xb2\xb3.\xb4"},
      {"tab\there", "tab\there"},
      {"x:y<z>\"w", "x_y_z__w"},
      {".", "."},
      {"..", "_."},
      {"...", "_.."},
      {". .", "_ ."},
      {".. ", "_. "},
      {" ..", "_.."},
      {"  ", "_ "},
      {" ", " "},
      {"..a", "..a"},
      {".hidden", ".hidden"},
      {SO + "..", SO + ".."},
      {std::string(300, 'x'), std::string(255, 'x')},
      {std::string(254, 'x') + KANA_A, std::string(254, 'x')},
      {std::string(300, '.'), "_" + std::string(254, '.')},
  };
  for (const TextCase& c : cases) {
    std::vector<char> component = exact(c.input);
    sanitizeComponent(component.data(), true);
    EXPECT_EQ(c.expected, component.data()) << "component: " << c.input;
  }
}

TEST(PathStringsTest, SanitizeMemberPath) {
  struct Case {
    std::string input;
    bool longNames;
    std::string expected;
  };
  const Case cases[] = {
      {"dir.with.dots/file.html", false, "dir_with.dot/file.htm"},
      {"/verylongdirname/x.text", false, "/verylong/x.tex"},
      {"a//b", false, "a//b"},
      {"a//b", true, "a//b"},
      {"dir/", true, "dir/"},
      {"/", true, "/"},
      {"", true, ""},
      {"a?/b*/c", true, "a_/b_/c"},
      {HYOU + "/" + SO + ".txt", false, HYOU + "/" + SO + ".txt"},
      {std::string(300, 'd') + "/f", true, std::string(255, 'd') + "/f"},
      {"../../etc", true, "_./_./etc"},
      {"../../etc", false, "_./_./etc"},
      // A '/' behind a lead byte (no valid trail byte) still splits.
      {"\x83/../x", true, "/_./x"},
  };
  for (const Case& c : cases) {
    std::vector<char> path = exact(c.input);
    sanitizeMemberPath(path.data(), c.longNames);
    EXPECT_EQ(c.expected, path.data()) << c.input << (c.longNames ? " long" : " 8.3");
  }
}

// What the extraction pass does with a member name: join it to the
// destination, then unify and sanitise everything after the destination root.
// The member's output path as the pass builds it, or "refused".
std::string outputPath(const std::string& destination, const std::string& member, bool longNames) {
  char current[1200];
  char root[600];
  getPathRoot(root, destination.c_str());
  std::vector<char> name = exact(member);
  unifySeparators(name.data(), '/');
  if (buildOutputPath(current, sizeof current, destination.c_str(), name.data(), std::strlen(root),
                      longNames, false) != OUTPUT_PATH_OK)
    return "refused";
  return current;
}

bool isCp932Lead(char byte) {
  unsigned char value = static_cast<unsigned char>(byte);
  return (value >= 0x81 && value <= 0x9F) || (value >= 0xE0 && value <= 0xFC);
}

// A backslash that is a character of its own, not the trail byte of one.
bool hasBackslashSeparator(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (isCp932Lead(text[i])) {
      ++i;
    } else if (text[i] == '\\') {
      return true;
    }
  }
  return false;
}

bool isDotsAndBlanks(const std::string& component) {
  return component.size() >= 2 && component.find_first_not_of(". ") == std::string::npos;
}

TEST(PathStringsTest, HostileMemberNamesStayInsideTheDestination) {
  const std::string hostile[] = {
      "../../etc/passwd",
      "..\\..\\x",
      "a/../../b",
      "/etc/passwd",
      "\\etc\\passwd",
      "C:/Windows/x",
      "C:\\Windows\\x",
      "C:x",
      "//server/share/x",
      "\\\\server\\share\\x",
      "\\\\?\\C:\\x",
      "\\\\.\\C:\\x",
      "//?/UNC/server/x",
      "\xff..\xff..\xffx",
      "...",
      "..",
      ".. /x",
      ". ./x",
      " ../x",
      "..../....//x",
      "./../x",
      "a/./../..",
      SO + "/../x",
      SO + "\\..\\x",
      "\x83/../x",
      "dir/..",
      "dir\xff..\xff",
  };
  // Destination (as the user chose it) and the form it takes in the output
  // path once its components below the root are unified.
  const std::pair<std::string, std::string> destinations[] = {
      {"/dest", "/dest"},
      {"C:\\dest", "C:\\dest"},
      {"C:\\dest\\sub\\", "C:\\dest/sub"},
      {"\\\\srv\\share\\dest", "\\\\srv\\share\\dest"},
  };
  for (const auto& destination : destinations) {
    for (const std::string& member : hostile) {
      for (bool longNames : {false, true}) {
        std::string path = outputPath(destination.first, member, longNames);
        SCOPED_TRACE(destination.first + " + " + member + (longNames ? " long" : " 8.3") + " -> " +
                     path);
        ASSERT_EQ(0u, path.rfind(destination.second, 0));
        std::string below = path.substr(destination.second.size());
        ASSERT_FALSE(below.empty());
        EXPECT_EQ('/', below[0]);
        EXPECT_EQ(std::string::npos, below.find(':'));
        EXPECT_FALSE(hasBackslashSeparator(below));
        size_t start = 1;
        while (start <= below.size()) {
          size_t end = below.find('/', start);
          if (end == std::string::npos) end = below.size();
          EXPECT_FALSE(isDotsAndBlanks(below.substr(start, end - start)))
              << "component " << below.substr(start, end - start);
          start = end + 1;
        }
      }
    }
  }
}

TEST(PathStringsTest, OutputPathsOfTheExtractionPass) {
  struct Case {
    std::string destination, member;
    bool longNames;
    std::string expected;
  };
  const Case cases[] = {
      {"C:\\Work\\Out", "doc/readme.txt", true, "C:\\Work/Out/doc/readme.txt"},
      {"C:\\Work\\Out", "doc/readme.text", false, "C:\\Work/Out/doc/readme.tex"},
      {"/dest", "../../etc/passwd", true, "/dest/_./_./etc/passwd"},
      {"C:\\dest", "C:\\Windows\\x", true, "C:\\dest/C_/Windows/x"},
      {"C:\\dest", "\\\\server\\share\\x", true, "C:\\dest///server/share/x"},
      {"C:\\dest", "\xff..\xff..\xffx", false, "C:\\dest//_./_./x"},
      {"C:\\", HYOU + "\\" + SO + ".txt", true, "C:\\" + HYOU + "/" + SO + ".txt"},
      // The destination is the user's: only its separators change.
      {"\\\\srv\\share\\a.b.c", "f", false, "\\\\srv\\share\\a.b.c/f"},
      {"C:\\Temp\\..\\Dest", "a.txt", true, "C:\\Temp/../Dest/a.txt"},
      {"C:\\x:y|z\\long name.here", "a b.txt", false, "C:\\x:y|z/long name.here/a_b.txt"},
      // A name longer than a long-name volume takes is refused, not cut.
      {"C:\\d", std::string(255, 'n'), true, "C:\\d/" + std::string(255, 'n')},
      {"C:\\d", "a/" + std::string(256, 'n'), true, "refused"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, outputPath(c.destination, c.member, c.longNames))
        << c.destination << " + " << c.member;
  }
}

class PathMakeDirectoriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kasumiro_paths_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    base = pattern;
  }
  void TearDown() override {
    if (!base.empty()) std::system(("rm -rf '" + base + "'").c_str());
  }
  static bool isDirectory(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
  }
  static bool exists(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0;
  }
  std::string base;
};

TEST_F(PathMakeDirectoriesTest, CreatesEveryPrefixBeforeASlash) {
  // The root part keeps its backslash, which the platform layer maps to '/'.
  makeDirectories((base + "\\Work/Out/doc/readme.txt").c_str());
  EXPECT_TRUE(isDirectory(base + "/Work"));
  EXPECT_TRUE(isDirectory(base + "/Work/Out"));
  EXPECT_TRUE(isDirectory(base + "/Work/Out/doc"));
  EXPECT_FALSE(exists(base + "/Work/Out/doc/readme.txt"));
  // Existing directories pass silently; a trailing '/' creates the last one.
  makeDirectories((base + "\\Work/Out/doc/new/").c_str());
  EXPECT_TRUE(isDirectory(base + "/Work/Out/doc/new"));
}

TEST_F(PathMakeDirectoriesTest, StopsAtTheWorkBufferLimit) {
  // Separators at byte offsets 2047 and 2049: the prefix of 2047 bytes fits
  // the 2048-byte work buffer with its terminator, the one of 2049 does not.
  std::string path = base;
  while (path.size() < 2047 - 101) path += "/" + std::string(100, 'a');
  path += "/" + std::string(2047 - path.size() - 1, 'b');
  ASSERT_EQ(2047u, path.size());
  std::string fits = path;
  path += "/c";
  std::string tooLong = path;
  path += "/d/file";
  makeDirectories(path.c_str());
  EXPECT_TRUE(isDirectory(fits));
  EXPECT_FALSE(exists(tooLong));
}

TEST(PathStringsTest, SplitCommandLine) {
  struct Case {
    std::string command, program, arguments;
  };
  const Case cases[] = {
      {"\"C:\\Program Files\\App\\setup.exe\" /s", "C:\\Program Files\\App\\setup.exe", "/s"},
      {"notepad.exe readme.txt", "notepad.exe", "readme.txt"},
      {"setup.exe", "setup.exe", ""},
      {" \t setup.exe \t a  b ", "setup.exe", "a  b "},
      {"\"C:\\open quote", "C:\\open quote", ""},
      {"\"a\"b c", "a", "b c"},
      {"\"\" x", "", "x"},
      {"", "", ""},
      {SO + "\\" + HYOU + ".exe -q", SO + "\\" + HYOU + ".exe", "-q"},
  };
  for (const Case& c : cases) {
    char program[600];
    std::memset(program, 'Z', sizeof program);
    const char* arguments = splitCommandLine(program, c.command.c_str());
    EXPECT_EQ(c.program, program) << c.command;
    EXPECT_EQ(c.arguments, arguments) << c.command;
  }
}

TEST(PathStringsTest, SplitCommandLineBoundsTheProgram) {
  struct Case {
    std::string command;
    int size;
    std::string program, arguments;
  };
  const Case cases[] = {
      {"abcdefgh -x", 5, "abcd", "-x"},
      {"\"abc defgh\" -x", 6, "abc d", "-x"},
      {"ab" + KANA_A + "c -x", 4, "ab", "-x"},
      {"ab" + KANA_A + "c -x", 5, "ab" + KANA_A, "-x"},
      {"abc -x", 1, "", "-x"},
      {"abc -x", 4, "abc", "-x"},
  };
  for (const Case& c : cases) {
    char buffer[16];
    std::memset(buffer, 'Z', sizeof buffer);
    const char* arguments = splitCommandLine(buffer, c.command.c_str(), c.size);
    EXPECT_EQ(c.program, buffer) << c.command << " size " << c.size;
    EXPECT_EQ(c.arguments, arguments) << c.command;
    for (size_t i = static_cast<size_t>(c.size); i < sizeof buffer; ++i) {
      EXPECT_EQ('Z', buffer[i]) << "byte " << i << " written for size " << c.size;
    }
  }
  char untouched = 'Z';
  EXPECT_STREQ("-x", splitCommandLine(&untouched, "abc -x", 0));
  EXPECT_EQ('Z', untouched);
}

}  // namespace

namespace {

struct DeviceCase {
  const char* component;
  bool device;
};

class DeviceNameTest : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(DeviceNameTest, RecognisesReservedNamesWithAnyExtension) {
  const char* c = GetParam().component;
  EXPECT_EQ(isDeviceName(c, std::strlen(c)), GetParam().device) << c;
}

INSTANTIATE_TEST_SUITE_P(Names, DeviceNameTest,
                         ::testing::Values(DeviceCase{"CON", true}, DeviceCase{"con", true},
                                           DeviceCase{"Prn.txt", true},
                                           DeviceCase{"aux.tar.gz", true}, DeviceCase{"NUL ", true},
                                           DeviceCase{"nul .txt", true}, DeviceCase{"COM1", true},
                                           DeviceCase{"lpt9.log", true}, DeviceCase{"COM0", false},
                                           DeviceCase{"COM10", false}, DeviceCase{"CONSOLE", false},
                                           DeviceCase{"xCON", false}, DeviceCase{"CO", false},
                                           DeviceCase{"", false}, DeviceCase{".con", false},
                                           DeviceCase{"LPT", false}));

}  // namespace

TEST(DefuseDeviceNamesTest, PrefixesEveryDeviceComponentWithinTheCapacity) {
  char path[64] = "con/a/NUL.txt/lpt1";
  EXPECT_TRUE(defuseDeviceNames(path, sizeof path));
  EXPECT_STREQ(path, "_con/a/_NUL.txt/_lpt1");

  char same[32] = "dir/console/file";
  EXPECT_TRUE(defuseDeviceNames(same, sizeof same));
  EXPECT_STREQ(same, "dir/console/file");

  // Exactly enough room, then one byte short: the path stays unchanged.
  char tight[10] = "aux/prn";
  EXPECT_TRUE(defuseDeviceNames(tight, 10));
  EXPECT_STREQ(tight, "_aux/_prn");
  char full[16] = "aux/prn";
  EXPECT_FALSE(defuseDeviceNames(full, 9));
  EXPECT_STREQ(full, "aux/prn");

  char leading[16] = "/com2";
  EXPECT_TRUE(defuseDeviceNames(leading, sizeof leading));
  EXPECT_STREQ(leading, "/_com2");
}
