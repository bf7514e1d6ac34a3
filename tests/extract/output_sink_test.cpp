// Progress percentages and their reports.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "extract/progress.h"
#include "startup/sfx_state.h"
#include "support/scripted_host.h"

namespace {

struct PercentCase {
  uint64_t done;
  uint64_t total;
  unsigned percent;
};

class ProgressPercentTest : public ::testing::TestWithParam<PercentCase> {};

TEST_P(ProgressPercentTest, IsDoneTimesHundredOverTotalCappedAt100) {
  EXPECT_EQ(progressPercent(GetParam().done, GetParam().total), GetParam().percent);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgressPercentTest,
                         ::testing::Values(PercentCase{0, 0, 0}, PercentCase{5, 0, 0},
                                           PercentCase{0, 10, 0}, PercentCase{1, 3, 33},
                                           PercentCase{2, 3, 66}, PercentCase{3, 3, 100},
                                           PercentCase{7, 3, 100},
                                           // Members of 4 GiB and more.
                                           PercentCase{5ULL << 32, 10ULL << 32, 50},
                                           PercentCase{(10ULL << 32) - 1, 10ULL << 32, 99},
                                           PercentCase{UINT64_MAX / 100, UINT64_MAX, 0},
                                           PercentCase{UINT64_MAX, UINT64_MAX, 100}));

TEST(ReportProgressTest, SendsEachPercentageOnceAndPumpsAtEveryReport) {
  scriptedHost.reset();
  sfxState.progress = ProgressCounter{};
  sfxState.cancelRequested = 0;
  for (uint64_t done : {0, 0, 10, 20, 1000, 1009, 2000, 1999, 10000, 10000})
    EXPECT_TRUE(reportProgress(done, 10000));
  EXPECT_EQ(scriptedHost.progress, (std::vector<int>{0, 10, 20, 19, 100}));
  EXPECT_EQ(scriptedHost.pumps, 10);
  sfxState.cancelRequested = 1;
  EXPECT_FALSE(reportProgress(10000, 10000));
  sfxState.cancelRequested = 0;
}

}  // namespace

TEST(ProgressPercentLargeTest, StaysWithinOnePercentOfTheExactValue) {
  // Members of 16 MiB and more, up to sizes only hostile headers claim.
  std::mt19937_64 random(7);
  for (int i = 0; i < 4000; ++i) {
    uint64_t total = (random() >> (random() % 40)) | (1ULL << 24);
    uint64_t done = i % 2 ? random() % total : total - 1 - random() % 1000;
    unsigned exact = static_cast<unsigned>(static_cast<unsigned __int128>(done) * 100 / total);
    unsigned got = progressPercent(done, total);
    ASSERT_LE(got, 100u);
    ASSERT_LE(got > exact ? got - exact : exact - got, 1u) << done << " / " << total;
  }
}
