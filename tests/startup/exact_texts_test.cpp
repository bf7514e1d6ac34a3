// Texts beyond CP932: the exact texts resource preferred to the block's
// renditions, and a notice stored as UTF-8 after a byte-order mark, both
// held as program text.
#include "startup/exact_texts.h"

#include <string>
#include <vector>

#include "extract/passes.h"
#include "platform/posix/platform_posix.h"
#include "platform/posix/text.h"
#include "startup/sfx_state.h"
#include "support/archive_builder.h"
#include "support/scripted_host.h"
#include "support/sfx_fixture.h"
#include "tools/pack/exact_texts_resource.h"

namespace {

std::string text(const std::string& utf8) {
  char out[4096];
  return utf8ToProgramText(utf8.c_str(), out, sizeof out) ? out : "<not UTF-8>";
}

void putText(std::vector<uint8_t>& blob, const std::u16string& units) {
  blob.insert(blob.end(), {uint8_t(units.size()), uint8_t(units.size() >> 8)});
  for (char16_t c : units) blob.insert(blob.end(), {uint8_t(c), uint8_t(c >> 8)});
}

class ExactTextsTest : public SfxTest {
 protected:
  void TearDown() override {
    posixSetProgramResource(0, 0, nullptr, 0);
    SfxTest::TearDown();
  }
  bool loadWith(const std::vector<uint8_t>& blob) {
    posixSetProgramResource(EXACT_TEXTS_TYPE, EXACT_TEXTS_ID, blob.data(),
                            static_cast<uint32_t>(blob.size()));
    testkit::SfxImageParts parts;
    parts.title = "_n_c_d_ Setup";
    parts.message = "block message";
    parts.defaultDir = "C:\\___";
    parts.prompt = "block prompt";
    parts.runCommand = "setup.exe";
    parts.archive = testkit::buildArchive({});
    return loadImage(testkit::buildSfxImage(parts));
  }
};

TEST_F(ExactTextsTest, ExactTextsReplaceTheBlocksRenditions) {
  std::vector<uint8_t> blob;
  putText(blob, u"\u00dcn\u00efc\u00f6d\u00e9 Setup \u2013 \u301c");
  putText(blob, u"");  // the block's message stands
  putText(blob, u"C:\\\ud55c\uad6d\uc5b4");
  putText(blob, std::u16string(u"a\0b", 3));  // no text: the block's stands
  putText(blob, u"\U0001F600.exe /q");
  blob.push_back(0x42);  // left for later versions
  ASSERT_TRUE(loadWith(blob));
  const RunConfig& c = sfxState.config;
  EXPECT_EQ(std::string(c.title), text("Ünïcödé Setup – 〜"));
  EXPECT_STREQ(c.message, "block message");
  EXPECT_EQ(std::string(c.defaultDir), text("C:\\한국어"));
  EXPECT_STREQ(c.prompt, "block prompt");
  EXPECT_EQ(std::string(c.runCommand), text("😀.exe /q"));
}

TEST_F(ExactTextsTest, MalformedResourcesLeaveTheBlockAndLongTextsKeepWholeCharacters) {
  std::vector<uint8_t> tooShort;
  putText(tooShort, u"title");
  putText(tooShort, u"message");
  std::vector<uint8_t> countBeyond = tooShort;
  for (int i = 0; i < 3; ++i) putText(countBeyond, u"x");
  countBeyond[countBeyond.size() - 4] = 9;  // the last text claims 9 units
  for (const auto& blob : {tooShort, countBeyond, std::vector<uint8_t>{}}) {
    ASSERT_TRUE(loadWith(blob));
    EXPECT_STREQ(sfxState.config.title, "_n_c_d_ Setup");
    EXPECT_STREQ(sfxState.config.message, "block message");
  }
  std::vector<uint8_t> longTitle;
  putText(longTitle, std::u16string(200, u'\u301c'));  // 800 bytes of escapes
  for (int i = 0; i < 4; ++i) putText(longTitle, u"");
  ASSERT_TRUE(loadWith(longTitle));
  std::string expected;
  for (int i = 0; i < 127; ++i) expected += "\xFD\xA3\xA0\xBC";  // 508 of 511 bytes
  EXPECT_EQ(std::string(sfxState.config.title), expected);
}

TEST_F(ExactTextsTest, AMarkedNoticeIsShownAsItsUtf8Says) {
  const struct {
    const char* what;
    std::string stored;
    std::string shown;  // program text
  } cases[] = {
      {"CP932, as always", "\x82\xA8\x92\x6D\x82\xE7\x82\xB9", "\x82\xA8\x92\x6D\x82\xE7\x82\xB9"},
      {"UTF-8 after the mark",
       "\xEF\xBB\xBF"
       "Bitte lesen: Ärger 〜 한국어",
       text("Bitte lesen: Ärger 〜 한국어")},
      {"not UTF-8 shows U+FFFD",
       "\xEF\xBB\xBF"
       "a\xC3(b\xFF",
       text("a\xEF\xBF\xBD(b\xEF\xBF\xBD")},
      // 1023 bytes are captured; the character cut there shows as U+FFFD,
      // and what does not fit the buffer as program text is left out whole.
      {"longer than the capture", "\xEF\xBB\xBF" + std::string(1019, 'a') + "é",
       text(std::string(1019, 'a') + "\xEF\xBF\xBD")},
      {"longer as program text",
       "\xEF\xBB\xBF" +
           [] {
             std::string s;
             for (int i = 0; i < 300; ++i) s += "한";
             return s;
           }(),
       [] {
         std::string s;
         for (int i = 0; i < 255; ++i) s += "\xFD\xAD\xB5\xBC";
         return s;
       }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testkit::SfxImageParts parts;
    parts.title = "T";
    parts.archive = testkit::buildArchive(
        {testkit::fileMember("!", std::vector<uint8_t>(c.stored.begin(), c.stored.end()), '0')});
    ASSERT_TRUE(loadImage(testkit::buildSfxImage(parts)));
    scriptedHost.reset();
    EXPECT_TRUE(runExtraction(nullptr, MODE_NOTICE));
    ASSERT_EQ(scriptedHost.questions.size(), 1u);
    EXPECT_EQ(scriptedHost.questions[0].text, c.shown);
  }
}

}  // namespace

namespace {

// What the packer makes of the author's texts: the resource holds exactly
// the texts beyond CP932 (the stub reads it back as written), the block
// their renditions.
TEST(ExactTextsResourceTest, OnlyTextsBeyondCp932GoIntoTheResource) {
  std::vector<uint8_t> data;
  ASSERT_TRUE(pack::exactTextsResource({{"--title", "かすみろ"}, {"--dir", "C:\\x"}}, data));
  EXPECT_TRUE(data.empty());  // such a stub stays as it was

  const std::vector<pack::BlockText> texts = {
      {"--title", "first"}, {"--command", "run.exe"}, {"--title", "Ünï 〜"}, {"--prompt", "～"}};
  ASSERT_TRUE(pack::exactTextsResource(texts, data));
  std::vector<uint8_t> expected;
  putText(expected, u"\u00dcn\u00ef \u301c");  // the last --title counts
  for (int i = 0; i < 4; ++i) putText(expected, u"");
  EXPECT_EQ(data, expected);
  ExactText parsed[EXACT_TEXT_COUNT];
  ASSERT_TRUE(parseExactTexts(data.data(), data.size(), parsed));
  EXPECT_EQ(parsed[0].count, 5u);

  const auto block = pack::blockRenditions(texts);
  ASSERT_EQ(block.size(), 4u);
  EXPECT_EQ(block[2].utf8, "_n_ _");
  EXPECT_EQ(block[3].utf8, "～");
  EXPECT_FALSE(pack::exactTextsResource({{"--message", "caf\xE9"}}, data));
}

}  // namespace
