#include "census.h"

#include <algorithm>
#include <cwchar>
#include <functional>

namespace vantarel {

std::string census_key(int32_t type, const std::string& name) {
  const char mark = census_mark(type);
  return mark == '\0' ? name : mark + name + mark;
}

SummaryTable::Row& SummaryTable::row(std::string_view key, int32_t type) {
  if (2 * (rows_.size() + 1) > slots_.size()) grow();
  const size_t hash = std::hash<std::string_view>()(key);
  const size_t slot = slot_of(key, hash);
  if (slots_[slot] != kEmpty) return rows_[slots_[slot]];
  slots_[slot] = static_cast<uint32_t>(rows_.size());
  rows_.push_back(Row{keys_.size(), key.size(), 0, 0, type, false});
  hashes_.push_back(hash);
  keys_.append(key);
  return rows_.back();
}

SummaryTable::Row* SummaryTable::find(std::string_view key) {
  if (slots_.empty()) return nullptr;
  const uint32_t index =
      slots_[slot_of(key, std::hash<std::string_view>()(key))];
  return index == kEmpty ? nullptr : &rows_[index];
}

void SummaryTable::clear() {
  keys_.clear();
  rows_.clear();
  hashes_.clear();
  slots_.clear();
}

// The slot that holds key, or the empty one where it belongs.
size_t SummaryTable::slot_of(std::string_view key, size_t hash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const uint32_t index = slots_[slot];
    if (index == kEmpty ||
        (hashes_[index] == hash && this->key(rows_[index]) == key)) {
      return slot;
    }
  }
}

// At most half full, so that probes stay short.
void SummaryTable::grow() {
  slots_.assign(slots_.empty() ? 1024 : 2 * slots_.size(), kEmpty);
  const size_t mask = slots_.size() - 1;
  for (size_t i = 0; i < rows_.size(); ++i) {
    size_t slot = hashes_[i] & mask;
    while (slots_[slot] != kEmpty) slot = (slot + 1) & mask;
    slots_[slot] = static_cast<uint32_t>(i);
  }
}

void count_nodes(SummaryTable* table, int32_t type, std::string_view key,
                 uint64_t size, int64_t count) {
  SummaryTable::Row& row = table->row(key, type);
  row.type = type;
  row.size += size;
  row.count += count;
}

bool compare_count(const SummaryTable& table, const SummaryTable::Row& a,
                   const SummaryTable::Row& b) {
  if (a.count != b.count) return a.count > b.count;
  return table.key(a) < table.key(b);
}

namespace {

HeapInfo record_of(const SummaryTable& table, const SummaryTable::Row& row,
                   bool custom) {
  HeapInfo info;
  info.name = std::string(table.key(row));
  info.size = row.size;
  info.count = row.count;
  info.type = row.type;
  info.custom = custom;
  return info;
}

}  // namespace

void take_requested(SummaryTable* table, const std::string& key,
                    std::vector<HeapInfo>* records) {
  SummaryTable::Row* row = table->find(key);
  if (row == nullptr || row->taken) return;
  records->push_back(record_of(*table, *row, true));
  row->taken = true;
}

void append_ranked(SummaryTable* table, std::vector<HeapInfo>* records) {
  // Only the first few places are wanted: a partial sort of pointers.
  std::vector<const SummaryTable::Row*> ranking;
  ranking.reserve(table->rows().size());
  for (const SummaryTable::Row& row : table->rows()) {
    if (!row.taken) ranking.push_back(&row);
  }
  const size_t ranked = std::min(ranking.size(), kRankedRecords);
  std::partial_sort(
      ranking.begin(), ranking.begin() + ranked, ranking.end(),
      [table](const SummaryTable::Row* a, const SummaryTable::Row* b) {
        return compare_count(*table, *a, *b);
      });
  for (size_t i = 0; i < ranked; ++i) {
    records->push_back(record_of(*table, *ranking[i], false));
  }
  table->clear();
}

std::string shorten_name(const std::string& name) {
  constexpr int kMaxCharacters = 64;
  // A conversion state of its own: mblen keeps one hidden state for every
  // thread of the process.
  std::mbstate_t state{};
  const char* p = name.data();
  size_t left = name.size();
  for (int characters = 0; characters < kMaxCharacters; ++characters) {
    if (left == 0) return name;
    const size_t length = std::mbrlen(p, left, &state);
    // Not a whole character.
    if (length == static_cast<size_t>(-1) ||
        length == static_cast<size_t>(-2)) {
      return name;
    }
    // A NUL ends the text as far as the conversion is concerned.
    if (length == 0) return name;
    p += length;
    left -= length;
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
