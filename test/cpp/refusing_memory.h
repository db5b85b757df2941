// System memory calls for tests that drive the text blocks' fallbacks.
#ifndef TEST_CPP_REFUSING_MEMORY_H_
#define TEST_CPP_REFUSING_MEMORY_H_

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstddef>

#include "text_block.h"

// Stands in for the system's calls: each call of remap may be refused, and
// one that names a fixed destination does what kernels before 6.17 do with
// a source of several mappings: the destination is unmapped, then the move
// fails.
struct RefusingMemory {
  static inline int remaps = 0;
  static inline int fixed_moves = 0;
  static inline int refuse_every = 0;
  static inline int refused_errno = ENOMEM;
  static inline bool refuse_maps = false;

  static void* remap(void* old_address, std::size_t old_bytes,
                     std::size_t new_bytes, int flags) {
    ++remaps;
    if (flags & MREMAP_FIXED) {
      ++fixed_moves;
      errno = EFAULT;
      return MAP_FAILED;
    }
    if (refuse_every != 0 && remaps % refuse_every == 0) {
      errno = refused_errno;
      return MAP_FAILED;
    }
    return mremap(old_address, old_bytes, new_bytes, flags);
  }
  static void* map(std::size_t bytes) {
    if (refuse_maps) {
      errno = ENOMEM;
      return MAP_FAILED;
    }
    return mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  }
};

class RefusedRemaps : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = zeph::agent::memory_calls;
    zeph::agent::memory_calls = {RefusingMemory::map, RefusingMemory::remap};
    RefusingMemory::remaps = RefusingMemory::fixed_moves = 0;
    RefusingMemory::refuse_every = 0;
    RefusingMemory::refuse_maps = false;
  }
  void TearDown() override { zeph::agent::memory_calls = saved_; }

 private:
  zeph::agent::MemoryCalls saved_;
};

#endif  // TEST_CPP_REFUSING_MEMORY_H_
