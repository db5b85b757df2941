// Encodes PprofProfile by hand: proto3 omits fields that hold 0, and every
// repeated number is packed, as readers of the format expect.
#include "pprof_profile.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>

namespace vantarel {

namespace {

constexpr size_t kLongestVarint = 10;
constexpr uint32_t kVarint = 0;
constexpr uint32_t kLengthDelimited = 2;

// Field numbers of perftools.profiles messages.
enum ProfileField : uint32_t {
  kProfileSampleType = 1,
  kProfileSample = 2,
  kProfileLocation = 4,
  kProfileFunction = 5,
  kProfileStringTable = 6,
  kProfileTimeNanos = 9,
  kProfileDurationNanos = 10,
  kProfilePeriodType = 11,
  kProfilePeriod = 12,
};
enum ValueTypeField : uint32_t { kValueTypeType = 1, kValueTypeUnit = 2 };
enum SampleField : uint32_t { kSampleLocationId = 1, kSampleValue = 2 };
enum LocationField : uint32_t { kLocationId = 1, kLocationLine = 4 };
enum LineField : uint32_t { kLineFunctionId = 1, kLineLine = 2 };
enum FunctionField : uint32_t {
  kFunctionId = 1,
  kFunctionName = 2,
  kFunctionSystemName = 3,
  kFunctionFilename = 4,
  kFunctionStartLine = 5,
};

// Seven bits a byte: the significant bits over 7, rounded up.
size_t varint_size(uint64_t value) {
  const auto bits = static_cast<size_t>(64 - __builtin_clzll(value | 1));
  return (bits * 9 + 64) / 64;
}

// Every field number here is below 16, so each tag takes one byte.
size_t varint_field_size(uint64_t value) {
  return value == 0 ? 0 : 1 + varint_size(value);
}

// Negative int64 values take ten bytes, as the wire format sign-extends them.
size_t int64_field_size(int64_t value) {
  return varint_field_size(static_cast<uint64_t>(value));
}

size_t nested_size(size_t length) { return 1 + varint_size(length) + length; }

// Writes to storage already sized for all that it is given.
class Writer {
 public:
  explicit Writer(char* out) : out_(out) {}
  char* end() const { return out_; }

  void varint(uint64_t value) {
    while (value >= 0x80) {
      *out_++ = static_cast<char>(value | 0x80);
      value >>= 7;
    }
    *out_++ = static_cast<char>(value);
  }
  void varint_field(uint32_t field, uint64_t value) {
    if (value == 0) return;
    tag(field, kVarint);
    varint(value);
  }
  void int64_field(uint32_t field, int64_t value) {
    varint_field(field, static_cast<uint64_t>(value));
  }
  // The header of a length-delimited field: its body follows.
  void nested(uint32_t field, size_t length) {
    tag(field, kLengthDelimited);
    varint(length);
  }
  void bytes(std::string_view text) {
    if (text.empty()) return;
    std::memcpy(out_, text.data(), text.size());
    out_ += text.size();
  }

 private:
  void tag(uint32_t field, uint32_t wire_type) {
    *out_++ = static_cast<char>(field << 3 | wire_type);
  }

  char* out_;
};

// Spreads two keys over 64 bits (the multiply and shift of a common integer
// hash finalizer), so that low bits choose slots well.
uint64_t hash_pair(uint64_t a, uint64_t b) {
  const uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ULL)) * 0xBF58476D1CE4E5B9ULL;
  return h ^ (h >> 31);
}

size_t value_type_size(const std::pair<uint32_t, uint32_t>& value_type) {
  return varint_field_size(value_type.first) +
         varint_field_size(value_type.second);
}

size_t line_size(uint64_t function_id, int64_t line) {
  return varint_field_size(function_id) + int64_field_size(line);
}

size_t location_size(uint64_t id, uint64_t function_id, int64_t line) {
  return varint_field_size(id) + nested_size(line_size(function_id, line));
}

// The engine has no separate linkage name: system_name repeats the name.
size_t function_size(uint64_t id, uint32_t name, uint32_t file,
                     int64_t start_line) {
  return varint_field_size(id) + 2 * varint_field_size(name) +
         varint_field_size(file) + int64_field_size(start_line);
}

// Empty packed fields are left out.
size_t sample_size(size_t depth, size_t location_bytes, size_t value_count,
                   size_t value_bytes) {
  return (depth == 0 ? 0 : nested_size(location_bytes)) +
         (value_count == 0 ? 0 : nested_size(value_bytes));
}

}  // namespace

char* PprofProfile::Bytes::room(size_t length) {
  if (length > capacity_ - size_) {
    reserve(std::max(2 * capacity_, size_ + length));
  }
  return data_.get() + size_;
}

