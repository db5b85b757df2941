#include "block_pool.h"

#include <utility>

namespace zeph {
namespace agent {

TextBlock BlockPool::take(std::size_t capacity) {
  TextBlock block = takeSpare();
  // A spare far larger than what is asked for would hold memory for good
  // once the load has dropped.
  if (block.mapped() > 2 * TextBlock::mappingFor(capacity)) block = TextBlock();
  if (block.mapped() == 0) {
    block = TextBlock(capacity);
    mappedBlocks_.fetch_add(1, std::memory_order_relaxed);
  } else {
    block.reserve(capacity);
  }
  block.clear();
  return block;
}

TextBlock BlockPool::takeSpare() noexcept {
  TextBlock spare;
  if (!hasSpare()) return spare;
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    spare = std::move(spare_);
    hasSpare_.store(false, std::memory_order_relaxed);
  } catch (...) {
    // The lock failed: no spare this time.
  }
  return spare;
}

void BlockPool::lend(const TextBlock& block, bool engineCounts) noexcept {
  outstandingBlocks_.fetch_add(1, std::memory_order_relaxed);
  outstandingBytes_.fetch_add(block.size(), std::memory_order_relaxed);
  if (!engineCounts) {
    outstandingUncounted_.fetch_add(block.size(), std::memory_order_relaxed);
  }
}

void BlockPool::giveBack(TextBlock&& block, bool engineCounts) noexcept {
  outstandingBlocks_.fetch_sub(1, std::memory_order_relaxed);
  outstandingBytes_.fetch_sub(block.size(), std::memory_order_relaxed);
  if (!engineCounts) {
    outstandingUncounted_.fetch_sub(block.size(), std::memory_order_relaxed);
  }
  give(std::move(block));
}

void BlockPool::give(TextBlock&& block) noexcept {
  // Unmapped when this function returns, unless it became the spare; out
  // of the lock, as unmapping megabytes takes a while.
  TextBlock unkept(std::move(block));
  if (unkept.mapped() == 0 ||
      unkept.mapped() > keepLimit_.load(std::memory_order_relaxed)) {
    return;
  }
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    // Of two, the larger is kept: the next batch is likely as large as the
    // last.
    if (unkept.mapped() > spare_.mapped()) std::swap(unkept, spare_);
    hasSpare_.store(true, std::memory_order_relaxed);
  } catch (...) {
    // The lock failed: the block goes back to the system.
  }
}

BlockPool::Counters BlockPool::counters() {
  Counters counters{};
  counters.outstandingBlocks =
      outstandingBlocks_.load(std::memory_order_relaxed);
  counters.outstandingBytes = outstandingBytes_.load(std::memory_order_relaxed);
  counters.outstandingUncounted = uncountedBytes();
  counters.mappedBlocks = mappedBlocks_.load(std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(mutex_);
  counters.spareBytes = spare_.mapped();
  return counters;
}

}  // namespace agent
}  // namespace zeph
