// Members named like a Windows device (CON, AUX, NUL, ...) whose name already
// has the 255 bytes of a long name. Defusing the device name must not push
// the name past 255 bytes: such a member was refused with a write error
// ("AUX" followed by 252 blanks came out of the member-name fuzzer).
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "extract/passes.h"
#include "paths/path_strings.h"
#include "platform/posix/platform_posix.h"
#include "startup/sfx_state.h"
#include "support/archive_builder.h"
#include "support/scripted_host.h"
#include "support/sfx_fixture.h"

namespace {

struct LongDeviceCase {
  std::string member;    // the name in the archive
  std::string expected;  // the name it is extracted as
};

void PrintTo(const LongDeviceCase& c, std::ostream* os) {
  *os << '"' << c.member.substr(0, 8) << "...\" (" << c.member.size() << " bytes)";
}

std::vector<LongDeviceCase> longDeviceCases() {
  return {
      // 255 bytes: no room for a leading '_', the first byte is replaced.
      {"con." + std::string(251, 'x'), "_on." + std::string(251, 'x')},
      {"AUX" + std::string(252, ' '), "_UX" + std::string(252, ' ')},
      {"lpt7 ." + std::string(249, 'b'), "_pt7 ." + std::string(249, 'b')},
      // 254 bytes: the leading '_' still fits and makes 255.
      {"nul." + std::string(250, 'y'), "_nul." + std::string(250, 'y')},
      // An ordinary device name keeps getting its prefix.
      {"com3.txt", "_com3.txt"},
  };
}

class LongDeviceNameTest : public SfxTest, public ::testing::WithParamInterface<LongDeviceCase> {};

TEST_P(LongDeviceNameTest, ExtractsUnderADefusedNameOfAtMost255Bytes) {
  const LongDeviceCase& c = GetParam();
  posixDeviceNames = true;
  testkit::SfxImageParts imageSpec;
  imageSpec.title = "hostile";
  imageSpec.archive =
      testkit::buildArchive({testkit::fileMember(c.member, testkit::bytesOf("device"), '5')});
  ASSERT_TRUE(loadImage(testkit::buildSfxImage(imageSpec)));
  setDestination();
  EXPECT_TRUE(scanAndExtract());
  EXPECT_TRUE(scriptedHost.errorBoxes.empty())
      << (scriptedHost.errorBoxes.empty() ? "" : scriptedHost.errorBoxes[0].text);
  EXPECT_LE(c.expected.size(), 255u);
  EXPECT_EQ(tree(), std::vector<std::string>{c.expected});
}

INSTANTIATE_TEST_SUITE_P(Names, LongDeviceNameTest, ::testing::ValuesIn(longDeviceCases()));

TEST(LongDeviceNameDefuseTest, ReplacesTheFirstByteOnlyInA255ByteComponent) {
  // Two components: a full-length device name and a short one behind it.
  std::string path = "AUX" + std::string(252, ' ') + "/prn.log";
  std::vector<char> buffer(path.begin(), path.end());
  buffer.resize(600, '\0');
  ASSERT_TRUE(defuseDeviceNames(buffer.data(), buffer.size()));
  EXPECT_EQ(std::string(buffer.data()), "_UX" + std::string(252, ' ') + "/_prn.log");

  // Only the short component grows, so one byte of room is enough.
  std::vector<char> tight(path.begin(), path.end());
  tight.push_back('\0');
  const std::string before(tight.data());
  EXPECT_FALSE(defuseDeviceNames(tight.data(), tight.size()));
  EXPECT_EQ(std::string(tight.data()), before);
  tight.push_back('\0');
  EXPECT_TRUE(defuseDeviceNames(tight.data(), tight.size()));
  EXPECT_EQ(std::string(tight.data()), "_UX" + std::string(252, ' ') + "/_prn.log");
}

}  // namespace
