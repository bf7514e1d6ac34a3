// The passes over whole self-extracting images, with the scripted host.
#include "extract/passes.h"

#include <sys/stat.h>

#include <cstring>

#include "platform/posix/platform_posix.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"
#include "support/archive_builder.h"
#include "support/scripted_host.h"
#include "support/sfx_fixture.h"

using testkit::buildArchive;
using testkit::buildSfxImage;
using testkit::dirMember;
using testkit::fileMember;
using testkit::Member;
using testkit::SfxImageParts;

namespace {

std::vector<uint8_t> bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<uint8_t> pattern(size_t size, uint32_t seed = 1) {
  std::vector<uint8_t> out(size);
  uint32_t x = seed;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    // Mostly text-like with repeats, so the encoder finds matches.
    out[i] = static_cast<uint8_t>((i % 97 < 60) ? 'a' + (i / 7 + (x >> 28)) % 20 : x >> 24);
  }
  return out;
}

std::vector<uint8_t> image(const std::vector<Member>& members, uint32_t flags = 0,
                           const std::string& command = "") {
  SfxImageParts imageSpec;
  imageSpec.title = "Test title";
  imageSpec.flags = flags;
  imageSpec.runCommand = command;
  imageSpec.archive = buildArchive(members);
  return buildSfxImage(imageSpec);
}

std::string box(int message, const std::string& shownPath) {
  return "\"" + shownPath + "\" " + loadMessage(message);
}

}  // namespace

class PassTest : public SfxTest {};

TEST_F(PassTest, NoticeAnsweredYesShowsTextAndExtractionWritesEverything) {
  Member notice = fileMember("!", bytes(cp932("お知らせ: please read")), '5');
  auto data = pattern(200000);
  ASSERT_TRUE(loadImage(image({notice, dirMember("docs"), fileMember("a.bin", data, '7', "docs"),
                               fileMember("empty.txt", {}, '0')})));
  scriptedHost.yesNoAnswers = {true};
  EXPECT_TRUE(runExtraction(nullptr, MODE_NOTICE));
  ASSERT_EQ(scriptedHost.questions.size(), 1u);
  EXPECT_EQ(scriptedHost.questions[0].text, cp932("お知らせ: please read"));
  EXPECT_EQ(scriptedHost.questions[0].caption, "Test title");
  EXPECT_FALSE(scriptedHost.questions[0].owned);

  setDestination();
  EXPECT_TRUE(scanAndExtract());
  EXPECT_TRUE(scriptedHost.errorBoxes.empty());
  EXPECT_EQ(tree(), (std::vector<std::string>{"docs/", "docs/a.bin", "empty.txt"}));
  EXPECT_EQ(contents("out/docs/a.bin"), data);
  EXPECT_TRUE(contents("out/empty.txt").empty());
  // The progress reached 100 and the status line named each member.
  ASSERT_FALSE(scriptedHost.progress.empty());
  EXPECT_EQ(scriptedHost.progress.back(), 100);
  EXPECT_NE(std::find(scriptedHost.statusLines.begin(), scriptedHost.statusLines.end(),
                      cp932("解凍中: docs/a.bin")),
            scriptedHost.statusLines.end());
  EXPECT_NE(std::find(scriptedHost.statusLines.begin(), scriptedHost.statusLines.end(),
                      cp932("検査中: !")),
            scriptedHost.statusLines.end());
}

TEST_F(PassTest, NoticeAnsweredNoFailsThePass) {
  ASSERT_TRUE(
      loadImage(image({fileMember("!", bytes("read me"), '0'), fileMember("a", bytes("x"))})));
  scriptedHost.yesNoAnswers = {false};
  EXPECT_FALSE(runExtraction(nullptr, MODE_NOTICE));
  EXPECT_EQ(scriptedHost.questions.size(), 1u);
  EXPECT_TRUE(scriptedHost.errorBoxes.empty());
}

TEST_F(PassTest, NoticePassWithoutNoticeAsksNothing) {
  ASSERT_TRUE(loadImage(image({fileMember("a", bytes("x")), fileMember("!", bytes("late"))})));
  EXPECT_TRUE(runExtraction(nullptr, MODE_NOTICE));
  EXPECT_TRUE(scriptedHost.questions.empty());
  // A late "!" member is never shown and never written.
  setDestination();
  EXPECT_TRUE(scanAndExtract());
  EXPECT_EQ(tree(), (std::vector<std::string>{"a"}));
}

