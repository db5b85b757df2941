#include "census.h"

#include <algorithm>
#include <cstdlib>

namespace vantarel {

std::string census_key(int32_t type, const std::string& name) {
  switch (type) {
    case kCensusString:
      return '"' + name + '"';
    case kCensusRegExp:
      return '/' + name + '/';
    default:
      return name;
  }
}

void count_node(SummaryTable* table, int32_t type, std::string key,
                uint64_t size) {
  auto it = table->find(key);
  if (it == table->end()) {
    HeapInfo info;
    info.name = key;
    it = table->emplace(std::move(key), std::move(info)).first;
  }
  it->second.type = type;
  it->second.size += size;
  it->second.count += 1;
}

bool compare_count(const SummaryTable::value_type& a,
                   const SummaryTable::value_type& b) {
  return a.second.count > b.second.count;
}

void take_requested(SummaryTable* table, const std::string& key,
                    std::vector<HeapInfo>* records) {
  auto it = table->find(key);
  if (it == table->end()) return;
  records->push_back(std::move(it->second));
  records->back().custom = true;
  table->erase(it);
}

void append_ranked(SummaryTable* table, std::vector<HeapInfo>* records) {
  // Sorting pointers in key order keeps equal counts in key order without
  // copying every key.
  std::vector<SummaryTable::value_type*> ranking;
  ranking.reserve(table->size());
  for (auto& entry : *table) ranking.push_back(&entry);
  std::stable_sort(
      ranking.begin(), ranking.end(),
      [](const SummaryTable::value_type* a, const SummaryTable::value_type* b) {
        return compare_count(*a, *b);
      });
  const size_t ranked = std::min(ranking.size(), kRankedRecords);
  for (size_t i = 0; i < ranked; ++i) {
    records->push_back(std::move(ranking[i]->second));
  }
  table->clear();
}

std::string shorten_name(const std::string& name) {
  constexpr int kMaxCharacters = 64;
  mblen(nullptr, 0);
  const char* p = name.data();
  size_t left = name.size();
  for (int characters = 0; characters < kMaxCharacters; ++characters) {
    if (left == 0) return name;
    int length = mblen(p, left);
    if (length < 0) return name;
    // A NUL ends the text as far as mblen is concerned.
    if (length == 0) return name;
    p += length;
    left -= static_cast<size_t>(length);
  }
  return std::string(name.data(), p) + "...";
}

void append_escaped(std::string* out, const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  for (char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        *out += "\\\"";
        break;
      case '\\':
        *out += "\\\\";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      default:
        if (byte < 0x20) {
          *out += "\\u00";
          *out += kHex[byte >> 4];
          *out += kHex[byte & 0xF];
        } else {
          *out += c;
        }
    }
  }
}

std::string census_text(const std::vector<HeapInfo>& records) {
  std::string text = "[";
  for (size_t i = 0; i < records.size(); ++i) {
    const HeapInfo& record = records[i];
    if (i > 0) text += ',';
    text += "{\"name\":\"";
    append_escaped(&text, shorten_name(record.name));
    text += "\",\"size\":";
    text += std::to_string(record.size);
    text += ",\"count\":";
    text += std::to_string(record.count);
    text += ",\"type\":";
    text += record.custom ? "\"CUSTOM\"" : "\"SYSTEM\"";
    text += '}';
  }
  text += ']';
  return text;
}

}  // namespace vantarel
