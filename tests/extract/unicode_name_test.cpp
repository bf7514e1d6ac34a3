// Names in UTF-16 (records 0x44 and 0x45): preferred to their CP932 records
// each on its own, refused as a broken header when they cannot be names, and
// held to every rule that protects the destination exactly as CP932 names.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "extract/entry_header.h"
#include "extract/passes.h"
#include "platform/posix/platform_posix.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"
#include "support/archive_builder.h"
#include "support/scripted_host.h"
#include "support/sfx_fixture.h"

using testkit::bytesOf;
using testkit::ExtHeader;
using testkit::fileMember;
using testkit::Member;

namespace {

std::vector<uint8_t> utf16(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) bytes.insert(bytes.end(), {uint8_t(c), uint8_t(c >> 8)});
  return bytes;
}

// A member whose CP932 records name something else: only a reader that
// takes the Unicode records finds the name.
Member unicodeMember(const std::u16string& name, const std::u16string& dir = u"",
                     const std::string& cp932Name = "fallback.txt",
                     const std::string& cp932Dir = "") {
  Member m = fileMember(cp932Name, bytesOf("u"), '0', cp932Dir);
  if (!name.empty()) m.extra.push_back(ExtHeader{0x44, utf16(name), {}});
  if (!dir.empty()) m.extra.push_back(ExtHeader{0x45, utf16(dir), {}});
  return m;
}

std::vector<uint8_t> image(const std::vector<Member>& members) {
  testkit::SfxImageParts parts;
  parts.title = "T";
  parts.archive = testkit::buildArchive(members);
  return testkit::buildSfxImage(parts);
}

class UnicodeNameTest : public SfxTest {
 protected:
  HeaderResult readFirst(const Member& m, bool noFolders = false) {
    EXPECT_TRUE(loadImage(image({m})));
    sfxState.noFolders = noFolders;
    EXPECT_TRUE(openArchive());
    const HeaderResult result = readEntryHeader();
    closeArchive();
    return result;
  }
};

