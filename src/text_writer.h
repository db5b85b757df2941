// An append-only text that checks its room once per piece and writes with
// plain stores. The event writer appends a few hundred short pieces per
// event, and std::string's out-of-line append costs more than the copying.
// Engine-free.
#ifndef SRC_TEXT_WRITER_H_
#define SRC_TEXT_WRITER_H_

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace zeph {
namespace agent {

class TextWriter {
 public:
  void clear() { end_ = begin_.get(); }
  std::size_t size() const { return end_ - begin_.get(); }
  std::size_t capacity() const { return limit_ - begin_.get(); }
  std::string_view view() const {
    return std::string_view(begin_.get(), size());
  }
  // Frees the room when it has grown past bytes.
  void shrink(std::size_t bytes) {
    if (capacity() > bytes) *this = TextWriter();
  }

  // Room for at least n more bytes, to be written from the returned pointer;
  // end() then says where the writing stopped.
  char* room(std::size_t n) {
    if (static_cast<std::size_t>(limit_ - end_) < n) grow(n);
    return end_;
  }
  void end(char* at) { end_ = at; }

  TextWriter& operator+=(char c) {
    *room(1) = c;
    ++end_;
    return *this;
  }
  TextWriter& operator+=(std::string_view text) {
    append(text.data(), text.size());
    return *this;
  }
  void append(const char* bytes, std::size_t n) {
    std::memcpy(room(n), bytes, n);
    end_ += n;
  }

 private:
  void grow(std::size_t n) {
    std::size_t used = size();
    std::size_t wanted = 2 * capacity();
    if (wanted < used + n) wanted = used + n;
    if (wanted < 4096) wanted = 4096;
    std::unique_ptr<char[]> grown(new char[wanted]);
    if (used != 0) std::memcpy(grown.get(), begin_.get(), used);
    begin_ = std::move(grown);
    end_ = begin_.get() + used;
    limit_ = begin_.get() + wanted;
  }

  std::unique_ptr<char[]> begin_;
  char* end_ = nullptr;
  char* limit_ = nullptr;
};

}  // namespace agent
}  // namespace zeph

#endif  // SRC_TEXT_WRITER_H_
