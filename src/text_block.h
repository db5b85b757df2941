// The memory of pending event texts and of delivered batches. A batch at
// ten thousand requests a second is some 30 MB, written once and handed to
// script; how its pages are come by and given back decides what the agent
// costs a service in resident memory and page faults. Engine-free.
#ifndef SRC_TEXT_BLOCK_H_
#define SRC_TEXT_BLOCK_H_

#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string_view>

namespace zeph {
namespace agent {

// An append-only text in memory mapped for it alone. Its pages come from the
// system and go back to it when the block is destroyed, whatever the
// allocator would keep; it grows by remapping, which moves page tables and
// never copies or faults in the text written so far. Large blocks ask for
// transparent huge pages, so that filling one faults once per 2 MB rather
// than once per 4 KB.
class TextBlock {
 public:
  TextBlock() noexcept = default;
  // Room for at least capacity bytes; throws std::bad_alloc.
  explicit TextBlock(std::size_t capacity);
  ~TextBlock();
  TextBlock(TextBlock&& other) noexcept;
  TextBlock& operator=(TextBlock&& other) noexcept;
  TextBlock(const TextBlock&) = delete;
  TextBlock& operator=(const TextBlock&) = delete;

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return std::string_view(data_, size_); }
  // The text followed by a NUL, which the capacity always has room for.
  const char* c_str() {
    if (data_ == nullptr) return "";
    data_[size_] = '\0';
    return data_;
  }

  // Room for at least n bytes in all; throws std::bad_alloc and then leaves
  // the block as it was.
  void reserve(std::size_t n);
  void append(const char* bytes, std::size_t n) {
    std::memcpy(room(n), bytes, n);
    size_ += n;
  }
  void append(std::string_view text) { append(text.data(), text.size()); }
  void push_back(char c) { append(&c, 1); }
  TextBlock& operator+=(char c) {
    push_back(c);
    return *this;
  }
  TextBlock& operator+=(std::string_view text) {
    append(text);
    return *this;
  }
  // Room for at least n more bytes, to be written from the returned
  // pointer; end() then says where the writing stopped. The event writer
  // writes this way, straight into the pending texts.
  char* room(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return data_ + size_;
  }
  void end(char* at) { size_ = at - data_; }
  // Shortens the text to n bytes (n at most size()).
  void truncate(std::size_t n) { size_ = n; }
  // Removes n bytes from pos on.
  void erase(std::size_t pos, std::size_t n);
  void clear() { size_ = 0; }

  // Moves this text into the front of target, whose pages there are given
  // back, and leaves this block empty: page tables move, the text is not
  // copied, and target's pages past it are kept for the text to grow into.
  // False, with both blocks as they were, when target is too small or the
  // system refuses.
  bool moveInto(TextBlock& target) noexcept;

  // Bytes mapped, the most this block can hold resident.
  std::size_t mapped() const { return mapped_; }

 private:
  void release() noexcept;
  void grow(std::size_t n);

  char* data_ = nullptr;
  std::size_t size_ = 0;
  // Usable bytes: one byte of the mapping stays free for c_str's NUL.
  std::size_t capacity_ = 0;
  std::size_t mapped_ = 0;
};

// Blocks of delivered batches come back here when the engine frees them; the
// pool keeps at most one, of a bounded size, for the pending texts to move
// into (their pages are resident: writing there neither faults nor has the
// system clear fresh pages), and unmaps the rest. What it keeps is bounded
// in bytes, whatever the number of batches that come back late or all at
// once.
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

#endif  // SRC_TEXT_BLOCK_H_
