#include "loop_watch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vantarel::heaviest_node;
using vantarel::IterationClock;
using vantarel::TimedSample;
using vantarel::watch_interval_ms;

TEST(LoopWatch, SamplesAtLeastTwiceInAnyBlockAtARoundRate) {
  EXPECT_EQ(watch_interval_ms(1), 10);
  EXPECT_EQ(watch_interval_ms(39), 10);
  EXPECT_EQ(watch_interval_ms(40), 20);
  EXPECT_EQ(watch_interval_ms(100), 50);
  EXPECT_EQ(watch_interval_ms(150), 50);
  EXPECT_EQ(watch_interval_ms(400), 200);
  EXPECT_EQ(watch_interval_ms(60000), 1000);
}

TEST(LoopWatch, AnIterationIsBusyForItsTimeLessItsWaitForIO) {
  IterationClock clock;
  constexpr uint64_t kMs = 1000 * 1000;
  EXPECT_EQ(clock.came_around(1000 * kMs, 50 * kMs), 0u) << "the first";
  // 5 s of which 4.6 s waiting: 400 ms busy.
  EXPECT_EQ(clock.came_around(6000 * kMs, 4650 * kMs), 400 * kMs);
  EXPECT_EQ(clock.came_around(6001 * kMs, 4651 * kMs), 0u);
  // Clocks that disagree by a little never make a negative time.
  EXPECT_EQ(clock.came_around(6002 * kMs, 4660 * kMs), 0u);
  EXPECT_EQ(clock.came_around(6001 * kMs, 4660 * kMs), 0u);
}

struct Node {
  std::string name;
};

TEST(LoopWatch, TheNodeThatStoodForMostOfTheBlockWins) {
  Node handler{"handler"}, read{"read"}, after{"after"},
      gc{"(garbage collector)"};
  auto skip = [](const Node* node) { return node->name.front() == '('; };
  // Samples come in any order. read's one sample was taken when its system
  // call returned, 300 ms after the one before; after ran for 4 samples
  // that stand for 10 ms each.
  std::vector<TimedSample<Node>> samples = {
      {1400, &after},     {1000, &handler}, {301000, &read},
      {311000, &after},   {321000, &after}, {331000, &after},
      {341000, &gc},      {351000, &after}, {500, &after},  // before the block
      {900000, &handler},                                   // after it
  };
  EXPECT_EQ(heaviest_node(samples, 900, 360000, skip), &read);
  // Garbage collection counts for nothing, however long it took.
  samples.push_back({355000, &gc});
  samples.push_back({700000, &gc});
  EXPECT_EQ(heaviest_node(samples, 900, 800000, skip), &read);
  EXPECT_EQ(heaviest_node(samples, 341000, 341001, skip), nullptr);
  EXPECT_EQ(heaviest_node(std::vector<TimedSample<Node>>{}, 0, 10, skip),
            nullptr);
}

}  // namespace
