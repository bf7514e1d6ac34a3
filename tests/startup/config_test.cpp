// The configuration block: reading, defaults, the command-line override,
// expansion and quoting; and the message table.
#include "startup/config.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "startup/messages.h"
#include "startup/sfx_state.h"
#include "support/scripted_host.h"
#include "support/sfx_fixture.h"

using testkit::buildSfxImage;
using testkit::SfxImageParts;

class ConfigTest : public SfxTest {
 protected:
  bool load(const SfxImageParts& imageSpec, const std::string& tail = "") {
    return loadImage(buildSfxImage(imageSpec), tail);
  }
};

TEST_F(ConfigTest, EmptyTitleBecomesTheDefaultTitle) {
  SfxImageParts imageSpec;
  ASSERT_TRUE(load(imageSpec));
  EXPECT_STREQ(sfxState.config.title, "Kasumiro  Ver 1.9.9.0");
}

TEST_F(ConfigTest, TextFieldsEndAtTheirFirstZeroByte) {
  SfxImageParts imageSpec;
  imageSpec.rawConfig = testkit::buildConfigBlock(imageSpec);
  std::vector<uint8_t>& raw = *imageSpec.rawConfig;
  std::memcpy(raw.data() + 4, "Short\0leftover", 14);
  ASSERT_TRUE(load(imageSpec));
  EXPECT_STREQ(sfxState.config.title, "Short");
}

TEST_F(ConfigTest, FieldsWithoutTerminatorAreCutAtTheirWidth) {
  SfxImageParts imageSpec;
  imageSpec.rawConfig = testkit::buildConfigBlock(imageSpec);
  std::memset(imageSpec.rawConfig->data() + 4, 'T', 51);     // title, no terminator
  std::memset(imageSpec.rawConfig->data() + 453, 'C', 260);  // command, no terminator
  ASSERT_TRUE(load(imageSpec));
  EXPECT_EQ(std::strlen(sfxState.config.title), 50u);
  EXPECT_EQ(std::strlen(sfxState.config.runCommand), 259u);
}

TEST_F(ConfigTest, EmptyDirectoryGivesTheCurrentDirectoryQuotedWhenSpaced) {
  std::string spaced = path("with blank");
  ASSERT_EQ(mkdir(spaced.c_str(), 0777), 0);
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(spaced.c_str()), 0);
  SfxImageParts imageSpec;
  bool ok = load(imageSpec);
  ASSERT_EQ(chdir(old), 0);
  ASSERT_TRUE(ok);
  EXPECT_EQ(std::string(sfxState.config.defaultDir), "\"" + spaced + "\"");
}

