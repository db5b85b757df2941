// Census of a heap snapshot by name: the summary table, the choice of
// records to report and their compact JSON text. Engine-free.
#ifndef SRC_CENSUS_H_
#define SRC_CENSUS_H_

#include <cstdint>
#include <map>
#include <string>
#include <utility>
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

// Keys ordered byte-wise (std::string compares its chars as unsigned).
using SummaryTable = std::map<std::string, HeapInfo>;

inline bool counted_type(int32_t type) {
  return type == kCensusString || type == kCensusObject ||
         type == kCensusRegExp;
}

// The key of a counted node: strings in double quotes, regular expressions
// between slashes, objects by their constructor name.
std::string census_key(int32_t type, const std::string& name);

// Counts one node of a counted type under its key.
void count_node(SummaryTable* table, int32_t type, std::string key,
                uint64_t size);

// Ranking order: larger counts first.
bool compare_count(const SummaryTable::value_type& a,
                   const SummaryTable::value_type& b);

// Moves the record of a requested key, when the table holds it, to the end
// of records and marks it custom. A key already taken is no longer there.
void take_requested(SummaryTable* table, const std::string& key,
                    std::vector<HeapInfo>* records);

// Appends the most numerous of the keys left in the table, equal counts in
// key order, and empties the table.
void append_ranked(SummaryTable* table, std::vector<HeapInfo>* records);

// The first 64 characters of name and "..." when it has 64 or more; name
// unchanged when shorter or when mblen cannot measure it.
std::string shorten_name(const std::string& name);

// Appends name as the inside of a JSON string.
void append_escaped(std::string* out, const std::string& name);

// [{"name":...,"size":...,"count":...,"type":"CUSTOM"|"SYSTEM"},...]
std::string census_text(const std::vector<HeapInfo>& records);

}  // namespace vantarel

#endif  // SRC_CENSUS_H_