TEST_F(PassTest, NoticeTextIsCutAt1023BytesAndAtAZeroByte) {
  std::vector<uint8_t> longText(3000, 'n');
  ASSERT_TRUE(loadImage(image({fileMember("!", longText, '5')})));
  EXPECT_TRUE(runExtraction(nullptr, MODE_NOTICE));
  ASSERT_EQ(scriptedHost.questions.size(), 1u);
  EXPECT_EQ(scriptedHost.questions[0].text, std::string(1023, 'n'));

  scriptedHost.reset();
  ASSERT_TRUE(loadImage(image({fileMember("!", bytes(std::string("one\0two", 7)), '0')})));
  EXPECT_TRUE(runExtraction(nullptr, MODE_NOTICE));
  EXPECT_EQ(scriptedHost.questions.at(0).text, "one");
}

TEST_F(PassTest, DamagedNoticeFailsWithItsBoxAndNoQuestion) {
  Member notice = fileMember("!", bytes("text"), '5');
  notice.corruptHeaderCrc = true;
  ASSERT_TRUE(loadImage(image({notice})));
  EXPECT_FALSE(runExtraction(nullptr, MODE_NOTICE));
  EXPECT_TRUE(scriptedHost.questions.empty());
  ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
  EXPECT_EQ(scriptedHost.errorBoxes[0].text, box(MSG_ARCHIVE_BROKEN, imagePath));
  EXPECT_FALSE(scriptedHost.errorBoxes[0].owned);
}

