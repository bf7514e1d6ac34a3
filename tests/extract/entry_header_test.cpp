// The level-2 member header reader: hostile headers end the pass before
// anything is written; the extended headers, names and time stamps of valid
// ones are taken over as the format defines them.
#include "extract/entry_header.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "extract/passes.h"
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

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

uint64_t fileTimeOfUnix(int64_t seconds) {
  return kUnixEpochAsFileTime + static_cast<uint64_t>(seconds) * 10000000ULL;
}

std::string box(int message, const std::string& shownPath) {
  return "\"" + shownPath + "\" " + loadMessage(message);
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class EntryHeaderTest : public SfxTest {
 protected:
  bool loadArchive(const std::vector<uint8_t>& archive) {
    testkit::SfxImageParts imageSpec;
    imageSpec.title = "Title";
    imageSpec.archive = archive;
    return loadImage(testkit::buildSfxImage(imageSpec));
  }

  // Reads the first header of an archive holding only m, as a pass would.
  HeaderResult readFirst(const Member& m, bool noFolders = false) {
    EXPECT_TRUE(loadArchive(testkit::buildArchive({m})));
    sfxState.noFolders = noFolders;
    EXPECT_TRUE(openArchive());
    const HeaderResult result = readEntryHeader();
    closeArchive();
    return result;
  }
};

// ---------------------------------------------------------------------------
// Hostile headers: each ends the Scan pass with its box; nothing is written,
// not even the valid member in front of it.

struct HostileCase {
  std::string name;
  std::function<std::vector<uint8_t>()> hostile;  // bytes after the valid first member
  int message;
};

Member withMethod(char method) { return fileMember("m.txt", bytesOf("data"), method); }

Member withMethodId(const std::string& id) {
  Member m = fileMember("m.txt", bytesOf("data"), '0');
  m.methodId = id;
  return m;
}

std::vector<uint8_t> member(const Member& m) { return concat(testkit::buildMember(m), {0}); }

std::vector<HostileCase> hostileCases() {
  std::vector<HostileCase> cases;
  auto add = [&](std::string name, Member m, int message) {
    cases.push_back({std::move(name), [m] { return member(m); }, message});
  };
  for (uint8_t level : {0, 1, 3}) {
    Member m = withMethod('5');
    m.level = level;
    add("level " + std::to_string(level), m, MSG_ARCHIVE_BROKEN);
  }
  {
    // The level is tested before the method.
    Member m = withMethod('x');
    m.level = 1;
    add("level 1 with an unknown method", m, MSG_ARCHIVE_BROKEN);
  }
  for (char method : {'1', '2', '3', '8', 'x', 'D', '\0'})
    add(std::string("method character ") + (method ? method : '0') + (method ? "" : " (zero byte)"),
        withMethod(method), MSG_UNSUPPORTED_METHOD);
  for (const char* id : {"-lz5-", "-pm0-", "xlh5-", "-lh5x", "-LH5-", "-lH5-", "--lh5"})
    add(std::string("method identifier ") + id, withMethodId(id), MSG_UNSUPPORTED_METHOD);

  for (uint16_t size : {1, 25}) {
    Member m = withMethod('5');
    m.headerSize = size;
    add("header size " + std::to_string(size), m, MSG_ARCHIVE_BROKEN);
  }
  // A size below the fixed part must not be read as a huge remainder.
  cases.push_back({"header size 25 with a long file behind it",
                   [] {
                     Member m = withMethod('5');
                     m.headerSize = 25;
                     return concat(member(m), std::vector<uint8_t>(70000, 0x55));
                   },
                   MSG_ARCHIVE_BROKEN});
  {
    Member m = withMethod('5');
    m.headerSize = 2000;  // more than the file holds
    add("header size past the end of the file", m, MSG_ARCHIVE_BROKEN);
  }
  for (uint16_t size : {1, 2}) {
    Member m = withMethod('5');
    m.extra.push_back(ExtHeader{0x7E, {}, size});
    add("extended header size " + std::to_string(size), m, MSG_ARCHIVE_BROKEN);
    Member first = withMethod('5');
    first.firstExtSize = size;
    add("first extended header size " + std::to_string(size), first, MSG_ARCHIVE_BROKEN);
  }
  {
    Member m = withMethod('5');
    m.firstExtSize = 0xFFF0;
    add("first extended header runs far past the header", m, MSG_ARCHIVE_BROKEN);
    Member last = withMethod('5');
    last.extra.push_back(ExtHeader{0x7E, {1, 2, 3}, 7});  // one byte more than it has
    add("last extended header one byte past the header", last, MSG_ARCHIVE_BROKEN);
  }
  {
    Member m = withMethod('5');
    m.crcRecord = false;
    add("no header CRC record", m, MSG_ARCHIVE_BROKEN);
    for (size_t length : {0, 1}) {
      Member shortCrc = withMethod('5');
      shortCrc.crcRecord = false;
      shortCrc.extra.push_back(ExtHeader{0x00, std::vector<uint8_t>(length, 0x12), {}});
      add("CRC record of " + std::to_string(length) + " data bytes", shortCrc, MSG_ARCHIVE_BROKEN);
    }
    Member wrong = withMethod('5');
    wrong.corruptHeaderCrc = true;
    add("wrong header CRC", wrong, MSG_ARCHIVE_BROKEN);
  }
  // Bytes altered after the CRC was computed: the time stamp, the name.
  for (size_t offset : {size_t{15}, size_t{32}}) {
    cases.push_back({"byte " + std::to_string(offset) + " altered",
                     [offset] {
                       auto bytes = member(withMethod('5'));
                       bytes[offset] ^= 0x20;
                       return bytes;
                     },
                     MSG_ARCHIVE_BROKEN});
  }
  add("file name of 1024 bytes", fileMember(std::string(1024, 'n'), bytesOf("x"), '0'),
      MSG_ARCHIVE_BROKEN);
  add("directory and file name of 1024 bytes",
      fileMember(std::string(500, 'f'), bytesOf("x"), '0', std::string(523, 'd')),
      MSG_ARCHIVE_BROKEN);
  for (size_t keep : {size_t{20}, size_t{30}}) {
    cases.push_back({"header cut after " + std::to_string(keep) + " bytes",
                     [keep] {
                       auto bytes = member(withMethod('5'));
                       bytes.resize(keep);
                       return bytes;
                     },
                     MSG_ARCHIVE_BROKEN});
  }
  cases.push_back({"no end marker", [] { return testkit::buildArchive({withMethod('5')}, false); },
                   MSG_ARCHIVE_BROKEN});
  return cases;
}

TEST_F(EntryHeaderTest, HostileHeadersEndThePassBeforeAnythingIsWritten) {
  for (const auto& c : hostileCases()) {
    SCOPED_TRACE(c.name);
    const auto archive =
        concat(testkit::buildMember(fileMember("first.txt", bytesOf("first"), '5')), c.hostile());
    ASSERT_TRUE(loadArchive(archive));
    scriptedHost.reset();
    setDestination();
    EXPECT_FALSE(scanAndExtract());
    EXPECT_EQ(sfxState.abortFlag, 1);
    ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
    EXPECT_EQ(scriptedHost.errorBoxes[0].text, box(c.message, imagePath));
    EXPECT_EQ(scriptedHost.errorBoxes[0].caption, "Title");
    EXPECT_FALSE(exists("out"));
  }
}

TEST_F(EntryHeaderTest, MissingEndMarkerIsBrokenAfterEarlierMembers) {
  ASSERT_TRUE(loadArchive(testkit::buildArchive(
      {fileMember("a.txt", bytesOf("aaa"), '5'), fileMember("b.txt", bytesOf("bbb"), '0')},
      false)));
  setDestination();
  EXPECT_FALSE(runExtraction(nullptr, MODE_EXTRACT));
  EXPECT_EQ(tree(), (std::vector<std::string>{"a.txt", "b.txt"}));
  EXPECT_EQ(contents("out/b.txt"), bytesOf("bbb"));
  ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
  EXPECT_EQ(scriptedHost.errorBoxes[0].text, box(MSG_ARCHIVE_BROKEN, imagePath));
}

TEST_F(EntryHeaderTest, EndMarkerEndsTheArchiveWhateverFollows) {
  auto archive = testkit::buildArchive({fileMember("a.txt", bytesOf("a"), '5')});
  archive.insert(archive.end(), {'j', 'u', 'n', 'k', 0xFF});
  ASSERT_TRUE(loadArchive(archive));
  setDestination();
  EXPECT_TRUE(scanAndExtract());
  EXPECT_EQ(tree(), (std::vector<std::string>{"a.txt"}));
  EXPECT_TRUE(scriptedHost.errorBoxes.empty());
}

// A header whose length is a multiple of 256 starts with a 0 byte. Other
// readers take it as the header it is, so it is one when it parses as a valid
// header; a 0 byte followed by anything else is the end.
TEST_F(EntryHeaderTest, HeaderSizeMultipleOf256IsReadAsThatHeader) {
  Member wide = fileMember(std::string(222, 'w'), bytesOf("wide"), '0');
  wide.avoidZeroLowByte = false;
  ASSERT_EQ(testkit::buildHeader(wide, wide.data).size(), 256u);
  ASSERT_TRUE(loadArchive(testkit::buildArchive(
      {fileMember("a.txt", bytesOf("aa"), '5'), wide, fileMember("c.txt", bytesOf("c"), '5')})));
  setDestination();
  EXPECT_TRUE(runExtraction(nullptr, MODE_SCAN));
  EXPECT_EQ(sfxState.progress.total, 7u);
  EXPECT_TRUE(scanAndExtract());
  EXPECT_EQ(tree(), (std::vector<std::string>{"a.txt", "c.txt", std::string(222, 'w')}));

  // The same header damaged is no header: the archive ends before it.
  wide.corruptHeaderCrc = true;
  ASSERT_TRUE(loadArchive(testkit::buildArchive(
      {fileMember("a.txt", bytesOf("aa"), '5'), wide, fileMember("c.txt", bytesOf("c"), '5')})));
  setDestination("out2");
  EXPECT_TRUE(runExtraction(nullptr, MODE_SCAN));
  EXPECT_EQ(sfxState.progress.total, 2u);
  EXPECT_TRUE(scriptedHost.errorBoxes.empty());
}

// ---------------------------------------------------------------------------
// Extended headers of valid members

TEST_F(EntryHeaderTest, AttributesRecordOnlyWithOsIdM) {
  struct Case {
    uint8_t osId;
    bool record;
    uint16_t expected;
  };
  const Case cases[] = {
      {'M', true, 0x0021}, {'U', true, 0x20}, {0, true, 0x20}, {'M', false, 0x20}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("osId ") + static_cast<char>(c.osId) + (c.record ? " with 0x40" : ""));
    Member m = fileMember("a", bytesOf("a"), '5');
    m.attribute = 0x20;
    m.osId = c.osId;
    if (c.record) m.extAttributes = 0x0021;
    ASSERT_EQ(readFirst(m), HEADER_OK);
    EXPECT_EQ(sfxState.entry.attributes, c.expected);
  }
}

