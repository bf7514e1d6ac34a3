// The dialogs' window-free rules: destination acceptance, options mapping,
// browser style.
#include "stub/dialog_logic.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "startup/sfx_state.h"

namespace {

struct DestinationCase {
  const char* box;
  bool accepted;
  const char* extractDir;
};

class DestinationTest : public ::testing::TestWithParam<DestinationCase> {};

TEST_P(DestinationTest, OnlyFullPathsAreAccepted) {
  char dir[EXTRACT_DIR_SIZE];
  EXPECT_EQ(acceptDestination(GetParam().box, dir), GetParam().accepted) << GetParam().box;
  EXPECT_STREQ(dir, GetParam().extractDir);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DestinationTest,
    ::testing::Values(
        DestinationCase{"   ", false, ""}, DestinationCase{"\"\"", false, ""},
        DestinationCase{"", false, ""}, DestinationCase{"C:dir", false, "C:dir"},
        DestinationCase{"\\dir", false, "\\dir"}, DestinationCase{"dir", false, "dir"},
        DestinationCase{"C:\\", true, "C:\\"}, DestinationCase{"1:\\x", true, "1:\\x"},
        DestinationCase{"\\\\server\\share", true, "\\\\server\\share"},
        DestinationCase{"\"C:\\Program Files\\x\"", true, "C:\\Program Files\\x"},
        DestinationCase{"\"C:\\a\" b", true, "C:\\a"}, DestinationCase{" \tC:\\x ", true, "C:\\x "},
        // Never cut short or left open: that would be another folder.
        DestinationCase{"\"C:\\My Dir", false, ""}, DestinationCase{"\"", false, ""}));

TEST(DestinationLengthTest, APathLongerThanTheBoxHoldsIsRefusedWhole) {
  char dir[EXTRACT_DIR_SIZE];
  // The box holds 255 UTF-16 units, whatever their bytes in program text: a
  // longer text (put there by a message) is refused, never cut.
  for (const std::string unit : {"d", "\x8A\xBF", "\xFD\xAD\xB5\xBC"}) {
    SCOPED_TRACE(unit);
    std::string longest = "C:\\";
    for (int i = 3; i < 255; ++i) longest += unit;
    EXPECT_TRUE(acceptDestination(longest.c_str(), dir));
    EXPECT_EQ(dir, longest);
    EXPECT_TRUE(acceptDestination(("\"" + longest + "\"").c_str(), dir));
    EXPECT_FALSE(acceptDestination((longest + unit).c_str(), dir));
    EXPECT_FALSE(acceptDestination(("\"" + longest + unit + "\"").c_str(), dir));
  }
}

}  // namespace

TEST(OptionsTest, BoxesReflectTheStateAndOkRebuildsIt) {
  resetSfxState();
  sfxState.config.flags = 0xFFFFFFF0u | FLAG_OVERWRITE;
  std::strcpy(sfxState.config.runCommand, "setup.exe");
  sfxState.autoRun = 1;
  sfxState.noFolders = 0;
  OptionBoxes boxes = optionsFromState();
  EXPECT_FALSE(boxes.restoreAttributes);
  EXPECT_TRUE(boxes.overwrite);
  EXPECT_TRUE(boxes.autoRun);
  EXPECT_FALSE(boxes.noFolders);
  EXPECT_TRUE(boxes.commandPresent);

  boxes.overwrite = false;
  boxes.autoRun = false;
  boxes.noFolders = true;
  applyOptions(boxes);
  // The bits that no box shows (--wait, --temp, ...) survive OK.
  EXPECT_EQ(uint32_t{sfxState.config.flags}, 0xFFFFFFF0u);
  EXPECT_EQ(sfxState.autoRun, 0);
  EXPECT_EQ(sfxState.noFolders, 1);

  boxes.restoreAttributes = true;
  boxes.overwrite = true;
  applyOptions(boxes);
  EXPECT_EQ(uint32_t{sfxState.config.flags},
            0xFFFFFFF0u | FLAG_RESTORE_ATTRIBUTES | FLAG_OVERWRITE);
}

TEST(OptionsTest, NoCommandMeansAutoRunOffAndDisabled) {
  resetSfxState();
  sfxState.autoRun = 1;  // whatever it says, without a command it is not shown
  OptionBoxes boxes = optionsFromState();
  EXPECT_FALSE(boxes.commandPresent);
  EXPECT_FALSE(boxes.autoRun);
  applyOptions(boxes);
  EXPECT_EQ(sfxState.autoRun, 0);
}