namespace {

struct TailCase {
  const char* stored;
  const char* tail;
  const char* expected;
};

class ConfigTailTest : public ConfigTest, public ::testing::WithParamInterface<TailCase> {};

TEST_P(ConfigTailTest, TailReplacesTheStoredDirectory) {
  SfxImageParts imageSpec;
  imageSpec.defaultDir = GetParam().stored;
  ASSERT_TRUE(load(imageSpec, GetParam().tail));
  EXPECT_STREQ(sfxState.config.defaultDir, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigTailTest,
    ::testing::Values(TailCase{"C:\\Stored", "C:\\My Files", "\"C:\\My Files\""},
                      TailCase{"C:\\Stored", "\"D:\\My Target\" ", "\"D:\\My Target\" "},
                      TailCase{"C:\\Stored", "", "C:\\Stored"},
                      TailCase{"C:\\Program Files\\A", "", "\"C:\\Program Files\\A\""},
                      TailCase{"%ExtractDir%\\Setup", "", "%ExtractDir%\\Setup"},
                      TailCase{"C:\\Tab\there", "", "C:\\Tab\there"}));

}  // namespace

TEST_F(ConfigTest, EnvironmentComesBeforePathVariables) {
  setenv("KASUMIRO_TEST_DIR", "/env/value", 1);
  setenv("ExtractDir", "/from/env", 1);
  SfxImageParts imageSpec;
  imageSpec.defaultDir = "%KASUMIRO_TEST_DIR%\\x";
  ASSERT_TRUE(load(imageSpec));
  EXPECT_STREQ(sfxState.config.defaultDir, "/env/value\\x");
  imageSpec.defaultDir = "%ExtractDir%\\Setup";
  ASSERT_TRUE(load(imageSpec));
  EXPECT_STREQ(sfxState.config.defaultDir, "/from/env\\Setup");
  unsetenv("ExtractDir");
  unsetenv("KASUMIRO_TEST_DIR");
}

TEST_F(ConfigTest, OverlongTailIsCutAndQuotingNeverOverflows) {
  // The field holds program text: 1023 bytes.
  std::string tail(1100, 'd');
  tail[10] = ' ';
  SfxImageParts imageSpec;
  ASSERT_TRUE(load(imageSpec, tail));
  EXPECT_LE(std::strlen(sfxState.config.defaultDir), 1023u);
  EXPECT_EQ(std::string(sfxState.config.defaultDir), tail.substr(0, 1023));
  // A 1021-byte spaced path still has room for its quotes.
  ASSERT_TRUE(load(imageSpec, tail.substr(0, 1021)));
  EXPECT_EQ(std::string(sfxState.config.defaultDir), "\"" + tail.substr(0, 1021) + "\"");
}

TEST_F(ConfigTest, PromptDefaultsToTheOverwriteNoteOnlyWhenEmptyAndOverwriting) {
  SfxImageParts imageSpec;
  imageSpec.flags = FLAG_OVERWRITE;
  ASSERT_TRUE(load(imageSpec));
  EXPECT_EQ(std::string(sfxState.config.prompt), std::string(loadMessage(MSG_OVERWRITE_NOTE)));
  imageSpec.prompt = "mine";
  ASSERT_TRUE(load(imageSpec));
  EXPECT_STREQ(sfxState.config.prompt, "mine");
  imageSpec.prompt = "";
  imageSpec.flags = 0;
  ASSERT_TRUE(load(imageSpec));
  EXPECT_STREQ(sfxState.config.prompt, "");
  // /O on the command line counts as the block's own flag.
  testkit::writeFile(imagePath, buildSfxImage(imageSpec));
  ASSERT_TRUE(loadConfig(nullptr, FLAG_OVERWRITE));
  EXPECT_EQ(uint32_t{sfxState.config.flags}, FLAG_OVERWRITE);
  EXPECT_EQ(std::string(sfxState.config.prompt), std::string(loadMessage(MSG_OVERWRITE_NOTE)));
}

TEST_F(ConfigTest, AutoRunFollowsTheCommandAndNoFoldersStartsOff) {
  SfxImageParts imageSpec;
  imageSpec.runCommand = "setup.exe";
  sfxState.noFolders = 1;
  ASSERT_TRUE(load(imageSpec));
  EXPECT_EQ(sfxState.autoRun, 1);
  EXPECT_EQ(sfxState.noFolders, 0);
  imageSpec.runCommand = "";
  ASSERT_TRUE(load(imageSpec));
  EXPECT_EQ(sfxState.autoRun, 0);
}

TEST_F(ConfigTest, ShortOrMissingImageFails) {
  std::vector<uint8_t> image = buildSfxImage(SfxImageParts());
  image.resize(512 + 716);
  EXPECT_FALSE(loadImage(image));
  image.resize(512 + 717);
  EXPECT_TRUE(loadImage(image));
  resetSfxState();
  std::strcpy(sfxState.selfPath, path("nothing.exe").c_str());
  EXPECT_FALSE(loadConfig(""));
}

TEST(QuotePathTest, QuotesOnlyUnquotedTextsWithABlank) {
  char out[256];
  EXPECT_STREQ(quotePathIfSpaced("C:\\Program Files\\A", out), "\"C:\\Program Files\\A\"");
  EXPECT_STREQ(quotePathIfSpaced("C:\\Work", out), "C:\\Work");
  EXPECT_STREQ(quotePathIfSpaced("\"C:\\a b", out), "\"C:\\a b");
  EXPECT_STREQ(quotePathIfSpaced("C:\\a\tb", out), "C:\\a\tb");
}

TEST(MessageTest, TextsAreShiftJisBytes) {
  // Independent of the table: bytes as code page 932 has them.
  setenv("LC_ALL", "ja_JP.UTF-8", 1);
  EXPECT_STREQ(loadMessage(MSG_READ_ERROR), "\x93\xC7\x82\xDD\x8D\x9E\x82\xDD\xB4\xD7\xB0");
  EXPECT_STREQ(loadMessage(MSG_ARCHIVE_BROKEN),
               "\x8F\x91\x8C\xC9\x82\xAA\x89\xF3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB7");
  EXPECT_STREQ(loadMessage(MSG_CHECKING), "\x8C\x9F\x8D\xB8\x92\x86: %s");
  EXPECT_EQ(std::strlen(loadMessage(MSG_NEEDS_WIN95)), 65u);
  EXPECT_STREQ(loadMessage(1), "");
  EXPECT_STREQ(loadMessage(6), "");
}

// The native loader speaks English unless the locale for messages is
// Japanese (the first of LC_ALL, LC_MESSAGES, LANG that is set decides).
TEST(MessageTest, EnglishUnlessTheLocaleIsJapanese) {
  const struct {
    const char *all, *messages, *lang;
    bool japanese;
  } cases[] = {
      {nullptr, nullptr, nullptr, false},        {nullptr, nullptr, "ja_JP.UTF-8", true},
      {nullptr, nullptr, "de_DE.UTF-8", false},  {nullptr, "ja_JP.eucJP", "C", true},
      {nullptr, "en_US.UTF-8", "ja_JP", false},  {"C", nullptr, "ja_JP.UTF-8", false},
      {"ja_JP.UTF-8", "C", "en_US.UTF-8", true}, {"", "", "ja", true},
  };
  for (const auto& c : cases) {
    for (auto [name, value] : {std::pair{"LC_ALL", c.all}, std::pair{"LC_MESSAGES", c.messages},
                               std::pair{"LANG", c.lang}})
      value ? setenv(name, value, 1) : unsetenv(name);
    EXPECT_STREQ(loadMessage(MSG_ARCHIVE_BROKEN),
                 c.japanese ? cp932("書庫が壊れています").c_str() : "Archive is damaged")
        << (c.all ? c.all : "-") << " " << (c.messages ? c.messages : "-") << " "
        << (c.lang ? c.lang : "-");
    EXPECT_STREQ(loadMessage(MSG_DEFAULT_TITLE), "Kasumiro  Ver 1.9.9.0");
  }
  setenv("LC_ALL", "ja_JP.UTF-8", 1);
}

TEST(MessageTest, OneSharedBufferHoldsTheLastText) {
  setenv("LC_ALL", "ja_JP.UTF-8", 1);
  const char* first = loadMessage(MSG_EXTRACTING);
  const char* second = loadMessage(MSG_CHECKING);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, cp932("検査中: %s").c_str());
}

TEST(MessageTest, FileErrorBoxQuotesThePathUnderTheTitle) {
  setenv("LC_ALL", "ja_JP.UTF-8", 1);
  resetSfxState();
  scriptedHost.reset();
  std::strcpy(sfxState.config.title, "Title");
  reportFileError(loadMessage(MSG_WRITE_ERROR), "C:\\Out\\a.txt");
  ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
  EXPECT_EQ(scriptedHost.errorBoxes[0].text, "\"C:\\Out\\a.txt\" " + cp932("書き込みｴﾗｰ"));
  EXPECT_EQ(scriptedHost.errorBoxes[0].caption, "Title");
  EXPECT_FALSE(scriptedHost.errorBoxes[0].owned);
}

TEST(MessageTest, FormattingIsBoundedAndNeverSplitsACharacter) {
  char out[8];
  std::string arg = cp932("表表表表");  // 8 bytes, all double-byte
  formatMessage(out, sizeof out, "a%s", arg.c_str());
  // "a" + three characters fit in 7 bytes; the fourth would be cut in half.
  EXPECT_EQ(std::string(out), "a" + cp932("表表表"));
  formatMessage(out, sizeof out, "100%%", nullptr);
  EXPECT_STREQ(out, "100%");
}
