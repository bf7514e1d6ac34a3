// The runner as a user meets it: every view of an archive (l, t, x) walks the
// same members; the destination and the image are the user's own paths; the
// archive can neither answer its own questions nor drive the terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "startup/config_block.h"
#include "support/archive_builder.h"
#include "support/sfx_image.h"
#include "support/shell.h"

namespace fs = std::filesystem;
using testkit::buildArchive;
using testkit::buildMember;
using testkit::bytesOf;
using testkit::dirMember;
using testkit::fileMember;
using testkit::Member;

namespace {

using RunResult = testkit::ShellResult;

std::string quote(const std::string& text) { return testkit::shellQuote(text); }

std::string slurp(const fs::path& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    std::fclose(f);
  }
  return text;
}

class RunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kasumiro-runner-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch = pattern;
    fs::create_directories(scratch / "work");
  }
  void TearDown() override { fs::remove_all(scratch); }

  // Runs the runner in scratch/work; stdin is /dev/null unless given. Its
  // messages are Japanese (the tests compare them), unless locale says
  // otherwise: "VARIABLE=value ..." set for the runner alone.
  RunResult runner(const std::string& arguments, const std::string& stdinRedirect = "</dev/null") {
    return testkit::runShell("cd " + quote((scratch / "work").string()) + " && env -u LC_ALL -u " +
                                 "LC_MESSAGES -u LANG " + locale + " " + quote(KASUMIRO_RUNNER) +
                                 " " + arguments + " " + stdinRedirect,
                             scratch.string());
  }
  std::string locale = "LC_ALL=ja_JP.UTF-8";

  fs::path writeImage(const std::vector<uint8_t>& archive, const fs::path& where,
                      const std::string& configuredDir = "", uint32_t flags = 0) {
    testkit::SfxImageParts parts;
    parts.title = "T";
    parts.defaultDir = configuredDir;
    parts.flags = flags;
    parts.archive = archive;
    fs::create_directories(where.parent_path());
    testkit::writeFile(where.string(), testkit::buildSfxImage(parts));
    return where;
  }

  // Every file and directory below dir, relative, sorted ("d/", "d/x").
  static std::vector<std::string> tree(const fs::path& dir) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::end(it); ++it)
      found.push_back(fs::relative(it->path(), dir).string() + (it->is_directory() ? "/" : ""));
    std::sort(found.begin(), found.end());
    return found;
  }

  fs::path scratch;
};

// The names `l` printed (the text behind the fixed columns).
std::vector<std::string> listedNames(const std::string& listing) {
  std::vector<std::string> names;
  size_t at = listing.find('\n');  // the column titles
  while (at != std::string::npos) {
    const size_t end = listing.find('\n', at + 1);
    const std::string line = listing.substr(at + 1, end - at - 1);
    if (line.size() > 57 && line.find("bytes in") == std::string::npos)
      names.push_back(line.substr(57));
    at = end;
  }
  std::sort(names.begin(), names.end());
  return names;
}

// ---------------------------------------------------------------------------
// One archive, one view.

struct ViewCase {
  std::string name;
  std::vector<uint8_t> archive;
  bool intact;
  std::vector<std::string> members;  // what every view sees, sorted
};

std::vector<uint8_t> hiddenMember() {
  return buildMember(fileMember("hidden.txt", bytesOf("smuggled"), '0'));
}

std::vector<ViewCase> viewCases() {
  std::vector<ViewCase> cases;
  cases.push_back({"plain archive",
                   buildArchive({dirMember("d"), fileMember("b.txt", bytesOf("bee"), '5', "d"),
                                 fileMember("a.txt", bytesOf("a"), '0')}),
                   true,
                   {"a.txt", "d/", "d/b.txt"}});
  {
    // Stored data that is shorter by its packed size than by its original:
    // one reader would take the data for the next header.
    Member stored = fileMember("s.bin", hiddenMember(), '0');
    stored.compressedSize32 = 0;
    cases.push_back({"stored, packed size smaller", buildArchive({stored}), false, {}});
  }
  {
    Member stored = fileMember("s.bin", bytesOf("xy"), '0');
    std::vector<uint8_t> payload = bytesOf("xy");
    const auto hidden = hiddenMember();
    payload.insert(payload.end(), hidden.begin(), hidden.end());
    stored.payload = payload;
    stored.compressedSize32 = static_cast<uint32_t>(payload.size());
    cases.push_back({"stored, packed size larger", buildArchive({stored}), false, {}});
  }
  {
    Member dir = dirMember("d");
    dir.payload = hiddenMember();
    dir.compressedSize32 = static_cast<uint32_t>(dir.payload->size());
    cases.push_back({"directory carrying data",
                     buildArchive({dir, fileMember("after.txt", bytesOf("after"), '5')}),
                     true,
                     {"after.txt", "d/"}});
  }
  {
    Member huge = fileMember("huge.bin", bytesOf("x"), '5');
    huge.uncompressedSize64 = 1ULL << 63;
    huge.compressedSize64 = testkit::memberPayload(huge).size();
    cases.push_back({"original size of 2^63", buildArchive({huge}), false, {}});
  }
  return cases;
}

