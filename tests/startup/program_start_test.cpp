// The command-line tail and the version gate.
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
