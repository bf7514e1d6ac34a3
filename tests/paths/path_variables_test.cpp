#include "paths/path_variables.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

// What the platform answers for the directory rows; a failed query stands
// for an empty value.
std::string platformValue(bool (*query)(char*, uint32_t)) {
  char buffer[PATH_VALUE_SIZE];
  if (!query(buffer, sizeof buffer)) return "";
  return buffer;
}

std::string tempDirectory() { return platformValue(platformTempDirectory); }
std::string systemDirectory() { return platformValue(platformSystemDirectory); }
std::string windowsDirectory() { return platformValue(platformWindowsDirectory); }

std::string specialFolder(SpecialFolder folder) {
  char buffer[PATH_VALUE_SIZE];
  getSpecialFolder(buffer, folder);
  return buffer;
}

std::string expand(const std::string& source, const char* extractionDir) {
  char destination[1024];
  std::memset(destination, 'Z', sizeof destination);
  char* end = expandPathVariables(source.c_str(), destination, extractionDir);
  EXPECT_EQ(destination + std::strlen(destination), end) << source;
  return destination;
}

TEST(PathVariablesTest, ExpandsEachRowToItsOwnValue) {
  const char* games = "D:\\Games";
  struct Case {
    std::string source;
    const char* extractionDir;
    std::string expected;
  };
  const Case cases[] = {
      {"%ExtractDir%\\bin", games, "D:\\Games\\bin"},
      {"%SystemDir%", games, systemDirectory()},
      {"%ProgramFilesDir%", games, specialFolder(SF_PROGRAM_FILES)},
      {"%CommonFilesDir%", games, specialFolder(SF_COMMON_FILES)},
      {"%TEMP%", games, tempDirectory()},
      {"%MyDocuments%", games, specialFolder(SF_MY_DOCUMENTS)},
      {"%windir%", games, windowsDirectory()},
      // Every row consumes exactly its own name, so values can touch.
      {"%windir%%SystemDir%%TEMP%|", nullptr,
       windowsDirectory() + systemDirectory() + tempDirectory() + "|"},
      {"x%ExtractDir%%ExtractDir%y", games, "xD:\\GamesD:\\Gamesy"},
      {"%TEMP%\\x", nullptr, tempDirectory() + "\\x"},
      // A value is never scanned again for variables.
      {"%ExtractDir%\\a", "C:\\%TEMP%", "C:\\%TEMP%\\a"},
      {"", games, ""},
      {"no variables here", games, "no variables here"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, expand(c.source, c.extractionDir)) << c.source;
  }
}

TEST(PathVariablesTest, TextThatIsNoVariableStays) {
  struct Case {
    std::string source, expected;
  };
  const Case cases[] = {
      // With no extraction directory both of its variables stay as written.
      {"%ExtractDir%\\bin", "%ExtractDir%\\bin"},
      {"%ExtractDirX%\\bin", "%ExtractDirX%\\bin"},
      // Only the '%' is taken; the name's closing '%' begins "%TEMP%".
      {"%ExtractDir%TEMP%", "%ExtractDir" + tempDirectory()},
      {"%ExtractDirX%windir%", "%ExtractDirX" + windowsDirectory()},
      // Names compare case-sensitively.
      {"%extractdir%", "%extractdir%"},
      {"%WINDIR%", "%WINDIR%"},
      {"%Temp%", "%Temp%"},
      {"%systemdir%", "%systemdir%"},
      {"100%", "100%"},
      {"%", "%"},
      {"%%TEMP%", "%" + tempDirectory()},
      {"%TEMP", "%TEMP"},
      {"%Unknown%", "%Unknown%"},
      {"50% %windir%", "50% " + windowsDirectory()},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, expand(c.source, nullptr)) << c.source;
  }
}

TEST(PathVariablesTest, SpecialFoldersFallBackWhereTheSystemHasNone) {
  // The POSIX platform knows no special folders, so the fallback texts remain.
  char value[PATH_VALUE_SIZE];
  ASSERT_FALSE(platformSpecialFolder(0, value, sizeof value));
  EXPECT_EQ("C:\\Program Files", specialFolder(SF_PROGRAM_FILES));
  EXPECT_EQ("C:\\Program Files\\Common Files", specialFolder(SF_COMMON_FILES));
  EXPECT_EQ("C:\\My Documents", specialFolder(SF_MY_DOCUMENTS));
  EXPECT_EQ("C:\\Program Files\\x", expand("%ProgramFilesDir%\\x", nullptr));
}