TEST_F(RunnerTest, ListTestAndExtractSeeTheSameMembers) {
  for (const ViewCase& c : viewCases()) {
    SCOPED_TRACE(c.name);
    writeImage(c.archive, scratch / "work" / "image.exe");
    fs::remove_all(scratch / "x");
    const RunResult list = runner("l image.exe");
    const RunResult test = runner("t image.exe");
    const RunResult extract = runner("x -y image.exe ../x");
    const int status = c.intact ? 0 : 1;
    EXPECT_EQ(list.status, status) << list.err;
    EXPECT_EQ(test.status, status) << test.err;
    EXPECT_EQ(extract.status, status) << extract.err;
    EXPECT_EQ(listedNames(list.out), c.members);
    EXPECT_EQ(tree(scratch / "x"), c.members);
    if (!c.intact) {
      EXPECT_NE(list.err.find("書庫が壊れています"), std::string::npos) << list.err;
    }
  }
}

// The messages of the program are English unless the locale for messages is
// Japanese: the first of LC_ALL, LC_MESSAGES and LANG that is set decides.
TEST_F(RunnerTest, MessagesAreJapaneseOnlyInAJapaneseLocale) {
  const struct {
    const char* locale;
    bool japanese;
  } cases[] = {
      {"", false},
      {"LANG=ja_JP.UTF-8", true},
      {"LANG=ja", true},
      {"LANG=de_DE.UTF-8", false},
      {"LANG=C.UTF-8 LC_MESSAGES=ja_JP.eucJP", true},
      {"LANG=ja_JP.UTF-8 LC_MESSAGES=en_US.UTF-8", false},
      {"LANG=ja_JP.UTF-8 LC_ALL=C", false},
      {"LANG=en_US.UTF-8 LC_ALL=ja_JP.UTF-8", true},
      {"LANG=ja_JP.UTF-8 LC_ALL=", true},  // set but empty: the next one decides
  };
  std::vector<uint8_t> archive = buildArchive({fileMember("a.txt", bytesOf("hello"))});
  archive.resize(archive.size() - 8);
  writeImage(archive, scratch / "work" / "broken.exe");
  for (const auto& c : cases) {
    locale = c.locale;
    const RunResult list = runner("l broken.exe");
    EXPECT_EQ(list.status, 1) << c.locale;
    EXPECT_NE(list.err.find(c.japanese ? "書庫が壊れています" : "Archive is damaged"),
              std::string::npos)
        << c.locale << ": " << list.err;
  }
}

// ---------------------------------------------------------------------------
// The destination and the image are the user's paths, used as they are.

TEST_F(RunnerTest, PathsFromTheCommandLineAreUsedAsGiven) {
  const std::string longName(200, 'L');
  const struct {
    std::string destination;  // as typed, relative to scratch/work
    fs::path expected;        // where the files must land
    fs::path imageDir;        // where the image lies
  } cases[] = {
      {"../dot-dot", scratch / "dot-dot", scratch / "work"},
      {"with:colon|bar", scratch / "work" / "with:colon|bar", scratch / "work"},
      {"café", scratch / "work" / "café", scratch / "work"},
      {"表 😀 한국어 中文", scratch / "work" / "表 😀 한국어 中文", scratch / "work"},
      {longName + "/" + longName, scratch / "work" / longName / longName,
       scratch / "work" / longName / "ü"},
  };
  const auto archive = buildArchive(
      {fileMember("a.txt", bytesOf("aaa"), '5'), fileMember("b.txt", bytesOf("b"), '0', "sub")});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.destination);
    const fs::path image = writeImage(archive, c.imageDir / "image.exe");
    const RunResult r = runner("x -y " + quote(image.string()) + " " + quote(c.destination));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(c.expected / "a.txt"), "aaa");
    EXPECT_EQ(slurp(c.expected / "sub" / "b.txt"), "b");
  }
  // Nothing else was made: no rewritten variant of any destination.
  std::vector<std::string> expected{"café/",
                                    "café/a.txt",
                                    "café/sub/",
                                    "café/sub/b.txt",
                                    "image.exe",
                                    longName + "/",
                                    longName + "/" + longName + "/",
                                    longName + "/" + longName + "/a.txt",
                                    longName + "/" + longName + "/sub/",
                                    longName + "/" + longName + "/sub/b.txt",
                                    longName + "/ü/",
                                    longName + "/ü/image.exe",
                                    "with:colon|bar/",
                                    "with:colon|bar/a.txt",
                                    "with:colon|bar/sub/",
                                    "with:colon|bar/sub/b.txt",
                                    "表 😀 한국어 中文/",
                                    "表 😀 한국어 中文/a.txt",
                                    "表 😀 한국어 中文/sub/",
                                    "表 😀 한국어 中文/sub/b.txt"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(tree(scratch / "work"), expected);
}

