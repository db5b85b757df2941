// Counts heap snapshot nodes by name while the names are still engine
// strings. The engine hands out one string object for all equal names, so
// a name is matched by identity and turned into text once per tally rather
// than once per node. Engine-free: Name is any handle type whose == tells
// whether two handles hold the same object.
#ifndef SRC_NAME_TALLY_H_
#define SRC_NAME_TALLY_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantarel {

template <typename Name>
class NameTally {
 public:
  struct Entry {
    Name name;
    uint32_t hash;
    int32_t type;
    uint64_t size;
    int64_t count;
  };

  // Counts one node of the given type; hash is one that equal names share.
  void add(const Name& name, uint32_t hash, int32_t type, uint64_t size) {
    if (2 * (entries_.size() + 1) > slots_.size()) grow();
    const size_t mask = slots_.size() - 1;
    for (size_t slot = mix(hash, type) & mask;; slot = (slot + 1) & mask) {
      const uint32_t index = slots_[slot];
      if (index == kEmpty) {
        slots_[slot] = static_cast<uint32_t>(entries_.size());
        entries_.push_back(Entry{name, hash, type, size, 1});
        return;
      }
      Entry& entry = entries_[index];
      if (entry.hash == hash && entry.type == type && entry.name == name) {
        entry.size += size;
        entry.count += 1;
        return;
      }
    }
  }

  const std::vector<Entry>& entries() const { return entries_; }

  void clear() {
    entries_.clear();
    slots_.assign(slots_.size(), kEmpty);
  }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;

  // Spreads the engine's hash over the slots (Fibonacci hashing).
  static size_t mix(uint32_t hash, int32_t type) {
    const uint64_t key = hash ^ (static_cast<uint64_t>(type) << 32);
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 32);
  }

  // Open addressing at most half full, so that probes stay short.
  void grow() {
    slots_.assign(slots_.empty() ? 1024 : 2 * slots_.size(), kEmpty);
    const size_t mask = slots_.size() - 1;
    for (size_t i = 0; i < entries_.size(); ++i) {
      size_t slot = mix(entries_[i].hash, entries_[i].type) & mask;
      while (slots_[slot] != kEmpty) slot = (slot + 1) & mask;
      slots_[slot] = static_cast<uint32_t>(i);
    }
  }

  std::vector<Entry> entries_;
  std::vector<uint32_t> slots_;
};

}  // namespace vantarel

#endif  // SRC_NAME_TALLY_H_