TEST_F(PassTest, TimeStampsAndAttributesAreRestored) {
  Member a = fileMember("ro.txt", bytes("read only"), '0');
  a.unixTime = 1000000000;  // 2001-09-09 01:46:40 UTC
  a.extAttributes = 0x01;   // read-only, honoured because osId is 'M'
  Member b = fileMember("plain.txt", bytes("plain"), '5');
  b.fileTimes = std::array<uint64_t, 3>{0, 116444736000000000ULL + 1234567890ULL * 10000000ULL, 0};
  ASSERT_TRUE(loadImage(image({a, b}, FLAG_RESTORE_ATTRIBUTES)));
  setDestination();
  ASSERT_TRUE(scanAndExtract());
  struct stat st;
  ASSERT_EQ(stat(path("out/ro.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1000000000);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  ASSERT_EQ(stat(path("out/plain.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1234567890);
  EXPECT_NE(st.st_mode & 0200, 0u);
}

namespace {

struct OverwriteCase {
  const char* name;
  std::vector<int> answers;
  bool result;
  const char* first;   // contents of a.txt afterwards
  const char* second;  // contents of b.txt afterwards
  size_t questions;
};

}  // namespace

class OverwriteTest : public SfxTest, public ::testing::WithParamInterface<OverwriteCase> {};

TEST_P(OverwriteTest, AnswersDecideEachExistingFile) {
  const OverwriteCase& c = GetParam();
  ASSERT_TRUE(loadImage(
      image({fileMember("a.txt", bytes("new a"), '5'), fileMember("b.txt", bytes("new b"), '0')})));
  setDestination();
  ASSERT_EQ(mkdir(destination().c_str(), 0777), 0);
  testkit::writeFile(path("out/a.txt"), bytes("old a"));
  testkit::writeFile(path("out/b.txt"), bytes("old b"));
  chmod(path("out/b.txt").c_str(), 0444);  // read-only targets are replaced too
  scriptedHost.overwriteAnswers.assign(c.answers.begin(), c.answers.end());
  EXPECT_EQ(scanAndExtract(), c.result);
  EXPECT_EQ(contents("out/a.txt"), bytes(c.first));
  EXPECT_EQ(contents("out/b.txt"), bytes(c.second));
  EXPECT_EQ(scriptedHost.overwritePrompts.size(), c.questions);
  EXPECT_EQ(scriptedHost.overwritePrompts.at(0), path("out/a.txt"));
  EXPECT_TRUE(scriptedHost.errorBoxes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, OverwriteTest,
    ::testing::Values(OverwriteCase{"YesYes", {ANSWER_YES, ANSWER_YES}, true, "new a", "new b", 2},
                      OverwriteCase{"NoYes", {ANSWER_NO, ANSWER_YES}, true, "old a", "new b", 2},
                      OverwriteCase{"All", {ID_OVERWRITE_ALL}, true, "new a", "new b", 1},
                      OverwriteCase{"Cancel", {ANSWER_CANCEL}, false, "old a", "old b", 1},
                      OverwriteCase{
                          "YesCancel", {ANSWER_YES, ANSWER_CANCEL}, false, "new a", "old b", 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PassTest, OverwriteFlagReplacesWithoutAsking) {
  ASSERT_TRUE(loadImage(image({fileMember("a.txt", bytes("new"), '0')}, FLAG_OVERWRITE)));
  setDestination();
  mkdir(destination().c_str(), 0777);
  testkit::writeFile(path("out/a.txt"), bytes("old"));
  chmod(path("out/a.txt").c_str(), 0444);
  EXPECT_TRUE(scanAndExtract());
  EXPECT_TRUE(scriptedHost.overwritePrompts.empty());
  EXPECT_EQ(contents("out/a.txt"), bytes("new"));
}

TEST_F(PassTest, CancelDuringScanWritesNothing) {
  ASSERT_TRUE(loadImage(image(
      {fileMember("a", bytes("1")), fileMember("b", bytes("2")), fileMember("c", bytes("3"))})));
  setDestination();
  scriptedHost.onPump = [](int n) {
    if (n == 2) sfxState.cancelRequested = 1;
  };
  EXPECT_FALSE(scanAndExtract());
  EXPECT_FALSE(exists("out"));
  EXPECT_TRUE(scriptedHost.errorBoxes.empty());
}

TEST_F(PassTest, CancelDuringExtractDeletesOnlyThePartialFile) {
  auto big = pattern(300000, 7);
  ASSERT_TRUE(
      loadImage(image({fileMember("first.txt", bytes("kept"), '5'), fileMember("big.bin", big, '6'),
                       fileMember("last.txt", bytes("never"))})));
  setDestination();
  int scanPumps = 3;
  scriptedHost.onPump = [&](int n) {
    // Cancel at the second pump of the Extract pass: inside big.bin.
    if (n == scanPumps + 2) sfxState.cancelRequested = 1;
  };
  EXPECT_FALSE(scanAndExtract());
  EXPECT_EQ(tree(), (std::vector<std::string>{"first.txt"}));
  EXPECT_TRUE(scriptedHost.errorBoxes.empty());
}

TEST_F(PassTest, DataCrcMismatchDeletesTheFileAndStops) {
  Member bad = fileMember("bad.txt", bytes("damaged data here"), '5');
  bad.dataCrc = 0x1234;
  ASSERT_TRUE(loadImage(image(
      {fileMember("good.txt", bytes("ok"), '5'), bad, fileMember("after.txt", bytes("after"))})));
  setDestination();
  EXPECT_FALSE(scanAndExtract());
  EXPECT_EQ(tree(), (std::vector<std::string>{"good.txt"}));
  ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
  EXPECT_EQ(scriptedHost.errorBoxes[0].text, box(MSG_ARCHIVE_BROKEN, destination() + "/bad.txt"));
  EXPECT_EQ(scriptedHost.errorBoxes[0].caption, "Test title");
  EXPECT_TRUE(scriptedHost.errorBoxes[0].owned);
}

TEST_F(PassTest, BrokenHeaderStopsBeforeAnythingIsWritten) {
  Member broken = fileMember("c.txt", bytes("c"));
  broken.corruptHeaderCrc = true;
  ASSERT_TRUE(
      loadImage(image({fileMember("a.txt", bytes("a")), fileMember("b.txt", bytes("b")), broken})));
  setDestination();
  EXPECT_FALSE(scanAndExtract());
  EXPECT_FALSE(exists("out"));
  ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
  EXPECT_EQ(scriptedHost.errorBoxes[0].text, box(MSG_ARCHIVE_BROKEN, imagePath));
}

TEST_F(PassTest, UnreadableImageAndBadOffsetAreReported) {
  ASSERT_TRUE(loadImage(image({fileMember("a", bytes("a"))})));
  setDestination();
  sfxState.config.archiveOffset = 0x80000000u;  // beyond the signed 32-bit range
  EXPECT_FALSE(runExtraction(nullptr, MODE_SCAN));
  EXPECT_EQ(scriptedHost.errorBoxes.at(0).text, box(MSG_ARCHIVE_BROKEN, imagePath));
  std::strcpy(sfxState.selfPath, path("missing.exe").c_str());
  EXPECT_FALSE(runExtraction(nullptr, MODE_SCAN));
  EXPECT_EQ(scriptedHost.errorBoxes.at(1).text, box(MSG_READ_ERROR, path("missing.exe")));
}

TEST_F(PassTest, EndMarkerOnlyArchiveSucceedsAndStillRunsTheCommand) {
  ASSERT_TRUE(loadImage(image({}, 0, "\"%ExtractDir%\\setup.exe\" /q")));
  setDestination();
  EXPECT_TRUE(runExtraction(nullptr, MODE_NOTICE));
  EXPECT_TRUE(scanAndExtract());
  ASSERT_TRUE(posixLastCommand.started);
  EXPECT_EQ(std::string(posixLastCommand.program), destination() + "/setup.exe");
  EXPECT_STREQ(posixLastCommand.arguments, "/q");
  EXPECT_EQ(std::string(posixLastCommand.directory), destination());
}

TEST_F(PassTest, CommandDoesNotRunAfterFailureOrWithAutoRunOff) {
  Member bad = fileMember("bad", bytes("x"));
  bad.dataCrc = 1;
  ASSERT_TRUE(loadImage(image({bad}, 0, "setup.exe")));
  setDestination();
  EXPECT_FALSE(scanAndExtract());
  EXPECT_FALSE(posixLastCommand.started);

  ASSERT_TRUE(loadImage(image({fileMember("a", bytes("x"))}, 0, "setup.exe")));
  setDestination();
  sfxState.autoRun = 0;
  EXPECT_TRUE(scanAndExtract());
  EXPECT_FALSE(posixLastCommand.started);
  sfxState.autoRun = 1;
  scriptedHost.overwriteAnswers = {ANSWER_YES};  // "a" is there from the run before
  EXPECT_TRUE(scanAndExtract());
  EXPECT_TRUE(posixLastCommand.started);
  EXPECT_STREQ(posixLastCommand.program, "setup.exe");
  EXPECT_STREQ(posixLastCommand.arguments, "");
}

TEST_F(PassTest, WriteFailureDeletesThePartialFileAndKeepsEarlierOnes) {
  auto big = pattern(200000, 3);
  ASSERT_TRUE(loadImage(image({fileMember("first", bytes("first"), '5'),
                               fileMember("big", big, '5'), fileMember("last", bytes("last"))},
                              0, "setup.exe")));
  setDestination();
  posixFailWriteAfter = 3;  // first's only write, then big's first window, then fail
  EXPECT_FALSE(scanAndExtract());
  EXPECT_EQ(tree(), (std::vector<std::string>{"first"}));
  EXPECT_EQ(contents("out/first"), bytes("first"));
  ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u);
  EXPECT_EQ(scriptedHost.errorBoxes[0].text, box(MSG_WRITE_ERROR, destination() + "/big"));
  EXPECT_FALSE(posixLastCommand.started);
}

TEST_F(PassTest, TruncatedImageGivesReadErrorAndRemovesThePartialFile) {
  for (char method : {'0', '5'}) {
    auto data = pattern(150000, 5);
    Member m = fileMember("t.bin", data, method);
    std::vector<uint8_t> archive = buildArchive({fileMember("ok", bytes("ok")), m});
    archive.resize(archive.size() - 20000);  // cut inside t.bin's data
    SfxImageParts imageSpec;
    imageSpec.archive = archive;
    ASSERT_TRUE(loadImage(buildSfxImage(imageSpec)));
    scriptedHost.reset();
    setDestination(std::string("out") + method);
    // The Scan pass would find the missing end; the image is cut after it.
    EXPECT_FALSE(runExtraction(nullptr, MODE_EXTRACT));
    EXPECT_EQ(tree(std::string("out") + method), (std::vector<std::string>{"ok"})) << method;
    ASSERT_EQ(scriptedHost.errorBoxes.size(), 1u) << method;
    // Stored data fails its read; compressed data runs out and is refused
    // once the decoder asks for more than the file holds.
    EXPECT_EQ(scriptedHost.errorBoxes[0].text, box(MSG_READ_ERROR, imagePath)) << method;
  }
}

TEST_F(PassTest, OutputThatCannotBeCreatedEndsThePass) {
  ASSERT_TRUE(loadImage(image(
      {fileMember("a", bytes("a")), fileMember("dir", bytes("x")), fileMember("z", bytes("z"))},
      FLAG_OVERWRITE)));
  setDestination();
  mkdir(destination().c_str(), 0777);
  mkdir(path("out/dir").c_str(), 0777);
  EXPECT_FALSE(scanAndExtract());
  EXPECT_EQ(tree(), (std::vector<std::string>{"a", "dir/"}));
  EXPECT_EQ(scriptedHost.errorBoxes.at(0).text, box(MSG_WRITE_ERROR, destination() + "/dir"));
}

TEST_F(PassTest, HugeSizeWithTinyDataIsBrokenNotADiskFiller) {
  Member m = fileMember("huge.bin", bytes("tiny"), '5');
  m.uncompressedSize64 = 1ULL << 40;  // a terabyte from a few bytes
  ASSERT_TRUE(loadImage(image({fileMember("before", bytes("b")), m})));
  setDestination();
  EXPECT_FALSE(scanAndExtract());
  EXPECT_EQ(tree(), (std::vector<std::string>{"before"}));
  EXPECT_EQ(scriptedHost.errorBoxes.at(0).text, box(MSG_ARCHIVE_BROKEN, imagePath));
}

TEST_F(PassTest, HostileNamesStayInsideTheDestination) {
  std::vector<Member> members;
  for (const char* name : {"../escape1", "/abs2", "C:evil3", "..\\..\\escape4", "a/../../escape5"})
    members.push_back(fileMember(name, bytes(name), '0'));
  members.push_back(fileMember("escape6", bytes("dir"), '0', "../../"));
  ASSERT_TRUE(loadImage(image(members)));
  setDestination("deep/out");
  ASSERT_TRUE(scanAndExtract());
  for (const auto& entry : tree("deep/out"))
    EXPECT_EQ(entry.find(".."), std::string::npos) << entry;
  // Nothing appeared next to or above the destination.
  EXPECT_EQ(tree("deep"), (std::vector<std::string>{
                              "out/", "out/C_evil3", "out/_./", "out/_./_./", "out/_./_./escape4",
                              "out/_./_./escape6", "out/_./escape1", "out/a/", "out/a/_./",
                              "out/a/_./_./", "out/a/_./_./escape5", "out/abs2"}));
}

TEST_F(PassTest, NoFoldersDropsDirectoryNames) {
  ASSERT_TRUE(
      loadImage(image({dirMember("sub"), fileMember("f.txt", bytes("f"), '5', "sub/deeper")})));
  setDestination();
  sfxState.noFolders = 1;
  EXPECT_TRUE(scanAndExtract());
  EXPECT_EQ(tree(), (std::vector<std::string>{"f.txt"}));
}

TEST_F(PassTest, ShiftJisNameWithBackslashTrailByteIsOneName) {
  std::string name = cp932("表") + ".txt";  // 0x95 0x5C
  ASSERT_EQ(name[1], '\\');
  ASSERT_TRUE(loadImage(image({fileMember(name, bytes("hyou"), '5', cp932("ソ"))})));
  setDestination();
  EXPECT_TRUE(scanAndExtract());
  EXPECT_EQ(tree(), (std::vector<std::string>{"ソ/", "ソ/表.txt"}));
}

TEST_F(PassTest, TestModeChecksEveryMemberWithoutWriting) {
  Member bad = fileMember("bad", bytes("content"), '6');
  bad.dataCrc = 7;
  ASSERT_TRUE(loadImage(image({fileMember("good", pattern(70000), '7'), bad})));
  setDestination();
  EXPECT_FALSE(runTestPass(nullptr));
  EXPECT_FALSE(exists("out"));
  EXPECT_EQ(scriptedHost.errorBoxes.at(0).text, box(MSG_ARCHIVE_BROKEN, "bad"));
}

TEST_F(PassTest, DeviceNamesAreDefusedWhereTheSystemHasThem) {
  posixDeviceNames = true;
  ASSERT_TRUE(loadImage(
      image({fileMember("con.txt", bytes("c"), '0', "aux"), fileMember("NUL", bytes("n"))})));
  setDestination();
  EXPECT_TRUE(scanAndExtract());
  EXPECT_EQ(tree(), (std::vector<std::string>{"_NUL", "_aux/", "_aux/_con.txt"}));

  // Defusing grows the path; a path that would no longer fit is refused.
  std::string deep;
  while (deep.size() + 4 < 1000) deep += "con/";
  ASSERT_TRUE(loadImage(image({fileMember("x", bytes("x"), '0', deep)})));
  std::string longDestination = "out2";
  for (int i = 0; i < 4; ++i) longDestination += "/" + std::string(200, 'd');
  setDestination(longDestination);
  EXPECT_FALSE(scanAndExtract());
  EXPECT_FALSE(exists("out2"));
  ASSERT_FALSE(scriptedHost.errorBoxes.empty());
  EXPECT_EQ(scriptedHost.errorBoxes.back().text, box(MSG_ARCHIVE_BROKEN, imagePath));
  posixDeviceNames = false;
}

TEST_F(PassTest, LinksInsideTheDestinationAreNeverFollowed) {
  ASSERT_EQ(mkdir(path("outside").c_str(), 0777), 0);
  testkit::writeFile(path("outside/victim"), bytes("precious"));
  setDestination();
  ASSERT_EQ(mkdir(destination().c_str(), 0777), 0);
  // A link in the place of a file is replaced, its target left alone.
  ASSERT_EQ(symlink(path("outside/victim").c_str(), path("out/victim").c_str()), 0);
  ASSERT_TRUE(loadImage(image({fileMember("victim", bytes("new"), '0')}, FLAG_OVERWRITE)));
  setDestination();
  EXPECT_TRUE(scanAndExtract());
  EXPECT_EQ(contents("outside/victim"), bytes("precious"));
  EXPECT_EQ(contents("out/victim"), bytes("new"));

  // A link in the place of a directory stops the member with a write error.
  ASSERT_EQ(symlink(path("outside").c_str(), path("out/dir").c_str()), 0);
  ASSERT_TRUE(loadImage(image({fileMember("planted", bytes("evil"), '0', "dir")})));
  setDestination();
  scriptedHost.reset();
  EXPECT_FALSE(scanAndExtract());
  EXPECT_FALSE(exists("outside/planted"));
  EXPECT_EQ(scriptedHost.errorBoxes.at(0).text,
            box(MSG_WRITE_ERROR, destination() + "/dir/planted"));
}

TEST_F(PassTest, StartedCommandRunsInTheDestinationWithItsArguments) {
  // The program comes out of the archive itself, its name with a quote.
  std::string script = "#!/bin/sh\npwd > ran.txt\necho \"$#:$1:$2\" >> ran.txt\n";
  ASSERT_TRUE(loadImage(
      image({fileMember("it's.sh", bytes(script), '0')}, 0, "\"%ExtractDir%\\it's.sh\" one two")));
  setDestination();
  posixRunCommands = true;
  bool ok = scanAndExtract();
  posixRunCommands = false;
  ASSERT_TRUE(ok);
  EXPECT_EQ(std::string(posixLastCommand.arguments), "one two");
  // The member was extracted without the execute bit: run it through sh.
  EXPECT_FALSE(exists("out/ran.txt"));
  chmod(path("out/it's.sh").c_str(), 0755);
  posixRunCommands = true;
  scriptedHost.overwriteAnswers = {ANSWER_NO};
  ASSERT_TRUE(loadImage(
      image({fileMember("it's.sh", bytes(script), '0')}, 0, "\"%ExtractDir%\\it's.sh\" one two")));
  setDestination();
  ok = scanAndExtract();
  posixRunCommands = false;
  ASSERT_TRUE(ok);
  auto ran = contents("out/ran.txt");
  EXPECT_EQ(std::string(ran.begin(), ran.end()), destination() + "\n2:one:two\n");
}