// Without DEST the runner extracts where the user stands, never into the
// destination the file configures (%HOME%, say), and the file's overwrite
// setting never replaces a file: only -o or an answer does.
TEST_F(RunnerTest, OnlyTheUserChoosesWhereAndWhatIsReplaced) {
  const fs::path configured = scratch / "configured";
  fs::create_directories(configured);
  testkit::writeFile((configured / "a.txt").string(), bytesOf("keep"));
  testkit::writeFile((scratch / "no").string(), bytesOf("n\n"));
  testkit::writeFile((scratch / "yes").string(), bytesOf("y\n"));
  writeImage(buildArchive({fileMember("a.txt", bytesOf("new"), '0')}), scratch / "image.exe",
             configured.string(), FLAG_OVERWRITE);
  const struct {
    std::string options, answers;
    int status;
    std::string inWork;  // a.txt in the current directory afterwards
  } cases[] = {
      {"", "</dev/null", 1, "mine"},  // asked; no answer is Cancel
      {"", "<../no", 0, "mine"},
      {"", "<../yes", 0, "new"},
      {"-o", "</dev/null", 0, "new"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options + " " + c.answers);
    testkit::writeFile((scratch / "work" / "a.txt").string(), bytesOf("mine"));
    const RunResult r = runner("x " + c.options + " ../image.exe", c.answers);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(slurp(scratch / "work" / "a.txt"), c.inWork);
    EXPECT_EQ(slurp(configured / "a.txt"), "keep");
  }
}

// ---------------------------------------------------------------------------
// The archive talks to the user, never for the user.

TEST_F(RunnerTest, WithStandardInputClosedTheArchiveCannotAnswerItsNotice) {
  // The member behind the notice has a header of 121 bytes: its first byte
  // is 'y', which the notice question would read if the image were opened
  // as descriptor 0.
  Member next = fileMember("n", bytesOf("after"), '0');
  while (testkit::buildHeader(next, next.data).size() < 121) next.name += 'n';
  ASSERT_EQ(testkit::buildHeader(next, next.data).size(), 121u);
  writeImage(buildArchive({fileMember("!", bytesOf("Go on?"), '0'), next}),
             scratch / "work" / "image.exe");
  const RunResult r = runner("x image.exe ../out", "<&-");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(fs::exists(scratch / "out"));
}

TEST_F(RunnerTest, ControlCharactersFromTheArchiveAreShownEscaped) {
  writeImage(buildArchive({fileMember("!", bytesOf("Read\x1b]0;owned\x07 me\r\nline two"), '0'),
                           fileMember("a\x1b[2Jb.txt", bytesOf("x"), '0')}),
             scratch / "work" / "image.exe");
  const RunResult list = runner("l image.exe");
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out.find('\x1b'), std::string::npos);
  EXPECT_NE(list.out.find("a\\x1B[2Jb.txt"), std::string::npos) << list.out;
  const RunResult extract = runner("x -y image.exe ../out");
  EXPECT_EQ(extract.status, 0) << extract.err;
  EXPECT_EQ((extract.out + extract.err).find_first_of("\x1b\x07\r"), std::string::npos);
  EXPECT_NE(extract.out.find("Read\\x1B]0;owned\\x07 me\nline two"), std::string::npos)
      << extract.out;
}

// ---------------------------------------------------------------------------
// What else a user hands the runner.

