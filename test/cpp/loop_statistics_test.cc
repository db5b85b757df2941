#include "loop_statistics.h"

#include <gtest/gtest.h>

TEST(ElapsedMs, TruncatesNanosecondsAndNeverGoesNegative) {
  EXPECT_EQ(elapsed_ms(1999999999, 1000), 999u);
  EXPECT_EQ(elapsed_ms(2000000000, 1000), 1000u);
  EXPECT_EQ(elapsed_ms(1000000000, 1000), 0u);
  EXPECT_EQ(elapsed_ms(500000000, 1000), 0u);
}

TEST(EventLoopStatistics, FirstTickSetsMinAndMax) {
  EventLoopStatistics s{};
  s.record(7, 3);
  EXPECT_EQ(s.num, 1u);
  EXPECT_EQ(s.min, 7u);
  EXPECT_EQ(s.max, 7u);
  EXPECT_EQ(s.sum, 7u);
  EXPECT_EQ(s.iosum, 4u);
}

TEST(EventLoopStatistics, ZeroTickClearsMinAndNextTickSetsIt) {
  EventLoopStatistics s{};
  s.record(5, 0);
  s.record(0, 0);
  EXPECT_EQ(s.min, 0u);
  EXPECT_EQ(s.max, 5u);
  EXPECT_EQ(s.sum, 5u);
  EXPECT_EQ(s.num, 2u);
  s.record(9, 0);
  EXPECT_EQ(s.min, 9u);
}

TEST(EventLoopStatistics, IoShareOnlyWhenTickExceedsPreIo) {
  EventLoopStatistics s{};
  s.record(4, 4);
  s.record(3, 10);
  EXPECT_EQ(s.iosum, 0u);
  s.record(10, 4);
  EXPECT_EQ(s.iosum, 6u);
}

TEST(EventLoopStatistics, SumsWrapAtTwoToThe32) {
  EventLoopStatistics s{};
  s.num = UINT32_MAX;
  s.sum = UINT32_MAX - 1;
  s.iosum = UINT32_MAX;
  s.record(3, 1);
  EXPECT_EQ(s.num, 0u);
  EXPECT_EQ(s.sum, 1u);
  EXPECT_EQ(s.iosum, 1u);
}
