#include "transaction_record.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace zeph {
namespace agent {

void TransactionRecord::clear() {
  eventTimestamp = requestGUID = transactionName = Text();
  clientRequestGUID = requestExperience = url = principal = sessionId = Text();
  transactionId = transactionTime = 0;
  entryPoint = false;
  exitCalls.clear();
  kept_ = 0;
  entries_.clear();
  std::fill(std::begin(first_), std::end(first_), 0);
  std::fill(std::begin(last_), std::end(last_), 0);
}

namespace {

constexpr uint64_t kHighBits = 0x8080808080808080u;

constexpr uint64_t kOnes = 0x0101010101010101u;

// Cuts size at the first NUL of text and counts the bytes from 0x80 up
// before it, in one pass.
std::size_t count_high(const char* text, std::size_t* size) {
  std::size_t high = 0;
  std::size_t i = 0;
  // Eight bytes at a time, as texts are mostly ASCII without NULs.
  for (; i + 8 <= *size; i += 8) {
    uint64_t word;
    std::memcpy(&word, text + i, 8);
    if (((word - kOnes) & ~word & kHighBits) != 0) break;
    word &= kHighBits;
    if (word != 0) high += __builtin_popcountll(word);
  }
  for (; i < *size; ++i) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte == 0) {
      *size = i;
      break;
    }
    high += byte >> 7;
  }
  return high;
}

}  // namespace

TransactionRecord::Text TransactionRecord::add(std::string_view text) {
  std::memcpy(room(text.size()), text.data(), text.size());
  Text out{kept_, text.size()};
  kept_ += text.size();
  return out;
}

char* TransactionRecord::room(std::size_t capacity) {
  // The buffer only grows, and doubles when it does, so a reused record
  // writes its texts without filling or moving the bytes first.
  if (bytes_.size() - kept_ < capacity) {
    bytes_.resize(std::max(2 * bytes_.size(), kept_ + capacity));
  }
  return &bytes_[kept_];
}

TransactionRecord::Text TransactionRecord::keepUtf8(std::size_t size) {
  const char* text = bytes_.data() + kept_;
  const void* nul = std::memchr(text, '\0', size);
  if (nul != nullptr) size = static_cast<const char*>(nul) - text;
  Text out{kept_, size};
  kept_ += size;
  return out;
}

TransactionRecord::Text TransactionRecord::keepLatin1(std::size_t size) {
  std::size_t high = count_high(bytes_.data() + kept_, &size);
  if (high != 0) {
    // Each byte from 0x80 up takes two bytes in UTF-8: spread from the end.
    char* p = room(size + high);
    std::size_t to = size + high;
    for (std::size_t from = size; from-- > 0;) {
      unsigned char byte = static_cast<unsigned char>(p[from]);
      if (byte < 0x80) {
        p[--to] = static_cast<char>(byte);
      } else {
        p[--to] = static_cast<char>(0x80 | (byte & 0x3F));
        p[--to] = static_cast<char>(0xC0 | (byte >> 6));
      }
    }
    size += high;
  }
  Text out{kept_, size};
  kept_ += size;
  return out;
}

bool TransactionRecord::keepAscii(std::size_t size, Text* out) {
  const char* text = bytes_.data() + kept_;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, text + i, 8);
    if ((((word - kOnes) & ~word) | word) & kHighBits) return false;
  }
  for (; i < size; ++i) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte == 0 || byte >= 0x80) return false;
  }
  *out = Text{kept_, size};
  kept_ += size;
  return true;
}

TransactionRecord::Text TransactionRecord::addLatin1(const char* bytes,
                                                     std::size_t size) {
  std::memcpy(room(size), bytes, size);
  return keepLatin1(size);
}

TransactionRecord::Text TransactionRecord::addUtf16(const char16_t* units,
                                                    std::size_t size) {
  // A UTF-16 unit takes at most three bytes of UTF-8.
  unsigned char* out = reinterpret_cast<unsigned char*>(room(3 * size));
  std::size_t n = 0;
  for (std::size_t i = 0; i < size; ++i) {
    uint32_t c = units[i];
    if (c == 0) break;
    if (c >= 0xD800 && c < 0xE000) {
      bool paired = c < 0xDC00 && i + 1 < size && units[i + 1] >= 0xDC00 &&
                    units[i + 1] < 0xE000;
      if (paired) {
        c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
      } else {
        c = 0xFFFD;
      }
    }
    if (c < 0x80) {
      out[n++] = static_cast<unsigned char>(c);
    } else if (c < 0x800) {
      out[n++] = static_cast<unsigned char>(0xC0 | (c >> 6));
      out[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out[n++] = static_cast<unsigned char>(0xE0 | (c >> 12));
      out[n++] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      out[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
      // Two units made these four bytes.
      out[n++] = static_cast<unsigned char>(0xF0 | (c >> 18));
      out[n++] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      out[n++] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      out[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
  }
  Text text{kept_, n};
  kept_ += n;
  return text;
}

void TransactionRecord::startMap(Map map) {
  first_[map] = last_[map] = entries_.size();
}

void TransactionRecord::endMap(Map map) {
  auto first = entries_.begin() + first_[map];
  // Keys are added in reading order, so among equal keys the one added last
  // has the highest offset.
  std::sort(first, entries_.end(), [this](const Entry& a, const Entry& b) {
    int order = view(a.key).compare(view(b.key));
    return order != 0 ? order < 0 : a.key.begin < b.key.begin;
  });
  auto kept = first;
  for (auto it = first; it != entries_.end(); ++it) {
    auto next = it + 1;
    if (next != entries_.end() && view(next->key) == view(it->key)) continue;
    *kept++ = *it;
  }
  entries_.erase(kept, entries_.end());
  last_[map] = entries_.size();
}

}  // namespace agent
}  // namespace zeph
