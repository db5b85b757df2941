// Where the blocks of delivered batches come back. Engine-free.
#ifndef SRC_BLOCK_POOL_H_
#define SRC_BLOCK_POOL_H_

#include <atomic>
#include <cstddef>
#include <mutex>

#include "text_block.h"

namespace zeph {
namespace agent {

// Blocks of delivered batches come back here when the engine frees them; the
// pool keeps at most one, of a bounded size, for the next pending texts
// (its pages are resident: writing there neither faults nor has the system
// clear fresh pages), and unmaps the rest. What it keeps is bounded in
// bytes, whatever the number of batches that come back late or all at once.
class BlockPool {
 public:
  // What the pool has seen, for measuring.
  struct Counters {
    std::size_t outstandingBlocks;  // delivered, not yet back
    std::size_t outstandingBytes;
    std::size_t outstandingUncounted;  // of them, bytes the engine ignores
    std::size_t spareBytes;            // kept for the next pending texts
    std::size_t mappedBlocks;          // blocks mapped fresh so far
  };

  // A block with room for at least capacity bytes: the spare when there is
  // one (grown if need be), else a fresh one. Throws std::bad_alloc.
  TextBlock take(std::size_t capacity);
  // Whether a spare waits; cheap enough to ask at every record.
  bool hasSpare() const { return hasSpare_.load(std::memory_order_relaxed); }
  // The spare, or an empty block.
  TextBlock takeSpare() noexcept;
  void dropSpare() noexcept { takeSpare(); }

  // The largest spare kept from now on; 0 keeps none.
  void keepUpTo(std::size_t bytes) {
    keepLimit_.store(bytes, std::memory_order_relaxed);
  }

  // A block leaves for script; engineCounts says whether the engine counts
  // its bytes as its own when it schedules collections.
  void lend(const TextBlock& block, bool engineCounts) noexcept;
  // Bytes lent that the engine does not count, and that are not back.
  std::size_t uncountedBytes() const {
    return outstandingUncounted_.load(std::memory_order_relaxed);
  }
  // A lent block is back. The engine calls this when it frees a batch, on
  // whatever thread does that, so it neither throws nor allocates.
  void giveBack(TextBlock&& block, bool engineCounts) noexcept;
  // A block that was never lent, for the same use.
  void give(TextBlock&& block) noexcept;

  Counters counters();

 private:
  std::mutex mutex_;
  TextBlock spare_;
  std::atomic<bool> hasSpare_{false};
  std::atomic<std::size_t> keepLimit_{0};
  std::atomic<std::size_t> outstandingBlocks_{0};
  std::atomic<std::size_t> outstandingBytes_{0};
  std::atomic<std::size_t> outstandingUncounted_{0};
  std::atomic<std::size_t> mappedBlocks_{0};
};

}  // namespace agent
}  // namespace zeph

#endif  // SRC_BLOCK_POOL_H_
