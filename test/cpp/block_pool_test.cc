#include "block_pool.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using zeph::agent::BlockPool;
using zeph::agent::TextBlock;

// The engine gives a batch back from its release of a string or a buffer,
// where an exception would end the process.
static_assert(noexcept(
    std::declval<BlockPool&>().giveBack(std::declval<TextBlock&&>(), true)));
static_assert(
    noexcept(std::declval<BlockPool&>().give(std::declval<TextBlock&&>())));
static_assert(std::is_nothrow_destructible_v<TextBlock>);

// Delivered blocks may come back late, or many at once when the engine
// frees a burst of batches: the pool keeps one, within its limit, and the
// rest go back to the system.
TEST(BlockPool, KeepsOneSpareWithinTheLimit) {
  BlockPool pool;
  pool.keepUpTo(std::size_t{8} << 20);
  std::vector<TextBlock> lent;
  int i = 0;
  for (std::size_t mb : {1, 6, 3, 12}) {
    lent.push_back(pool.take(mb << 20));
    lent.back().append(std::string(mb * 1000, 'x'));
    pool.lend(lent.back(), i++ % 2 == 0);
  }
  EXPECT_EQ(pool.counters().outstandingBlocks, 4u);
  EXPECT_EQ(pool.counters().mappedBlocks, 4u);
  EXPECT_EQ(pool.uncountedBytes(), lent[1].size() + lent[3].size());
  i = 0;
  for (TextBlock& block : lent) pool.giveBack(std::move(block), i++ % 2 == 0);
  EXPECT_EQ(pool.uncountedBytes(), 0u);
  BlockPool::Counters after = pool.counters();
  EXPECT_EQ(after.outstandingBlocks, 0u);
  EXPECT_EQ(after.outstandingBytes, 0u);
  EXPECT_GE(after.spareBytes, std::size_t{6} << 20) << "the largest that fits";
  EXPECT_LE(after.spareBytes, std::size_t{8} << 20);

  EXPECT_TRUE(pool.hasSpare());
  TextBlock next = pool.take(std::size_t{5} << 20);
  EXPECT_EQ(pool.counters().mappedBlocks, 4u) << "the spare served";
  EXPECT_EQ(pool.counters().spareBytes, 0u);
  EXPECT_FALSE(pool.hasSpare());
  pool.keepUpTo(0);
  pool.give(std::move(next));
  EXPECT_EQ(pool.counters().spareBytes, 0u) << "nothing is kept at 0";
}

TEST(BlockPool, DropsASpareFarLargerThanWhatIsAsked) {
  BlockPool pool;
  pool.keepUpTo(std::size_t{64} << 20);
  pool.give(pool.take(std::size_t{40} << 20));
  ASSERT_GT(pool.counters().spareBytes, 0u);
  TextBlock small = pool.take(1000);
  EXPECT_LT(small.mapped(), std::size_t{1} << 20);
  EXPECT_EQ(pool.counters().spareBytes, 0u);
  EXPECT_EQ(pool.counters().mappedBlocks, 2u);
}

}  // namespace
