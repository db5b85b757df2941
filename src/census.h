// Census of a heap snapshot by name: the summary table, the choice of
// records to report and their compact JSON text. Engine-free.
#ifndef SRC_CENSUS_H_
#define SRC_CENSUS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantarel {

// Node type codes of the host's heap graph that the census counts.
constexpr int32_t kCensusString = 2;
constexpr int32_t kCensusObject = 3;
constexpr int32_t kCensusRegExp = 6;

// The ranked part of the census holds at most this many records.
constexpr size_t kRankedRecords = 20;

struct HeapInfo {
  std::string name;
  uint64_t size = 0;
  int64_t count = 0;
  int32_t type = 0;
  bool custom = false;
};

// Counts per key. A large heap holds many thousands of keys, most of them
// strings that occur once, so the keys lie end to end in one buffer and are
// found through an open-addressing index: no allocation per key.
class SummaryTable {
 public:
  struct Row {
    size_t offset;  // of the key in keys_
    size_t length;
    uint64_t size;
    int64_t count;
    int32_t type;
    bool taken;  // moved to the requested records
  };

  // The row of key, added with no counts when there is none.
  Row& row(std::string_view key, int32_t type);
  // The row of key, or null.
  Row* find(std::string_view key);

  std::string_view key(const Row& row) const {
    return std::string_view(keys_).substr(row.offset, row.length);
  }
  std::vector<Row>& rows() { return rows_; }
  void clear();

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  size_t slot_of(std::string_view key, size_t hash) const;
  void grow();

  std::string keys_;
  std::vector<Row> rows_;
  std::vector<size_t> hashes_;  // of each row's key
  std::vector<uint32_t> slots_;
};

inline bool counted_type(int32_t type) {
  return type == kCensusString || type == kCensusObject ||
         type == kCensusRegExp;
}

// The mark around the name in the key of a counted node: double quotes for
// strings, slashes for regular expressions, none (NUL) for objects, which
// are keyed by their constructor name.
inline char census_mark(int32_t type) {
  return type == kCensusString ? '"' : type == kCensusRegExp ? '/' : '\0';
}

// The key of a counted node: its name between its type's marks.
std::string census_key(int32_t type, const std::string& name);

// Counts nodes of a counted type under their key: count nodes of size
// bytes in all.
void count_nodes(SummaryTable* table, int32_t type, std::string_view key,
                 uint64_t size, int64_t count);

inline void count_node(SummaryTable* table, int32_t type, std::string_view key,
                       uint64_t size) {
  count_nodes(table, type, key, size, 1);
}

// Ranking order: larger counts first, equal counts in byte-wise key order
// (the keys' chars compare as unsigned).
bool compare_count(const SummaryTable& table, const SummaryTable::Row& a,
                   const SummaryTable::Row& b);

// Moves the record of a requested key, when the table holds it, to the end
// of records and marks it custom. A key already taken is no longer there.
void take_requested(SummaryTable* table, const std::string& key,
                    std::vector<HeapInfo>* records);

// Appends the most numerous of the keys left in the table, equal counts in
// key order, and empties the table.
void append_ranked(SummaryTable* table, std::vector<HeapInfo>* records);

// The first 64 characters of name and "..." when it has 64 or more; name
// unchanged when shorter or when the C library cannot measure it in the
// current locale's multibyte encoding.
std::string shorten_name(const std::string& name);

// Appends name as the inside of a JSON string.
void append_escaped(std::string* out, const std::string& name);

// [{"name":...,"size":...,"count":...,"type":"CUSTOM"|"SYSTEM"},...]
std::string census_text(const std::vector<HeapInfo>& records);

}  // namespace vantarel

#endif  // SRC_CENSUS_H_
