#include "name_tally.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// Handles are plain pointers here: == compares identity, as the engine's do.
using Tally = vantarel::NameTally<const char*>;

TEST(NameTally, MatchesNamesByIdentityHashAndType) {
  const char one[] = "Order";
  const char same_text[] = "Order";
  Tally tally;
  tally.add(one, 7, 3, 16);
  tally.add(one, 7, 3, 24);
  // Equal text in another object, and the same object as another type,
  // are other entries: turned into keys they meet again in the table.
  tally.add(same_text, 7, 3, 8);
  tally.add(one, 7, 2, 8);
  // Enough names to make the index grow while they are counted.
  static char many[5000];
  for (int round = 0; round < 2; ++round) {
    for (char& c : many)
      tally.add(&c, static_cast<uint32_t>(&c - many) % 3, 3, 1);
  }
  ASSERT_EQ(tally.entries().size(), 3u + 5000u);
  const Tally::Entry& first = tally.entries()[0];
  EXPECT_EQ(first.name, one);
  EXPECT_EQ(first.count, 2);
  EXPECT_EQ(first.size, 40u);
  EXPECT_EQ(tally.entries()[1].name, same_text);
  EXPECT_EQ(tally.entries()[2].type, 2);
  for (size_t i = 3; i < tally.entries().size(); ++i) {
    ASSERT_EQ(tally.entries()[i].count, 2) << i;
  }
  tally.clear();
  EXPECT_TRUE(tally.entries().empty());
  tally.add(one, 7, 3, 1);
  EXPECT_EQ(tally.entries().size(), 1u);
}

}  // namespace
