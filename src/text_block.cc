#include "text_block.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace zeph {
namespace agent {

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kHugePage = std::size_t{1} << 21;
// Small texts share nothing with the allocator either; this keeps their
// blocks from being remapped at every few events.
constexpr std::size_t kSmallestMapping = 64 * 1024;
constexpr std::size_t kLargestMapping =
    std::numeric_limits<std::size_t>::max() / 4;

std::size_t round_up(std::size_t n, std::size_t unit) {
  return (n + unit - 1) / unit * unit;
}

// Bytes to map for capacity usable bytes and the NUL after them: whole huge
// pages once a block is that large.
std::size_t mapping_for(std::size_t capacity) {
  if (capacity >= kLargestMapping) throw std::bad_alloc();
  std::size_t bytes = std::max(capacity + 1, kSmallestMapping);
  return round_up(bytes, bytes < kHugePage ? kPage : kHugePage);
}

void advise_huge_pages(char* start, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  // Where the system grants huge pages on request, filling the block faults
  // once per 2 MB; elsewhere this does nothing.
  if (bytes >= kHugePage) madvise(start, bytes, MADV_HUGEPAGE);
#endif
}

// Maps bytes of fresh memory; a large mapping starts on a huge page
// boundary, as only whole aligned 2 MB ranges can be backed by one.
char* map(std::size_t bytes) {
  const std::size_t slack = bytes >= kHugePage ? kHugePage : 0;
  void* mapped = mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  char* start = static_cast<char*>(mapped);
  if (slack != 0) {
    char* aligned = reinterpret_cast<char*>(
        round_up(reinterpret_cast<std::uintptr_t>(start), kHugePage));
    if (aligned != start) munmap(start, aligned - start);
    char* end = aligned + bytes;
    if (end != start + bytes + slack) munmap(end, start + bytes + slack - end);
    start = aligned;
  }
  advise_huge_pages(start, bytes);
  return start;
}

// Moves the bytes mapped at from to the same offsets at to, which is mapped
// and at least as large: page tables move where the system lets them, in
// pieces that each lie within one of its mappings, and whatever it refuses
// is copied. Leaves nothing mapped at from.
void move_pages(char* from, std::size_t bytes, char* to) noexcept {
  std::size_t offset = 0;
  while (offset < bytes) {
    std::size_t piece = bytes - offset;
    // A piece that spans two mappings fails as a whole (EFAULT) and moves
    // nothing: halve it until it lies within one.
    while (mremap(from + offset, piece, piece, MREMAP_MAYMOVE | MREMAP_FIXED,
                  to + offset) == MAP_FAILED) {
      if (errno != EFAULT || piece == kPage) {
        std::memcpy(to + offset, from + offset, bytes - offset);
        munmap(from + offset, bytes - offset);
        return;
      }
      piece = round_up(piece / 2, kPage);
    }
    offset += piece;
  }
}

}  // namespace

TextBlock::TextBlock(std::size_t capacity) {
  std::size_t bytes = mapping_for(capacity);
  data_ = map(bytes);
  mapped_ = bytes;
  capacity_ = bytes - 1;
}

TextBlock::~TextBlock() { release(); }

TextBlock::TextBlock(TextBlock&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

TextBlock& TextBlock::operator=(TextBlock&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    mapped_ = std::exchange(other.mapped_, 0);
  }
  return *this;
}

void TextBlock::release() noexcept {
  if (data_ != nullptr) munmap(data_, mapped_);
  data_ = nullptr;
  size_ = capacity_ = mapped_ = 0;
}

void TextBlock::reserve(std::size_t n) {
  if (n <= capacity_) return;
  std::size_t bytes = mapping_for(n);
  void* moved = data_ == nullptr
                    ? MAP_FAILED
                    : mremap(data_, mapped_, bytes, MREMAP_MAYMOVE);
  if (moved != MAP_FAILED) {
    data_ = static_cast<char*>(moved);
    advise_huge_pages(data_, bytes);
  } else {
    // No block yet, or one the system cannot remap whole: after moveInto
    // its pages are several mappings, which mremap takes one at a time.
    char* grown = map(bytes);
    if (data_ != nullptr) move_pages(data_, mapped_, grown);
    data_ = grown;
  }
  mapped_ = bytes;
  capacity_ = bytes - 1;
}

void TextBlock::grow(std::size_t n) {
  if (n >= kLargestMapping - size_) throw std::bad_alloc();
  reserve(std::max(size_ + n, 2 * capacity_));
}

void TextBlock::erase(std::size_t pos, std::size_t n) {
  std::memmove(data_ + pos, data_ + pos + n, size_ - pos - n);
  size_ -= n;
}

bool TextBlock::moveInto(TextBlock& target) noexcept {
  // Whole pages of the text, whole huge pages where both blocks have them,
  // so that those move as they are.
  const std::size_t unit =
      mapped_ >= kHugePage && target.mapped_ >= kHugePage ? kHugePage : kPage;
  const std::size_t bytes = std::min(round_up(size_, unit), mapped_);
  if (data_ == nullptr || target.data_ == nullptr || size_ > target.capacity_ ||
      bytes > target.mapped_) {
    return false;
  }
  if (bytes != 0 && mremap(data_, bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED,
                           target.data_) == MAP_FAILED) {
    return false;
  }
  if (bytes != mapped_) munmap(data_ + bytes, mapped_ - bytes);
  target.size_ = size_;
  data_ = nullptr;
  size_ = capacity_ = mapped_ = 0;
  return true;
}

TextBlock BlockPool::take(std::size_t capacity) {
  TextBlock block = takeSpare();
  // A spare far larger than what is asked for would hold memory for good
  // once the load has dropped.
  if (block.mapped() > 2 * mapping_for(capacity)) block = TextBlock();
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
