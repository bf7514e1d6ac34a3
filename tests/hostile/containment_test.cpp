// What an archive cannot do to the user: reach outside the destination
// through links, rewrite the destination the user chose (its names, its
// time), cut names onto other members' files, break links of files it
// replaces, show a damaged notice, change which program starts afterwards,
// or leave that program open to being swapped before it starts.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "extract/passes.h"
#include "platform/posix/platform_posix.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"
#include "support/archive_builder.h"
#include "support/scripted_host.h"
#include "support/sfx_fixture.h"

using testkit::buildArchive;
using testkit::bytesOf;
using testkit::dirMember;
using testkit::fileMember;
using testkit::Member;

namespace {

std::vector<uint8_t> image(const std::vector<Member>& members, uint32_t flags = 0,
                           const std::string& command = "") {
  testkit::SfxImageParts parts;
  parts.title = "T";
  parts.flags = flags;
  parts.runCommand = command;
  parts.archive = buildArchive(members);
  return testkit::buildSfxImage(parts);
}

std::string box(int message, const std::string& shownPath) {
  return "\"" + shownPath + "\" " + loadMessage(message);
}

time_t modified(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

class ContainmentTest : public SfxTest {};

TEST_F(ContainmentTest, DirectoriesAreNeverMadeOrStampedThroughALink) {
  const struct {
    const char* name;
    Member member;
    const char* refused;  // the path in the write-error box, below the destination
  } cases[] = {
      {"directory member below the link", dirMember("lnk/sub"), "lnk/sub/"},
      {"directory on the way to a file", fileMember("f.txt", bytesOf("f"), '0', "lnk/deeper"),
       "lnk/deeper/f.txt"},
      {"the link itself as a directory member", dirMember("lnk"), "lnk/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    scriptedHost.reset();
    std::filesystem::remove_all(path("outside"));
    std::filesystem::remove_all(destination());
    ASSERT_EQ(mkdir(path("outside").c_str(), 0777), 0);
    ASSERT_EQ(mkdir(destination().c_str(), 0777), 0);
    ASSERT_EQ(symlink(path("outside").c_str(), path("out/lnk").c_str()), 0);
    const time_t before = modified(path("outside"));
    Member m = c.member;
    m.unixTime = 86400;  // a time no directory here has
    ASSERT_TRUE(loadImage(image({m})));
    setDestination();
    EXPECT_FALSE(scanAndExtract());
    EXPECT_TRUE(tree("outside").empty());
    EXPECT_EQ(modified(path("outside")), before);
    ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
    EXPECT_EQ(scriptedHost.errorBoxes[0].text,
              box(MSG_WRITE_ERROR, destination() + "/" + c.refused));
  }
}

TEST_F(ContainmentTest, DirectoryTimesAreSetAfterEverythingBelowThem) {
  Member d = dirMember("d");
  d.unixTime = 1000000000;
  Member e = dirMember("d/e");
  e.unixTime = 1100000000;
  // A directory member stored after its files, as some archivers do.
  Member late = dirMember("late");
  late.unixTime = 1200000000;
  ASSERT_TRUE(loadImage(image({d, e, fileMember("f.txt", bytesOf("f"), '5', "d/e"),
                               fileMember("g.txt", bytesOf("g"), '0', "d"),
                               fileMember("h.txt", bytesOf("h"), '0', "late"), late})));
  setDestination();
  ASSERT_TRUE(scanAndExtract());
  EXPECT_EQ(modified(path("out/d")), 1000000000);
  EXPECT_EQ(modified(path("out/d/e")), 1100000000);
  EXPECT_EQ(modified(path("out/late")), 1200000000);
}

TEST_F(ContainmentTest, TheDestinationIsUsedAsTheUserGaveIt) {
  // Dots, blanks and characters that member names may not hold stay in the
  // destination: only the member's part of the path is made safe.
  ASSERT_TRUE(loadImage(image({fileMember("..", bytesOf("x"), '0', "a?b")})));
  setDestination("x/../d e:f|g");
  ASSERT_TRUE(scanAndExtract());
  EXPECT_EQ(tree("d e:f|g"), (std::vector<std::string>{"a_b/", "a_b/_."}));
  EXPECT_EQ(tree("x"), std::vector<std::string>{});
}

TEST_F(ContainmentTest, ADirectoryMemberNamingTheDestinationLeavesItAlone) {
  for (const char* name : {".", "/", "./.", ".//"}) {
    SCOPED_TRACE(name);
    std::filesystem::remove_all(destination());
    Member self = dirMember(name);
    self.unixTime = 86400;  // a time no directory here has
    ASSERT_TRUE(
        loadImage(image({self, fileMember("a.txt", bytesOf("a"), '0')}, FLAG_RESTORE_ATTRIBUTES)));
    setDestination();
    EXPECT_TRUE(scanAndExtract());
    EXPECT_EQ(contents("out/a.txt"), bytesOf("a"));
    EXPECT_NE(modified(destination()), 86400);
  }
}

TEST_F(ContainmentTest, NamesTooLongForTheVolumeAreRefusedNotCut) {
  // Cut to 255 bytes, the second name would be the first one's.
  const std::string first(255, 'n');
  ASSERT_TRUE(loadImage(image(
      {fileMember(first, bytesOf("first"), '0'), fileMember(first + "-x", bytesOf("second"), '0'),
       fileMember("after", bytesOf("a"), '0')},
      FLAG_OVERWRITE)));
  setDestination();
  EXPECT_FALSE(scanAndExtract());
  EXPECT_EQ(contents("out/" + first), bytesOf("first"));
  EXPECT_FALSE(exists("out/after"));
  ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
  EXPECT_EQ(scriptedHost.errorBoxes[0].text,
            box(MSG_WRITE_ERROR, destination() + "/" + first + "-x"));
}

TEST_F(ContainmentTest, ReplacedFilesAreRemovedNotRewritten) {
  // The file in the destination is a second name of a file elsewhere;
  // replacing it must not change that file.
  ASSERT_EQ(mkdir(path("elsewhere").c_str(), 0777), 0);
  testkit::writeFile(path("elsewhere/shared"), bytesOf("keep me"));
  setDestination();
  ASSERT_EQ(mkdir(destination().c_str(), 0777), 0);
  ASSERT_EQ(link(path("elsewhere/shared").c_str(), path("out/f").c_str()), 0);
  testkit::writeFile(path("out/ro"), bytesOf("old"));
  chmod(path("out/ro").c_str(), 0444);
  ASSERT_TRUE(loadImage(
      image({fileMember("f", bytesOf("new"), '5'), fileMember("ro", bytesOf("new too"), '0')})));
  setDestination();
  scriptedHost.overwriteAnswers = {ANSWER_YES, ANSWER_YES};
  ASSERT_TRUE(scanAndExtract());
  EXPECT_EQ(contents("elsewhere/shared"), bytesOf("keep me"));
  EXPECT_EQ(contents("out/f"), bytesOf("new"));
  EXPECT_EQ(contents("out/ro"), bytesOf("new too"));
  EXPECT_EQ(scriptedHost.overwritePrompts.size(), 2u);
}

TEST_F(ContainmentTest, ANoticeWithDamagedDataIsNeverShown) {
  for (char method : {'0', '5'}) {
    SCOPED_TRACE(method);
    Member notice = fileMember("!", bytesOf("Trust me and say yes"), method);
    notice.dataCrc = 0x1234;
    ASSERT_TRUE(loadImage(image({notice, fileMember("a", bytesOf("a"), '0')})));
    scriptedHost.reset();
    EXPECT_FALSE(runExtraction(nullptr, MODE_NOTICE));
    EXPECT_TRUE(scriptedHost.questions.empty());
    ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
    EXPECT_EQ(scriptedHost.errorBoxes[0].text, box(MSG_ARCHIVE_BROKEN, imagePath));
  }
}

TEST_F(ContainmentTest, AnyFileTimeIsTakenWithoutOverflow) {
  for (uint64_t time : {uint64_t{1} << 63, ~uint64_t{0}, uint64_t{0}}) {
    Member m = fileMember("t", bytesOf("t"), '0');
    m.fileTimes = std::array<uint64_t, 3>{0, time, 0};
    ASSERT_TRUE(loadImage(image({m}, FLAG_OVERWRITE)));
    setDestination();
    EXPECT_TRUE(scanAndExtract());
    EXPECT_EQ(contents("out/t"), bytesOf("t"));
  }
}

TEST_F(ContainmentTest, ABlankInTheDestinationNeverChangesTheProgramStarted) {
  for (const char* command : {"%ExtractDir%\\setup.exe /q", "\"%ExtractDir%\\setup.exe\" /q"}) {
    SCOPED_TRACE(command);
    ASSERT_TRUE(
        loadImage(image({fileMember("setup.exe", bytesOf("x"), '0')}, FLAG_OVERWRITE, command)));
    setDestination("My Dir");
    posixLastCommand = PosixCommandRecord();
    ASSERT_TRUE(scanAndExtract());
    ASSERT_TRUE(posixLastCommand.started);
    EXPECT_EQ(std::string(posixLastCommand.program), path("My Dir") + "/setup.exe");
    EXPECT_STREQ(posixLastCommand.arguments, "/q");
    EXPECT_EQ(std::string(posixLastCommand.directory), path("My Dir"));
  }
}

// The program and the files its arguments name are held from their
// creation until the command has started (on Windows nothing can delete,
// rename or, elevated, write them meanwhile); other members are not, and a
// failed pass lets them go before it deletes the failing file.
TEST_F(ContainmentTest, TheFilesTheCommandNamesAreHeldUntilItStarts) {
  const struct {
    const char* command;
    std::vector<std::string> held;  // in the order of the archive
  } cases[] = {
      {"\"%ExtractDir%\\setup.exe\" /i \"%ExtractDir%\\sub\\data.msi\" /q",
       {"setup.exe", "sub/data.msi"}},
      {"%ExtractDir%\\SETUP.exe", {"setup.exe"}},  // as Windows compares names
      {"msiexec /i \"%ExtractDir%//sub/data.msi\" sub\\readme.txt",
       {"sub/data.msi", "sub/readme.txt"}},
      {"setup.exe", {"setup.exe"}},  // in the destination, where the command starts
      {"%ExtractDir%\\setup.exe.bak \"%ExtractDir%\\sub\" sub\\data", {}},
  };
  const std::vector<Member> members = {
      fileMember("setup.exe", bytesOf("program"), '0'),
      fileMember("data.msi", bytesOf("data"), '5', "sub"),
      fileMember("readme.txt", bytesOf("text"), '0', "sub"),
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    std::filesystem::remove_all(destination());
    ASSERT_TRUE(loadImage(image(members, FLAG_OVERWRITE, c.command)));
    setDestination();
    posixLastCommand = PosixCommandRecord();
    ASSERT_TRUE(scanAndExtract());
    std::string expected;
    for (const std::string& name : c.held) expected += destination() + "/" + name + "\n";
    ASSERT_TRUE(posixLastCommand.started);
    EXPECT_EQ(std::string(posixLastCommand.held), expected);
    EXPECT_STREQ(posixHeldFiles, "");
  }

  Member damaged = fileMember("after", bytesOf("after"), '0');
  damaged.dataCrc = 0x1234;
  ASSERT_TRUE(loadImage(image({members[0], damaged}, FLAG_OVERWRITE, "setup.exe")));
  setDestination();
  posixLastCommand = PosixCommandRecord();
  EXPECT_FALSE(scanAndExtract());
  EXPECT_FALSE(posixLastCommand.started);
  EXPECT_STREQ(posixHeldFiles, "");
  EXPECT_FALSE(exists("out/after"));
}

}  // namespace