TEST_F(RunnerTest, PlainArchivesWorkAndOtherFilesAreRefusedInOneLine) {
  testkit::writeFile((scratch / "work" / "plain.lzh").string(),
                     buildArchive({fileMember("p.txt", bytesOf("plain"), '5')}));
  testkit::writeFile((scratch / "work" / "text.txt").string(), bytesOf("just some text\n"));
  EXPECT_EQ(listedNames(runner("l plain.lzh").out), std::vector<std::string>{"p.txt"});
  EXPECT_EQ(runner("t plain.lzh").status, 0);
  // Without a destination, into the current directory.
  EXPECT_EQ(runner("x plain.lzh").status, 0);
  EXPECT_EQ(slurp(scratch / "work" / "p.txt"), "plain");
  EXPECT_EQ(runner("x -d elsewhere plain.lzh").status, 0);
  EXPECT_EQ(slurp(scratch / "work" / "elsewhere" / "p.txt"), "plain");

  for (const char* verb : {"l", "t", "x", "info"}) {
    SCOPED_TRACE(verb);
    const RunResult text = runner(std::string(verb) + " text.txt");
    EXPECT_EQ(text.status, 1);
    EXPECT_EQ(text.err,
              "kasumiro: text.txt is neither a self-extracting file nor an LZH archive\n");
    const RunResult missing = runner(std::string(verb) + " missing.exe");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "kasumiro: cannot open missing.exe: No such file or directory\n");
  }
}

TEST_F(RunnerTest, MissingFoldersOnTheWayToTheDestinationAreMade) {
  writeImage(buildArchive({fileMember("a.txt", bytesOf("aaa"), '5')}),
             scratch / "work" / "image.exe");
  testkit::writeFile((scratch / "work" / "file").string(), bytesOf("in the way"));
  const struct {
    std::string destination;
    int status;
  } cases[] = {{"a/b/c", 0}, {"a/b/d", 0}, {"a//e/", 0}, {"file/x", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.destination);
    const RunResult r = runner("x image.exe " + quote(c.destination));
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(slurp(scratch / "work" / c.destination / "a.txt"), c.status ? "" : "aaa");
  }
  EXPECT_EQ(runner("x image.exe file/x").err, "kasumiro: cannot make " +
                                                  (scratch / "work" / "file" / "x").string() +
                                                  ": Not a directory\n");
}

// A file made with --wait or --temp, run with --run: the command's exit
// status is the runner's, and a --temp file leaves no folder behind.
TEST_F(RunnerTest, WaitedCommandsGiveTheirExitStatusAndTempFoldersGo) {
  const fs::path record = scratch / "record";
  const std::string command = "/bin/sh -c \"{ pwd; cat a.txt; } >" + record.string() + "; exit 5\"";
  testkit::SfxImageParts parts;
  parts.archive = buildArchive({fileMember("a.txt", bytesOf("aaa"), '5')});
  parts.runCommand = command;
  const fs::path temporary = scratch / "tmp";
  fs::create_directories(temporary);
  const struct {
    uint32_t flags;
    std::string arguments;
    int status;
    std::string ranIn;  // "" when the command did not run
  } cases[] = {
      {FLAG_WAIT_FOR_COMMAND, "--run image.exe out", 5, (scratch / "work" / "out").string()},
      {FLAG_WAIT_FOR_COMMAND, "image.exe out", 0, ""},
      {0, "--run image.exe out", 0, (scratch / "work" / "out").string()},
      {FLAG_TEMP_FOLDER, "--run image.exe", 5, (temporary / "kasumiro-").string()},
      {FLAG_TEMP_FOLDER, "--run image.exe out", 5, (scratch / "work" / "out").string()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments + " with flags " + std::to_string(c.flags));
    parts.flags = c.flags;
    testkit::writeFile((scratch / "work" / "image.exe").string(), testkit::buildSfxImage(parts));
    fs::remove(record);
    const RunResult run = testkit::runShell(
        "cd " + quote((scratch / "work").string()) + " && TMPDIR=" + quote(temporary.string()) +
            " " + quote(KASUMIRO_RUNNER) + " x " + c.arguments + " </dev/null",
        scratch.string());
    EXPECT_EQ(run.status, c.status) << run.err;
    const std::string ran = slurp(record);
    if (c.ranIn.empty()) {
      EXPECT_EQ(ran, "");
      EXPECT_NE(run.out.find("command (not run; --run starts it)"), std::string::npos);
    } else {
      EXPECT_EQ(ran.compare(0, c.ranIn.size(), c.ranIn), 0) << ran;
      EXPECT_EQ(ran.substr(ran.size() - 4), "\naaa") << ran;
    }
    EXPECT_EQ(tree(temporary), std::vector<std::string>{});
    fs::remove_all(scratch / "work" / "out");
  }
}

}  // namespace
