// The run after the notice: silent runs (/S), a command waited for (--wait)
// and the temporary folder (--temp), each ending with its exit code.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "extract/passes.h"
#include "platform/posix/platform_posix.h"
#include "startup/sfx_state.h"
#include "stub/dialog_logic.h"
#include "support/archive_builder.h"
#include "support/scripted_host.h"
#include "support/sfx_fixture.h"

using testkit::buildArchive;
using testkit::bytesOf;
using testkit::fileMember;
using testkit::Member;

namespace {

// The main dialog as the user ends it: Extract pressed (the passes run) or
// Cancel pressed.
int pressExtract() {
  sfxState.progress.total = 0;
  const bool done = runExtraction(reinterpret_cast<HostWindow>(1), MODE_SCAN) &&
                    runExtraction(reinterpret_cast<HostWindow>(1), MODE_EXTRACT);
  return done ? EXIT_EXTRACTED : EXIT_FAILED;
}
int pressCancel() { return EXIT_NOTHING_DONE; }

struct RunCase {
  const char* name;
  bool silent;
  uint32_t flags;
  bool damaged;      // the second member's data is wrong
  bool existing;     // out/a.txt holds "old" before the run
  int (*dialog)();   // ignored when silent
  bool withCommand;  // exits with 7 after recording where it ran
  int exitCode;
  const char* aTxt;  // out/a.txt afterwards ("" for none)
  bool commandRan;
};

constexpr uint32_t WAIT = FLAG_WAIT_FOR_COMMAND, TEMP = FLAG_TEMP_FOLDER;

const RunCase RUN_CASES[] = {
    {"silent", true, 0, false, false, nullptr, false, 0, "new", false},
    {"silent keeps an existing file", true, 0, false, true, nullptr, false, 0, "old", false},
    {"silent overwrites with the flag", true, FLAG_OVERWRITE, false, true, nullptr, false, 0, "new",
     false},
    {"silent, damaged", true, 0, true, false, nullptr, false, 2, "new", false},
    {"silent, the command is not waited for", true, 0, false, false, nullptr, true, 0, "new", true},
    {"silent --wait", true, WAIT, false, false, nullptr, true, 7, "new", true},
    {"silent --wait, damaged", true, WAIT, true, false, nullptr, true, 2, "new", false},
    {"dialog --wait", false, WAIT, false, false, pressExtract, true, 7, "new", true},
    {"dialog --wait, cancelled", false, WAIT, false, false, pressCancel, true, 0, "", false},
    {"dialog without --wait", false, 0, false, false, pressExtract, true, 1, "new", true},
    {"silent --temp", true, TEMP, false, true, nullptr, true, 7, "old", true},
    {"dialog --temp", false, TEMP, false, false, pressExtract, true, 7, "", true},
    {"silent --temp, damaged", true, TEMP, true, false, nullptr, true, 2, "", false},
};

void PrintTo(const RunCase& c, std::ostream* out) { *out << c.name; }

class RunTest : public SfxTest, public ::testing::WithParamInterface<RunCase> {
 protected:
  // A file's contents, "" when there is none.
  std::string text(const std::string& relative) const {
    if (!exists(relative)) return "";
    const std::vector<uint8_t> bytes = contents(relative);
    return std::string(bytes.begin(), bytes.end());
  }
};

TEST_P(RunTest, EndsWithItsExitCodeAndAsksNothingWhenSilent) {
  const RunCase& c = GetParam();
  // The temporary folders go below the scratch directory.
  const std::string temporary = path("tmp");
  ASSERT_EQ(mkdir(temporary.c_str(), 0700), 0);
  const char* oldTemporary = getenv("TMPDIR");
  const std::string savedTemporary = oldTemporary ? oldTemporary : "";
  setenv("TMPDIR", temporary.c_str(), 1);

  Member b = fileMember("b.txt", bytesOf("second"), '0');
  if (c.damaged) b.dataCrc = 0x1234;
  testkit::SfxImageParts parts;
  parts.flags = c.flags;
  parts.defaultDir = "\\\\" + destination().substr(1);  // "\\tmp\...": a full path
  if (c.withCommand)
    parts.runCommand = "/bin/sh -c \"{ pwd; cat a.txt; } >" + path("record") + "; exit 7\"";
  parts.archive = buildArchive({fileMember("a.txt", bytesOf("new"), '0'), b});
  if (c.existing) {
    ASSERT_EQ(mkdir(destination().c_str(), 0777), 0);
    testkit::writeFile(path("out/a.txt"), bytesOf("old"));
  }
  ASSERT_TRUE(loadImage(testkit::buildSfxImage(parts)));
  sfxState.silent = c.silent;
  setDestination();  // the dialog's choice, where there is one
  posixRunCommands = true;
  const int code = extractAndRun(c.dialog);
  posixRunCommands = false;
  if (oldTemporary)
    setenv("TMPDIR", savedTemporary.c_str(), 1);
  else
    unsetenv("TMPDIR");

  EXPECT_EQ(code, c.exitCode);
  EXPECT_EQ(text("out/a.txt"), c.aTxt);
  EXPECT_EQ(exists("record"), c.commandRan);
  if (c.commandRan) {
    const std::string ran = text("record");
    // It ran where the members were, with a.txt as extracted.
    EXPECT_EQ(ran.substr(ran.size() - 4), "\nnew") << ran;
    if (c.flags & TEMP) {
      EXPECT_EQ(ran.compare(0, temporary.size() + 10, temporary + "/kasumiro-"), 0) << ran;
    }
  }
  // Whatever happened, the temporary folder is gone.
  EXPECT_EQ(tree("tmp"), std::vector<std::string>{});
  if (c.silent) {
    EXPECT_TRUE(scriptedHost.errorBoxes.empty());
    EXPECT_TRUE(scriptedHost.questions.empty());
    EXPECT_TRUE(scriptedHost.overwritePrompts.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RunTest, ::testing::ValuesIn(RUN_CASES),
                         [](const ::testing::TestParamInfo<RunCase>& info) {
                           std::string name;
                           for (const char* p = info.param.name; *p; ++p)
                             if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                           return name;
                         });

}  // namespace

class SilentNoticeTest : public SfxTest {};

TEST_F(SilentNoticeTest, TheNoticeCountsAsAcceptedWithoutAQuestion) {
  testkit::SfxImageParts parts;
  parts.archive = buildArchive({fileMember("!", bytesOf("read me"), '0')});
  ASSERT_TRUE(loadImage(testkit::buildSfxImage(parts)));
  sfxState.silent = 1;
  EXPECT_TRUE(runExtraction(nullptr, MODE_NOTICE));
  EXPECT_TRUE(scriptedHost.questions.empty());
}
