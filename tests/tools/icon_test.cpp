// The checked-in application icon is what the icon tool draws.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/sfx_image.h"

TEST(IconTest, CheckedInIconIsTheToolsOutput) {
  const std::string out = ::testing::TempDir() + "kasumiro-icon-test.ico";
  ASSERT_EQ(std::system((std::string(KASUMIRO_ICON_TOOL) + " " + out).c_str()), 0);
  auto drawn = testkit::readFile(out);
  std::remove(out.c_str());
  auto checkedIn =
      testkit::readFile(std::string(KASUMIRO_SOURCE_DIR) + "/src/stub/kasumiro.ico");
  ASSERT_FALSE(drawn.empty());
  EXPECT_EQ(drawn, checkedIn);
  // Two 16-colour images, 32 and 16 pixels square.
  ASSERT_GE(drawn.size(), 6u + 2 * 16);
  EXPECT_EQ(drawn[4], 2);
  EXPECT_EQ(drawn[6], 32);
  EXPECT_EQ(drawn[6 + 16], 16);
  EXPECT_EQ(drawn[8], 16);
}
