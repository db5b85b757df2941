#include "profile_keep.h"

#include <gtest/gtest.h>

namespace {

using vantarel::ProfileKeep;

constexpr uint64_t kSecond = 1000;
constexpr uint64_t kMinute = 60 * kSecond;

TEST(ProfileKeep, KeepsTheFloorAfterTheFirstProfile) {
  ProfileKeep keep;
  keep.started(5 * kMinute);
  EXPECT_EQ(keep.keep_ms(), ProfileKeep::kFloorMs);
  // Long enough that a second profile a minute after a first one of up to
  // a minute finds the profiler kept.
  EXPECT_GT(ProfileKeep::kFloorMs, kMinute);
}

TEST(ProfileKeep, KeepsTwiceTheLastIntervalWithinFloorAndCap) {
  ProfileKeep keep;
  uint64_t now = 0;
  const struct {
    uint64_t interval;
    uint64_t kept;
  } steps[] = {
      {kMinute, 2 * kMinute},                 // a profile every minute
      {15 * kSecond, ProfileKeep::kFloorMs},  // never below the floor
      {4 * kMinute, 8 * kMinute},
      {7 * kMinute, ProfileKeep::kCapMs},  // never above the cap
      {0, ProfileKeep::kFloorMs},          // a start right after a stop
  };
  keep.started(now);
  for (const auto& step : steps) {
    keep.started(now += step.interval);
    EXPECT_EQ(keep.keep_ms(), step.kept) << step.interval;
  }
}

TEST(ProfileKeep, StartsBeyondTheCapKeepOnlyTheFloor) {
  ProfileKeep keep;
  keep.started(0);
  keep.started(ProfileKeep::kCapMs + 1);
  // The next start would find the profiler gone even after the cap.
  EXPECT_EQ(keep.keep_ms(), ProfileKeep::kFloorMs);
  keep.started(ProfileKeep::kCapMs + 1 + kMinute);
  EXPECT_EQ(keep.keep_ms(), 2 * kMinute);
}

}  // namespace
