#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace {

// The addon's own definition stands in for libstdc++'s on older systems; a
// request past what the allocator can count must still throw the standard
// type, never return.
TEST(LibstdcxxCompat, OversizedAllocationThrowsBadArrayNewLength) {
  std::allocator<uint64_t> allocator;
  EXPECT_THROW(static_cast<void>(allocator.allocate(SIZE_MAX)),
               std::bad_array_new_length);
}

}  // namespace
