#include "text_block.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cerrno>
#include <new>
#include <string>
#include <utility>

#include "refusing_memory.h"

namespace {

using zeph::agent::TextBlock;

TEST(TextBlock, GrowsWithoutLosingItsText) {
  TextBlock block;
  EXPECT_STREQ(block.c_str(), "");
  std::string expected;
  // Past a few remappings, the large ones in huge pages.
  for (int i = 0; expected.size() < (std::size_t{5} << 20); ++i) {
    std::string piece = std::to_string(i) + ", ";
    block.append(piece);
    expected += piece;
  }
  EXPECT_EQ(block.view(), expected);
  EXPECT_GE(block.mapped(), block.capacity() + 1);
  block.erase(1, 3);
  expected.erase(1, 3);
  block.truncate(10);
  EXPECT_EQ(std::string(block.c_str()), expected.substr(0, 10));
  TextBlock moved(std::move(block));
  EXPECT_EQ(block.mapped(), 0u);
  EXPECT_EQ(moved.view(), expected.substr(0, 10));
}

TEST_F(RefusedRemaps, GrowthFallsBackToACopyOrLeavesTheBlockAsItWas) {
  for (int refused : {EFAULT, ENOMEM}) {
    RefusingMemory::refused_errno = refused;
    RefusingMemory::refuse_every = 1;
    TextBlock block(1000);
    std::string expected;
    while (expected.size() < (std::size_t{5} << 20)) {
      std::string piece(4000, static_cast<char>('a' + expected.size() % 26));
      block.append(piece);
      expected += piece;
    }
    EXPECT_EQ(block.view(), expected) << "copied into fresh mappings";
    RefusingMemory::refuse_maps = true;
    const char* data = block.data();
    const std::size_t capacity = block.capacity();
    EXPECT_THROW(block.reserve(capacity * 2), std::bad_alloc);
    EXPECT_EQ(block.data(), data);
    EXPECT_EQ(block.capacity(), capacity);
    EXPECT_EQ(block.view(), expected);
    RefusingMemory::refuse_maps = false;
  }
  EXPECT_EQ(RefusingMemory::fixed_moves, 0);
}

}  // namespace