TEST_F(UnicodeNameTest, UnicodeRecordsArePreferredEachOnItsOwn) {
  const struct {
    const char* what;
    Member member;
    bool noFolders;
    std::string expected;  // memberName, program text
  } cases[] = {
      {"file name", unicodeMember(u"\u00e9.txt", u"", "x.txt", "d"), false,
       "d/\xFD\xA0\xA3\xC9.txt"},
      {"directory, components ended by U+FFFF",
       unicodeMember(u"", u"\u4e2d\u6587\uffff\u7b80\uffff", "a.txt", "zz"), false,
       "\x92\x86\x95\xB6/\xFD\xA7\xCE\xA0/a.txt"},
      {"'/' and '\\' separate too", unicodeMember(u"f", u"a/b\\c\uffff"), false, "a/b/c/f"},
      {"both, and the fallbacks unused", unicodeMember(u"\u301c", u"\uff5e\uffff", "_", "_"),
       false, "\x81\x60/\xFD\xA3\xA0\xBC"},
      {"folders suppressed", unicodeMember(u"f", u"d\uffff", "x", "y"), true, "f"},
      {"a separator inside 0x44", unicodeMember(u"a\uffffb"), false, "a/b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(readFirst(c.member, c.noFolders), HEADER_OK);
    EXPECT_EQ(std::string(sfxState.memberName), c.expected);
  }
}

TEST_F(UnicodeNameTest, RecordsThatCannotBeNamesAreBrokenHeaders) {
  Member odd = unicodeMember(u"ab");
  odd.extra[0].data.pop_back();
  const struct {
    const char* what;
    Member member;
  } cases[] = {
      {"odd length", odd},
      {"U+0000 in the file name", unicodeMember(std::u16string(u"a\0b", 3))},
      {"U+0000 in the directory", unicodeMember(u"f", std::u16string(u"d\0\uffff", 3))},
      {"unpaired high surrogate", unicodeMember(u"a\xd800")},
      {"unpaired low surrogate", unicodeMember(u"f", u"\xdc00\uffff")},
      // Refused rather than cut: a cut name could be another member's.
      {"1024 units", unicodeMember(std::u16string(1024, u'n'))},
      {"1024 bytes of program text", unicodeMember(std::u16string(256, u'\u301c'))},
      {"directory and name beyond memberName",
       unicodeMember(std::u16string(512, u'n'), std::u16string(511, u'd') + u"\uffff")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scriptedHost.reset();
    EXPECT_EQ(readFirst(c.member), HEADER_FAILED);
    EXPECT_EQ(sfxState.abortFlag, 1);
    ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
    EXPECT_EQ(scriptedHost.errorBoxes[0].text,
              "\"" + imagePath + "\" " + std::string(loadMessage(MSG_ARCHIVE_BROKEN)));
  }
}

// The same name as a 0x44 record and as a 0x01 record (CP932) comes out as
// the same files and the same boxes; nothing is ever written outside out/.
TEST_F(UnicodeNameTest, EveryContainmentRuleHoldsAsForCp932Names) {
  posixDeviceNames = true;
  std::u16string kanji129, kanji85;
  std::string cp932Kanji129, cp932Kanji85;
  for (int i = 0; i < 129; ++i) kanji129 += u'\u6f22', cp932Kanji129 += "\x8A\xBF";
  for (int i = 0; i < 85; ++i) kanji85 += u'\u6f22', cp932Kanji85 += "\x8A\xBF";
  const struct {
    std::u16string name;
    std::string cp932;
  } cases[] = {
      {u"..\\x", "..\\x"},
      {u"a/../../b", "a/../../b"},
      {u"../../../../tmp/escape", "../../../../tmp/escape"},
      {u"/abs/name", "/abs/name"},
      {u"C:x", "C:x"},
      {u"C:\\x", "C:\\x"},
      {u"\\\\server\\share\\x", "\\\\server\\share\\x"},
      {u"CON.txt", "CON.txt"},
      {u"d/lpt1 .log", "d/lpt1 .log"},
      {u"a:b*c?d\"e<f>g|h", "a:b*c?d\"e<f>g|h"},
      {u"x. ", "x. "},
      {u". .", ". ."},
      {u"a\uff0fb", "a\x81^b"},       // FULLWIDTH SOLIDUS: a character, no separator
      {u"a\u2215b", ""},              // DIVISION SLASH, beyond CP932: likewise
      {u"a\uffff..\uffffb", "a\xFF..\xFF" "b"},
      {std::u16string(256, u'n'), std::string(256, 'n')},  // longer than the volume takes
      {kanji85, cp932Kanji85},                            // 255 bytes of UTF-8: fits
      {kanji129, cp932Kanji129},                          // 387 bytes of UTF-8 here
  };
  auto run = [&](const Member& m, std::vector<std::string>& files,
                 std::vector<std::string>& boxes) {
    scriptedHost.reset();
    std::filesystem::remove_all(destination());
    ASSERT_TRUE(loadImage(image({m, fileMember("after", bytesOf("a"), '0')})));
    setDestination();
    scanAndExtract();
    files = tree();
    boxes.clear();
    for (const auto& b : scriptedHost.errorBoxes) boxes.push_back(b.text);
    // Only the image and the destination in the scratch directory.
    std::vector<std::string> top;
    for (const auto& entry : std::filesystem::directory_iterator(scratch))
      top.push_back(entry.path().filename().string());
    std::sort(top.begin(), top.end());
    EXPECT_TRUE(top == (std::vector<std::string>{"image.exe"}) ||
                top == (std::vector<std::string>{"image.exe", "out"}));
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.cp932));
    std::vector<std::string> unicodeFiles, unicodeBoxes;
    run(unicodeMember(c.name, u"", "dummy.txt"), unicodeFiles, unicodeBoxes);
    EXPECT_EQ(std::count(unicodeFiles.begin(), unicodeFiles.end(), "dummy.txt"), 0);
    if (c.cp932.empty()) {
      EXPECT_EQ(unicodeFiles, (std::vector<std::string>{"after", "a\u2215b"}));
      continue;
    }
    std::vector<std::string> cp932Files, cp932Boxes;
    run(fileMember(c.cp932, bytesOf("u"), '0'), cp932Files, cp932Boxes);
    EXPECT_EQ(unicodeFiles, cp932Files);
    EXPECT_EQ(unicodeBoxes, cp932Boxes);
  }
  posixDeviceNames = false;
}

}  // namespace