void PprofProfile::Bytes::reserve(size_t capacity) {
  if (capacity <= capacity_) return;
  std::unique_ptr<char[]> grown(new char[capacity]);
  if (size_ != 0) std::memcpy(grown.get(), data_.get(), size_);
  data_ = std::move(grown);
  capacity_ = capacity;
}

template <typename Same>
uint32_t PprofProfile::Index::find_or_add(uint64_t hash, uint32_t next,
                                          Same same) {
  if (2 * (used_ + 1) > slots_.size()) {
    rehash(slots_.empty() ? 64 : 2 * slots_.size());
  }
  const size_t mask = slots_.size() - 1;
  const auto low = static_cast<uint32_t>(hash);
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.position == kNone) {
      slot = Slot{low, next};
      ++used_;
      return kNone;
    }
    if (slot.hash == low && same(slot.position)) return slot.position;
  }
}

void PprofProfile::Index::reserve(size_t entries) {
  size_t slot_count = 64;
  while (slot_count < 2 * entries) slot_count *= 2;
  if (slot_count > slots_.size()) rehash(slot_count);
}

// Slots are placed by the low bits of the hash, all of which a slot keeps.
void PprofProfile::Index::rehash(size_t slot_count) {
  std::vector<Slot> old(slot_count, Slot{0, kNone});
  old.swap(slots_);
  const size_t mask = slot_count - 1;
  for (const Slot& entry : old) {
    if (entry.position == kNone) continue;
    size_t i = entry.hash & mask;
    while (slots_[i].position != kNone) i = (i + 1) & mask;
    slots_[i] = entry;
  }
}

PprofProfile::PprofProfile(std::initializer_list<ValueType> sample_types,
                           ValueType period_type, int64_t period)
    : period_(period) {
  strings_.push_back(Span{0, 0});
  strings_bytes_ = nested_size(0);
  sample_types_.reserve(sample_types.size());
  for (const ValueType& value_type : sample_types) {
    sample_types_.emplace_back(string(value_type.type),
                               string(value_type.unit));
  }
  period_type_ = string(period_type.type);
  period_unit_ = string(period_type.unit);
}

void PprofProfile::reserve(size_t functions, size_t locations, size_t samples,
                           size_t frames) {
  // Most functions of a script have a name of their own, and share a file.
  strings_.reserve(functions + 16);
  string_index_.reserve(functions + 16);
  functions_.reserve(functions);
  function_index_.reserve(functions);
  function_addresses_.reserve(functions);
  function_address_index_.reserve(functions);
  locations_.reserve(locations);
  location_index_.reserve(locations);
  // A sample's headers take about eight bytes and its values a few each;
  // the last sample asks for room for its longest encoding.
  samples_.reserve(frames * varint_size(locations) +
                   samples * (8 + 4 * sample_types_.size()) + 4096);
}

uint32_t PprofProfile::string(std::string_view text) {
  if (text.empty()) return 0;
  const auto next = static_cast<uint32_t>(strings_.size());
  const uint32_t found = string_index_.find_or_add(
      std::hash<std::string_view>()(text), next,
      [&](uint32_t index) { return this->text(strings_[index]) == text; });
  if (found != Index::kNone) return found;
  strings_.push_back(Span{text_.size(), text.size()});
  text_.append(text);
  strings_bytes_ += nested_size(text.size());
  return next;
}

uint64_t PprofProfile::function(std::string_view name, std::string_view file,
                                int64_t start_line) {
  const Function entry{string(name), string(file), start_line};
  const uint64_t hash = hash_pair(hash_pair(entry.name, entry.file),
                                  static_cast<uint64_t>(start_line));
  const auto next = static_cast<uint32_t>(functions_.size());
  const uint32_t found =
      function_index_.find_or_add(hash, next, [&](uint32_t index) {
        const Function& known = functions_[index];
        return known.name == entry.name && known.file == entry.file &&
               known.start_line == entry.start_line;
      });
  if (found != Index::kNone) return uint64_t{found} + 1;
  functions_.push_back(entry);
  const uint64_t id = uint64_t{next} + 1;
  functions_bytes_ +=
      nested_size(function_size(id, entry.name, entry.file, start_line));
  return id;
}

uint64_t PprofProfile::function_at(const char* name, const char* file,
                                   int64_t start_line) {
  const uint64_t hash = hash_pair(hash_pair(reinterpret_cast<uintptr_t>(name),
                                            reinterpret_cast<uintptr_t>(file)),
                                  static_cast<uint64_t>(start_line));
  const auto next = static_cast<uint32_t>(function_addresses_.size());
  const uint32_t found =
      function_address_index_.find_or_add(hash, next, [&](uint32_t index) {
        const FunctionAddress& known = function_addresses_[index];
        return known.name == name && known.file == file &&
               known.start_line == start_line;
      });
  if (found != Index::kNone) return function_addresses_[found].id;
  const uint64_t id = function(name == nullptr ? "" : name,
                               file == nullptr ? "" : file, start_line);
  function_addresses_.push_back(FunctionAddress{name, file, start_line, id});
  return id;
}

