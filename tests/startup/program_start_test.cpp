// The command-line tail, its switches and the version gate.
#include "startup/program_start.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TailCase {
  const char* commandLine;
  const char* tail;
};

class CommandLineTailTest : public ::testing::TestWithParam<TailCase> {};

TEST_P(CommandLineTailTest, CutsTheProgramName) {
  EXPECT_EQ(std::string(commandLineTail(GetParam().commandLine)), GetParam().tail);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineTailTest,
    ::testing::Values(TailCase{"\"C:\\Some Dir\\setup.exe\"  D:\\Target", "D:\\Target"},
                      TailCase{"\"C:\\never closed D:\\x", ""},
                      TailCase{"setup.exe  \"D:\\My Target\" ", "\"D:\\My Target\" "},
                      TailCase{" D:\\x", "D:\\x"}, TailCase{"setup.exe", ""}, TailCase{"", ""},
                      TailCase{"\"a\"b c", "b c"},
                      // Bytes above 0x80 are ordinary characters of the name.
                      TailCase{"\x95\x5c.exe \x95\x5c", "\x95\x5c"},
                      TailCase{"setup.exe\t\x01 x", "x"}));

struct SwitchCase {
  const char* tail;
  StartAction action;
  bool silent;
  bool overwrite;
  const char* destination;  // null: none
};

class StartSwitchesTest : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(StartSwitchesTest, ReadsSwitchesAndLeavesOtherTailsAsTheDestination) {
  const SwitchCase& c = GetParam();
  const StartSwitches found = parseStartSwitches(c.tail);
  EXPECT_EQ(found.action, c.action) << c.tail;
  if (c.action == START_BAD_LINE) return;
  EXPECT_EQ(found.silent, c.silent) << c.tail;
  EXPECT_EQ(found.overwrite, c.overwrite) << c.tail;
  EXPECT_EQ(found.destination ? std::string(found.destination) : "(none)",
            c.destination ? c.destination : "(none)")
      << c.tail;
}

constexpr StartAction RUN = START_RUN, HELP = START_SHOW_HELP, BAD = START_BAD_LINE;
// 255 bytes behind /D=, what a destination holds, and one more.
const std::string LONGEST = "/D=C:\\" + std::string(252, 'd');
const std::string TOO_LONG = LONGEST + "d";

INSTANTIATE_TEST_SUITE_P(
    Cases, StartSwitchesTest,
    ::testing::Values(
        SwitchCase{"", RUN, false, false, nullptr},
        // No switch: the tail is the destination, as it always was.
        SwitchCase{"C:\\My Files ", RUN, false, false, "C:\\My Files "},
        SwitchCase{"\"C:\\a b\" /S", RUN, false, false, "\"C:\\a b\" /S"},
        SwitchCase{"/S", RUN, true, false, nullptr}, SwitchCase{"/s", RUN, true, false, nullptr},
        SwitchCase{"/O /S  ", RUN, true, true, nullptr},
        SwitchCase{"/s\t/o", RUN, true, true, nullptr},
        // /D= takes the rest of the line, blanks and all, without quotes.
        SwitchCase{"/S /D=C:\\Program Files\\My App", RUN, true, false,
                   "C:\\Program Files\\My App"},
        SwitchCase{"/d=  C:\\x", RUN, false, false, "C:\\x"},
        SwitchCase{"/D=C:\\x /S", RUN, false, false, "C:\\x /S"},
        SwitchCase{"/D=\"C:\\a b\"", RUN, false, false, "\"C:\\a b\""},
        SwitchCase{"/?", HELP, false, false, nullptr},
        SwitchCase{"/S /? /D=C:\\x", HELP, true, false, "C:\\x"},
        // Bad lines: nothing is extracted anywhere the user did not mean.
        SwitchCase{"/D=", BAD, false, false, nullptr},
        SwitchCase{"/S /D=  ", BAD, false, false, nullptr},
        SwitchCase{"/D C:\\x", BAD, false, false, nullptr},
        SwitchCase{"/S C:\\x", BAD, false, false, nullptr},
        SwitchCase{"/X", BAD, false, false, nullptr}, SwitchCase{"/SO", BAD, false, false, nullptr},
        SwitchCase{"/Silent", BAD, false, false, nullptr},
        SwitchCase{"/", BAD, false, false, nullptr}, SwitchCase{"/S /", BAD, false, false, nullptr},
        SwitchCase{"/?/S", BAD, false, false, nullptr},
        SwitchCase{TOO_LONG.c_str(), BAD, false, false, nullptr},
        SwitchCase{LONGEST.c_str(), RUN, false, false, LONGEST.c_str() + 3}));

struct VersionCase {
  uint32_t version;
  bool supported;
};

class VersionGateTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionGateTest, AcceptsWindows95AndNt351Onwards) {
  EXPECT_EQ(isSupportedWindows(GetParam().version), GetParam().supported)
      << std::hex << GetParam().version;
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionGateTest,
    ::testing::Values(VersionCase{0xC0000004u, true},     // Windows 95, 4.0
                      VersionCase{0xC0000A04u, true},     // Windows 98, 4.10
                      VersionCase{0xC0005A04u, true},     // Windows Me, 4.90
                      VersionCase{0x80000A03u, false},    // Win32s on Windows 3.1
                      VersionCase{0x00003203u, false},    // NT 3.50
                      VersionCase{0x00003303u, true},     // NT 3.51
                      VersionCase{0x00000004u, true},     // NT 4.0
                      VersionCase{0x00000105u, true},     // XP, 5.1
                      VersionCase{0x00000206u, true},     // 8, 6.2
                      VersionCase{0x00000002u, false}));  // NT 2.x does not exist: refused

}  // namespace
