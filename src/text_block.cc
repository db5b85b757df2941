#include "text_block.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
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

void* system_map(std::size_t bytes) {
  return mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
}

void* system_remap(void* old_address, std::size_t old_bytes,
                   std::size_t new_bytes, int flags) {
  return mremap(old_address, old_bytes, new_bytes, flags);
}

void advise_huge_pages(char* start, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  // Where the system grants huge pages on request, filling the block faults
  // once per 2 MB; elsewhere this does nothing. Only the whole aligned 2 MB
  // ranges inside the mapping can be backed by one.
  if (bytes >= kHugePage) madvise(start, bytes, MADV_HUGEPAGE);
#endif
}

// Maps bytes of fresh memory; a large mapping starts on a huge page
// boundary, so that every 2 MB of it can be a huge page. Throws
// std::bad_alloc.
char* map(std::size_t bytes) {
  const std::size_t slack = bytes >= kHugePage ? kHugePage : 0;
  void* mapped = memory_calls.map(bytes + slack);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  char* start = static_cast<char*>(mapped);
  if (slack != 0) {
    // The slack is this mapping's own: trimming it touches nothing else.
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

}  // namespace

MemoryCalls memory_calls = {system_map, system_remap};

// Capacity usable bytes and the NUL after them: whole huge pages once a
// block is that large.
std::size_t TextBlock::mappingFor(std::size_t capacity) {
  if (capacity >= kLargestMapping) throw std::bad_alloc();
  std::size_t bytes = std::max(capacity + 1, kSmallestMapping);
  return round_up(bytes, bytes < kHugePage ? kPage : kHugePage);
}

TextBlock::TextBlock(std::size_t capacity) {
  std::size_t bytes = mappingFor(capacity);
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

// The block is one mapping before and after, and on every path between:
// growing in place, or moving the whole mapping to where the system finds
// room, either succeeds or leaves it as it was. No move names a fixed
// destination, which would have the system unmap whatever lies there first
// and, on older kernels, keep it unmapped when the move then fails.
void TextBlock::reserve(std::size_t n) {
  if (n <= capacity_) return;
  std::size_t bytes = mappingFor(n);
  if (data_ == nullptr) {
    data_ = map(bytes);
  } else {
    // In place first, which keeps the huge page alignment; a moved
    // mapping starts wherever the system puts it.
    void* grown = memory_calls.remap(data_, mapped_, bytes, 0);
    if (grown == MAP_FAILED) {
      grown = memory_calls.remap(data_, mapped_, bytes, MREMAP_MAYMOVE);
    }
    if (grown == MAP_FAILED) {
      // Refused (out of memory, or a kernel that will not move it): a
      // fresh mapping and a copy, or nothing changes.
      char* fresh = map(bytes);
      std::memcpy(fresh, data_, size_);
      munmap(data_, mapped_);
      grown = fresh;
    } else {
      advise_huge_pages(static_cast<char*>(grown), bytes);
    }
    data_ = static_cast<char*>(grown);
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

}  // namespace agent
}  // namespace zeph
