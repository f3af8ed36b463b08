#include "platform/Clock.h"

#include <gtest/gtest.h>
#include <time.h>

namespace corvane::platform {
namespace {

TEST(ClockTest, ContinuousSecondsCountsAtLeastTheMonotonicClock) {
  timespec monotonic{};
  clock_gettime(CLOCK_MONOTONIC, &monotonic);
  double before = continuousSeconds();
  // Boot time includes suspended time, so it never lags the monotonic clock.
  EXPECT_GE(before + 1e-3, static_cast<double>(monotonic.tv_sec) + static_cast<double>(monotonic.tv_nsec) / 1e9);
  timespec pause{0, 2'000'000};
  nanosleep(&pause, nullptr);
  EXPECT_GT(continuousSeconds(), before);
}

}  // namespace
}  // namespace corvane::platform
