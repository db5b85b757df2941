// The memory of pending event texts and of delivered batches. A batch at
// ten thousand requests a second is some 30 MB, written once and handed to
// script; how its pages are come by and given back decides what the agent
// costs a service in resident memory and page faults. Engine-free.
#ifndef SRC_TEXT_BLOCK_H_
#define SRC_TEXT_BLOCK_H_

#include <cstddef>
#include <cstring>
#include <string_view>

namespace zeph {
namespace agent {

// An append-only text in one mapping of its own, at every moment. Its pages
// come from the system and go back to it when the block is destroyed,
// whatever the allocator would keep. It grows by letting the system move
// the whole mapping (mremap with MREMAP_MAYMOVE), which moves page tables
// and never copies or faults in the text written so far; a move that fails
// leaves the mapping where it was, so nothing is ever left unmapped or
// written outside the block. Large blocks ask for transparent huge pages,
// so that filling one faults once per 2 MB rather than once per 4 KB.
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

  // Bytes mapped, the most this block can hold resident.
  std::size_t mapped() const { return mapped_; }
  // What a block made for capacity bytes maps; throws std::bad_alloc past
  // what any block can hold.
  static std::size_t mappingFor(std::size_t capacity);

 private:
  void release() noexcept;
  void grow(std::size_t n);

  char* data_ = nullptr;
  std::size_t size_ = 0;
  // Usable bytes: one byte of the mapping stays free for c_str's NUL.
  std::size_t capacity_ = 0;
  std::size_t mapped_ = 0;
};

// The system calls through which blocks get and move their memory, with
// the system's own as defaults. Tests put functions here that fail the way
// some kernels do, to drive every fallback; nothing else changes them.
struct MemoryCalls {
  void* (*map)(std::size_t bytes);
  void* (*remap)(void* old_address, std::size_t old_bytes,
                 std::size_t new_bytes, int flags);
};
extern MemoryCalls memory_calls;

}  // namespace agent
}  // namespace zeph

#endif  // SRC_TEXT_BLOCK_H_
