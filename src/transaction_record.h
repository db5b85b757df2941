// One transaction as the script interface reads it, in a form that a reused
// record fills without an allocation per value: every text is a slice of one
// byte buffer and the map entries of all maps share one list. Engine-free.
#ifndef SRC_TRANSACTION_RECORD_H_
#define SRC_TRANSACTION_RECORD_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zeph {
namespace agent {

class TransactionRecord {
 public:
  // Bytes [begin, begin + size) of the record's buffer.
  struct Text {
    std::size_t begin = 0;
    std::size_t size = 0;
  };

  struct Entry {
    Text key;
    Text value;
  };

  struct ExitCall {
    Text exitCallType;
    uint32_t avgResponseTimeMillis = 0;
    uint32_t numberOfCalls = 0;
    uint32_t numberOfErrors = 0;
  };

  // The text maps, in the order of the event.
  enum Map {
    kSessionObjects,
    kUriPathSegments,
    kParameters,
    kHeaders,
    kCookies,
    kUserData,
    kMapCount,
  };

  Text eventTimestamp;
  Text requestGUID;
  int32_t transactionId = 0;
  Text transactionName;
  Text clientRequestGUID;
  Text requestExperience;
  int32_t transactionTime = 0;
  bool entryPoint = false;
  std::vector<ExitCall> exitCalls;
  Text url;
  Text principal;
  Text sessionId;

  // Empties the record and keeps its buffers' capacity.
  void clear();
  // Bytes held by the record's buffers.
  std::size_t capacity() const {
    return bytes_.size() + entries_.capacity() * sizeof(Entry) +
           exitCalls.capacity() * sizeof(ExitCall);
  }

  std::string_view view(Text text) const {
    return std::string_view(bytes_.data() + text.begin, text.size);
  }

  Text add(std::string_view text);
  // Room for at most capacity bytes after the last text, for a writer that
  // fills them in place; the bytes already written there are kept when the
  // room grows. keepUtf8 or keepLatin1 then makes them the next text.
  char* room(std::size_t capacity);
  // The text ends at its first NUL.
  Text keepUtf8(std::size_t size);
  // Latin-1 bytes, turned into UTF-8 in place; the text ends at its first
  // NUL.
  Text keepLatin1(std::size_t size);
  // Keeps the size bytes written into room() as one text, as they are, when
  // they are ASCII without NUL and so UTF-8 already; false otherwise, and
  // nothing is kept.
  bool keepAscii(std::size_t size, Text* out);
  // Copies of Latin-1 bytes or UTF-16 units as UTF-8 texts, which end at
  // their first NUL; a lone surrogate becomes U+FFFD.
  Text addLatin1(const char* bytes, std::size_t size);
  Text addUtf16(const char16_t* units, std::size_t size);

  // Entries added between startMap and endMap form the map. A map keeps
  // the byte-wise order of its keys and, of equal keys, the entry added
  // last; a map never started is empty.
  void startMap(Map map);
  void addEntry(Text key, Text value) { entries_.push_back({key, value}); }
  void endMap(Map map);
  const Entry* begin(Map map) const { return entries_.data() + first_[map]; }
  const Entry* end(Map map) const { return entries_.data() + last_[map]; }
  bool empty(Map map) const { return first_[map] == last_[map]; }

 private:
  // Texts fill [0, kept_); room() writes from kept_ on.
  std::string bytes_;
  std::size_t kept_ = 0;
  std::vector<Entry> entries_;
  std::size_t first_[kMapCount] = {};
  std::size_t last_[kMapCount] = {};
};

}  // namespace agent
}  // namespace zeph

#endif  // SRC_TRANSACTION_RECORD_H_