uint64_t PprofProfile::location(uint64_t function_id, int64_t line) {
  const uint64_t hash = hash_pair(function_id, static_cast<uint64_t>(line));
  const auto next = static_cast<uint32_t>(locations_.size());
  const uint32_t found =
      location_index_.find_or_add(hash, next, [&](uint32_t index) {
        const Location& known = locations_[index];
        return known.function_id == function_id && known.line == line;
      });
  if (found != Index::kNone) return uint64_t{found} + 1;
  locations_.push_back(Location{function_id, line});
  const uint64_t id = uint64_t{next} + 1;
  locations_bytes_ += nested_size(location_size(id, function_id, line));
  return id;
}

void PprofProfile::sample(const uint64_t* locations, size_t depth,
                          const int64_t* values) {
  const size_t value_count = sample_types_.size();
  size_t value_bytes = 0;
  for (size_t i = 0; i < value_count; ++i) {
    value_bytes += varint_size(static_cast<uint64_t>(values[i]));
  }
  // The ids go where the longest headers would end, the headers go before
  // them once their length is known, and the body moves up to meet them:
  // one pass over the stack, which measured faster than sizing it first.
  constexpr size_t kLongestHeaders = 2 * (1 + kLongestVarint);
  char* const start = samples_.room(kLongestHeaders + kLongestVarint * depth +
                                    nested_size(value_bytes));
  char* const body_start = start + kLongestHeaders;
  Writer body(body_start);
  for (size_t i = 0; i < depth; ++i) body.varint(locations[i]);
  const auto location_bytes = static_cast<size_t>(body.end() - body_start);
  if (value_count != 0) {
    body.nested(kSampleValue, value_bytes);
    for (size_t i = 0; i < value_count; ++i) {
      body.varint(static_cast<uint64_t>(values[i]));
    }
  }
  const auto body_length = static_cast<size_t>(body.end() - body_start);

  Writer headers(start);
  headers.nested(kProfileSample,
                 sample_size(depth, location_bytes, value_count, value_bytes));
  if (depth != 0) headers.nested(kSampleLocationId, location_bytes);
  std::memmove(headers.end(), body_start, body_length);
  samples_.set_end(headers.end() + body_length);
}

size_t PprofProfile::encoded_size() const {
  size_t size = samples_.view().size() + locations_bytes_ + functions_bytes_ +
                strings_bytes_ + int64_field_size(time_nanos_) +
                int64_field_size(duration_nanos_) +
                nested_size(value_type_size({period_type_, period_unit_})) +
                int64_field_size(period_);
  for (const auto& value_type : sample_types_) {
    size += nested_size(value_type_size(value_type));
  }
  return size;
}

char* PprofProfile::write(char* out) const {
  Writer writer(out);
  for (const auto& value_type : sample_types_) {
    writer.nested(kProfileSampleType, value_type_size(value_type));
    writer.varint_field(kValueTypeType, value_type.first);
    writer.varint_field(kValueTypeUnit, value_type.second);
  }

  writer.bytes(samples_.view());

  uint64_t id = 0;
  for (const Location& entry : locations_) {
    ++id;
    writer.nested(kProfileLocation,
                  location_size(id, entry.function_id, entry.line));
    writer.varint_field(kLocationId, id);
    writer.nested(kLocationLine, line_size(entry.function_id, entry.line));
    writer.varint_field(kLineFunctionId, entry.function_id);
    writer.int64_field(kLineLine, entry.line);
  }

  id = 0;
  for (const Function& entry : functions_) {
    ++id;
    writer.nested(kProfileFunction,
                  function_size(id, entry.name, entry.file, entry.start_line));
    writer.varint_field(kFunctionId, id);
    writer.varint_field(kFunctionName, entry.name);
    writer.varint_field(kFunctionSystemName, entry.name);
    writer.varint_field(kFunctionFilename, entry.file);
    writer.int64_field(kFunctionStartLine, entry.start_line);
  }

  for (const Span& span : strings_) {
    writer.nested(kProfileStringTable, span.length);
    writer.bytes(text(span));
  }

  writer.int64_field(kProfileTimeNanos, time_nanos_);
  writer.int64_field(kProfileDurationNanos, duration_nanos_);
  writer.nested(kProfilePeriodType,
                value_type_size({period_type_, period_unit_}));
  writer.varint_field(kValueTypeType, period_type_);
  writer.varint_field(kValueTypeUnit, period_unit_);
  writer.int64_field(kProfilePeriod, period_);
  return writer.end();
}

std::string PprofProfile::encode() const {
  std::string message(encoded_size(), '\0');
  write(&message[0]);
  return message;
}

}  // namespace vantarel
