// A profile in the pprof format (perftools.profiles.Profile, protocol
// buffers wire format), built from interned functions, locations and
// samples and encoded by hand. Engine-free: the CPU and heap profilers feed
// it names and numbers, and tests decode what it writes.
#ifndef SRC_PPROF_PROFILE_H_
#define SRC_PPROF_PROFILE_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantarel {

// Ids are 1-based positions, so they number the encoded functions and
// locations exactly as the message requires. Sizes are kept up to date as
// entries come, so that sizing the message walks none of them.
class PprofProfile {
 public:
  struct ValueType {
    std::string_view type;
    std::string_view unit;
  };

  // One value per sample for each sample type, in this order. The last type
  // is the one readers show unless asked for another.
  PprofProfile(std::initializer_list<ValueType> sample_types,
               ValueType period_type, int64_t period);

  // Sizes the tables once for about this many entries; `frames` is the sum
  // of all samples' depths.
  void reserve(size_t functions, size_t locations, size_t samples,
               size_t frames);

  // The same name, file and start line give the same id.
  uint64_t function(std::string_view name, std::string_view file,
                    int64_t start_line);
  // As function(), for NUL-terminated names and files (null reads as "")
  // that stay at their address, unchanged, while the profile is built, as
  // the engine's CPU profile keeps them. Found again by address, without
  // measuring or hashing the text: a third faster on a CPU profile's nodes.
  uint64_t function_at(const char* name, const char* file, int64_t start_line);
  // The same function id (from function() or function_at()) and line give
  // the same id.
  uint64_t location(uint64_t function_id, int64_t line);
  // One sample: its stack of location ids from location(), leaf first, and
  // one value for each sample type.
  void sample(const uint64_t* locations, size_t depth, const int64_t* values);

  void set_time_nanos(int64_t time_nanos) { time_nanos_ = time_nanos; }
  void set_duration_nanos(int64_t duration_nanos) {
    duration_nanos_ = duration_nanos;
  }

  size_t encoded_size() const;
  // Writes the encoded message, exactly encoded_size() bytes, to out (such as
  // a Buffer's storage, so that the message is never copied); returns the
  // end.
  char* write(char* out) const;
  std::string encode() const;

 private:
  // Finds entries of a table by content without an allocation per entry:
  // the table keeps the entries, the index their positions, in
  // open-addressing slots at most half full so that probes stay short.
  class Index {
   public:
    static constexpr uint32_t kNone = UINT32_MAX;

    // The position of the entry that has this hash and that same(position)
    // accepts; when there is none, kNone after taking `next` as the position
    // of a new entry with this hash.
    template <typename Same>
    uint32_t find_or_add(uint64_t hash, uint32_t next, Same same);
    void reserve(size_t entries);

   private:
    struct Slot {
      uint32_t hash;      // the low half, to pass over most other entries
      uint32_t position;  // kNone when empty
    };
    void rehash(size_t slot_count);

    std::vector<Slot> slots_;
    size_t used_ = 0;
  };

  // Bytes written in place as they come, never zeroed first.
  class Bytes {
   public:
    // Storage for `length` more bytes past the end.
    char* room(size_t length);
    // Ends the bytes at `end`, within the last room.
    void set_end(const char* end) {
      size_ = static_cast<size_t>(end - data_.get());
    }
    void reserve(size_t capacity);
    std::string_view view() const {
      return size_ == 0 ? std::string_view()
                        : std::string_view(data_.get(), size_);
    }

   private:
    std::unique_ptr<char[]> data_;
    size_t size_ = 0;
    size_t capacity_ = 0;
  };

  struct Span {
    size_t offset;
    size_t length;
  };
  struct Function {
    uint32_t name;  // string table indices
    uint32_t file;
    int64_t start_line;
  };
  struct FunctionAddress {
    const char* name;
    const char* file;
    int64_t start_line;
    uint64_t id;
  };
  struct Location {
    uint64_t function_id;
    int64_t line;
  };

  uint32_t string(std::string_view text);
  std::string_view text(const Span& span) const {
    return std::string_view(text_).substr(span.offset, span.length);
  }

  // The string table lies end to end in one buffer; index 0 is "".
  std::string text_;
  std::vector<Span> strings_;
  Index string_index_;

  // Type and unit string indices of each sample type.
  std::vector<std::pair<uint32_t, uint32_t>> sample_types_;
  uint32_t period_type_ = 0;
  uint32_t period_unit_ = 0;
  int64_t period_;
  int64_t time_nanos_ = 0;
  int64_t duration_nanos_ = 0;

  std::vector<Function> functions_;
  Index function_index_;
  std::vector<FunctionAddress> function_addresses_;
  Index function_address_index_;
  std::vector<Location> locations_;
  Index location_index_;

  // The samples' fields as they are written, end to end: encoded once,
  // and in a fraction of the memory that their numbers would take.
  Bytes samples_;

  // Of each repeated top-level field so far, tags and lengths included.
  size_t strings_bytes_ = 0;
  size_t functions_bytes_ = 0;
  size_t locations_bytes_ = 0;
};

}  // namespace vantarel

#endif  // SRC_PPROF_PROFILE_H_