TEST(PathVariablesTest, ShortFormOfTheExtractionDirectory) {
  char pattern[] = "/tmp/kasumiro_vars_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  std::string existing = std::string(pattern) + "/Long Folder Name";
  ASSERT_EQ(0, mkdir(existing.c_str(), 0700));

  char shortForm[PATH_VALUE_SIZE];
  std::string expected =
      platformShortPathName(existing.c_str(), shortForm, sizeof shortForm) ? shortForm : existing;
  EXPECT_EQ(expected + "\\run", expand("%ExtractDirX%\\run", existing.c_str()));

  // A directory that does not exist yet has no short form: the long one stays.
  std::string missing = existing + "/not yet";
  EXPECT_EQ(missing + "\\run", expand("%ExtractDirX%\\run", missing.c_str()));
  EXPECT_EQ(missing, expand("%ExtractDir%", missing.c_str()));

  rmdir(existing.c_str());
  rmdir(pattern);
}

TEST(PathVariablesTest, ValuesAreCutToTheirBuffer) {
  std::string longDir(300, 'd');
  EXPECT_EQ(std::string(PATH_VALUE_SIZE - 1, 'd') + "|", expand("%ExtractDir%|", longDir.c_str()));
  // Cut before a double-byte character that would straddle the value's end.
  std::string kanji = std::string(PATH_VALUE_SIZE - 2, 'd') + "\x95\x5c";
  EXPECT_EQ(std::string(PATH_VALUE_SIZE - 2, 'd') + "|", expand("%ExtractDir%|", kanji.c_str()));
}

TEST(PathVariablesTest, DestinationBoundIsNeverPassed) {
  // Full expansion: "<<" + 10 bytes of directory + "\x95\x5c" + ">>" (16 bytes).
  const char* directory = "0123456789\x95\x5c";
  const std::string source = "<<%ExtractDir%>>";
  const std::string full = "<<0123456789\x95\x5c>>";
  ASSERT_EQ(full, expand(source, directory));

  struct Case {
    int size;
    std::string expected;
  };
  const Case cases[] = {
      {1, ""},
      {2, "<"},
      {5, "<<01"},
      {13, "<<0123456789"},
      // The lead byte 0x95 would fit, its trail byte would not.
      {14, "<<0123456789"},
      {15, "<<0123456789\x95\x5c"},
      {16, "<<0123456789\x95\x5c>"},
      {17, full},
      {40, full},
  };
  for (const Case& c : cases) {
    std::vector<char> buffer(64, 'Z');
    char* end = expandPathVariables(source.c_str(), buffer.data(), directory, c.size);
    EXPECT_EQ(c.expected, buffer.data()) << "size " << c.size;
    EXPECT_EQ(buffer.data() + c.expected.size(), end) << "size " << c.size;
    for (size_t i = static_cast<size_t>(c.size); i < buffer.size(); ++i) {
      ASSERT_EQ('Z', buffer[i]) << "byte " << i << " written for size " << c.size;
    }
  }

  char untouched = 'Z';
  EXPECT_EQ(&untouched, expandPathVariables("%TEMP%", &untouched, nullptr, 0));
  EXPECT_EQ('Z', untouched);
}

TEST(PathVariablesTest, DefaultBoundHoldsManyLongValues) {
  // 259 bytes of source whose values are 255 bytes each would need far more
  // than the 1024-byte message buffer.
  std::string directory(255, 'x');
  std::string source;
  while (source.size() + 12 <= 259) source += "%ExtractDir%";
  std::vector<char> buffer(1100, 'Z');
  char* end = expandPathVariables(source.c_str(), buffer.data(), directory.c_str());
  EXPECT_EQ(buffer.data() + 1023, end);
  EXPECT_EQ(std::string(1023, 'x'), buffer.data());
  for (size_t i = 1024; i < buffer.size(); ++i) ASSERT_EQ('Z', buffer[i]) << "byte " << i;
}

}  // namespace