TEST_F(EntryHeaderTest, UnixTimeBecomesTheLastWriteTime) {
  for (uint32_t t : {0u, 951782400u /* 2000-02-29 */, 1000000000u, 1700000000u, 0x7FFFFFFFu}) {
    SCOPED_TRACE(t);
    Member m = fileMember("a", bytesOf("a"), '5');
    m.unixTime = t;
    ASSERT_EQ(readFirst(m), HEADER_OK);
    EXPECT_EQ(sfxState.entry.lastWriteTime, fileTimeOfUnix(t));
  }
}

TEST_F(EntryHeaderTest, NegativeUnixTimeGivesTheCurrentTime) {
  for (uint32_t t : {0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(t);
    Member m = fileMember("a", bytesOf("a"), '5');
    m.unixTime = t;
    // std::time may read a coarser clock than the platform's, a tick behind
    // it: a second of margin on either side.
    const uint64_t before = fileTimeOfUnix(std::time(nullptr) - 1);
    ASSERT_EQ(readFirst(m), HEADER_OK);
    const uint64_t after = fileTimeOfUnix(std::time(nullptr) + 2);
    EXPECT_GE(sfxState.entry.lastWriteTime, before);
    EXPECT_LE(sfxState.entry.lastWriteTime, after);
  }
}

TEST_F(EntryHeaderTest, FileTimesRecordOverridesTheUnixTime) {
  Member m = fileMember("a", bytesOf("a"), '5');
  m.unixTime = 1000000000;
  m.fileTimes = std::array<uint64_t, 3>{111, 0x01D9E2F3A4B5C6D7ULL, 333};
  ASSERT_EQ(readFirst(m), HEADER_OK);
  EXPECT_EQ(sfxState.entry.lastWriteTime, 0x01D9E2F3A4B5C6D7ULL);
}

TEST_F(EntryHeaderTest, RepeatedRecordsTheLastWins) {
  Member m = fileMember("first.txt", bytesOf("a"), '5');
  m.osId = 'M';
  m.extAttributes = 0x01;
  m.fileTimes = std::array<uint64_t, 3>{0, fileTimeOfUnix(1), 0};
  ExtHeader name{testkit::kExtFileName, bytesOf("second.txt"), {}};
  ExtHeader attributes{testkit::kExtAttributes, {0x02, 0x00}, {}};
  ExtHeader times{testkit::kExtFileTimes, std::vector<uint8_t>(24, 0), {}};
  testkit::storeLe32(times.data.data() + 8, static_cast<uint32_t>(fileTimeOfUnix(2)));
  testkit::storeLe32(times.data.data() + 12, static_cast<uint32_t>(fileTimeOfUnix(2) >> 32));
  m.extra = {name, attributes, times};
  ASSERT_EQ(readFirst(m), HEADER_OK);
  EXPECT_STREQ(sfxState.memberName, "second.txt");
  EXPECT_EQ(sfxState.entry.attributes, 0x02);
  EXPECT_EQ(sfxState.entry.lastWriteTime, fileTimeOfUnix(2));
}

TEST_F(EntryHeaderTest, UnknownAndEmptyRecordsAreSkipped) {
  Member m = fileMember("a.txt", bytesOf("a"), '5');
  m.extra = {ExtHeader{0x7E, {}, {}}, ExtHeader{0x50, {1, 2, 3, 4}, {}}};
  m.crcRecordLast = true;
  ASSERT_EQ(readFirst(m), HEADER_OK);
  EXPECT_STREQ(sfxState.memberName, "a.txt");
}

// Sizes of 4 GiB and more come from record 0x42: the Scan pass counts the
// full size and skips the member by the 64-bit compressed size.
TEST_F(EntryHeaderTest, SixtyFourBitSizesReplaceTheFixedOnes) {
  const uint64_t huge = (5ULL << 30) + 17;
  Member big = fileMember("big.bin", bytesOf("abc"), '5');
  big.payload = bytesOf("abc");
  big.compressedSize32 = 0;  // wrong on purpose: only the 64-bit size is right
  big.uncompressedSize32 = 7;
  big.compressedSize64 = 3;
  big.uncompressedSize64 = huge;
  ASSERT_EQ(readFirst(big), HEADER_OK);
  EXPECT_EQ(sfxState.entry.compressedSize, 3u);
  EXPECT_EQ(sfxState.entry.uncompressedSize, huge);

  ASSERT_TRUE(loadArchive(testkit::buildArchive({big, fileMember("b.txt", bytesOf("xy"), '5')})));
  setDestination();
  sfxState.progress.total = 0;
  EXPECT_TRUE(runExtraction(nullptr, MODE_SCAN));
  EXPECT_EQ(sfxState.progress.total, huge + 2);
  EXPECT_TRUE(scriptedHost.errorBoxes.empty());
}

// ---------------------------------------------------------------------------
// Member names

TEST_F(EntryHeaderTest, MemberNameAssembly) {
  struct Case {
    const char* name;
    Member member;
    bool noFolders;
    std::string expected;
  };
  Member raw = fileMember("c\\d", bytesOf("x"), '5');
  raw.rawDir = std::string("a\\b\xFF");
  Member zero = fileMember("f", bytesOf("x"), '5');
  zero.rawDir = std::string("ab\0cd\xFF", 6);
  Member dirOnly = testkit::dirMember("x/y");
  Member noName = fileMember("", bytesOf("x"), '5');
  noName.forceNameRecord = true;
  const Case cases[] = {
      {"directory and file", fileMember("f.txt", bytesOf("x"), '5', "sub/deeper"), false,
       "sub/deeper/f.txt"},
      {"without folders", fileMember("f.txt", bytesOf("x"), '5', "sub/deeper"), true, "f.txt"},
      {"notice inside a folder", fileMember("!", bytesOf("x"), '5', "docs"), true, "!"},
      {"separators unified", raw, false, "a/b/c/d"},
      {"zero byte ends the name", zero, false, "ab"},
      {"directory member", dirOnly, false, "x/y/"},
      {"empty file name", noName, false, ""},
      // The folder is dropped before the length test.
      {"long folder dropped",
       fileMember(std::string(100, 'f'), bytesOf("x"), '5', std::string(200, 'd')), true,
       std::string(100, 'f')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(readFirst(c.member, c.noFolders), HEADER_OK);
    EXPECT_EQ(std::string(sfxState.memberName), c.expected);
  }
}

TEST_F(EntryHeaderTest, NamesUpTo1023BytesAreAccepted) {
  EXPECT_EQ(readFirst(fileMember(std::string(1023, 'n'), bytesOf("x"), '0')), HEADER_OK);
  EXPECT_EQ(std::strlen(sfxState.memberName), 1023u);
  EXPECT_EQ(readFirst(fileMember(std::string(1024, 'n'), bytesOf("x"), '0')), HEADER_FAILED);
  EXPECT_EQ(sfxState.abortFlag, 1);

  // 120 + 1 + 100 + 1 bytes of folders and 37 of file name, extracted.
  const std::string dir = std::string(120, 'd') + "/" + std::string(100, 'e');
  const std::string file = std::string(37, 'f');
  ASSERT_TRUE(loadArchive(testkit::buildArchive({fileMember(file, bytesOf("long"), '5', dir)})));
  setDestination();
  EXPECT_TRUE(scanAndExtract());
  EXPECT_EQ(std::strlen(sfxState.memberName), 259u);
  EXPECT_EQ(contents("out/" + dir + "/" + file), bytesOf("long"));
}

}  // namespace
