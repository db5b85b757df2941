#include "flat_transaction.h"

namespace vantarel {

namespace {

using zeph::agent::TransactionRecord;

// Texts to be converted into the record.
template <typename Char>
class CopiedTexts {
 public:
  CopiedTexts(const Char* texts, std::size_t length)
      : next_(texts), end_(texts + length) {}
  std::size_t left() const { return end_ - next_; }
  TransactionRecord::Text take(std::size_t length, TransactionRecord* record) {
    const Char* begin = next_;
    next_ += length;
    if constexpr (sizeof(Char) == 1) {
      return record->addLatin1(begin, length);
    } else {
      return record->addUtf16(begin, length);
    }
  }

 private:
  const Char* next_;
  const Char* end_;
};

// Texts that are slices of one the record keeps.
class KeptTexts {
 public:
  explicit KeptTexts(TransactionRecord::Text texts)
      : next_(texts.begin), end_(texts.begin + texts.size) {}
  std::size_t left() const { return end_ - next_; }
  TransactionRecord::Text take(std::size_t length, TransactionRecord*) {
    TransactionRecord::Text text{next_, length};
    next_ += length;
    return text;
  }

 private:
  std::size_t next_;
  std::size_t end_;
};

// Walks the slots and the texts together; every step checks its bounds, as
// the slots come from script.
template <typename Texts>
class FlatReader {
 public:
  FlatReader(const uint32_t* slots, std::size_t slot_count, Texts texts,
             TransactionRecord* record)
      : slot_(slots),
        slots_end_(slots + slot_count),
        texts_(texts),
        record_(record) {}

  bool ok() const { return ok_; }
  // True when every slot and every character was used.
  bool done() const { return ok_ && slot_ == slots_end_ && texts_.left() == 0; }

  uint32_t number() {
    if (slot_ == slots_end_) {
      ok_ = false;
      return 0;
    }
    return *slot_++;
  }

  TransactionRecord::Text text() {
    std::size_t length = number();
    if (!ok_ || length > texts_.left()) {
      ok_ = false;
      return {};
    }
    return texts_.take(length, record_);
  }

  // A count of items that take at least per_item slots each.
  uint32_t items(std::size_t per_item) {
    uint32_t count = number();
    if (ok_ &&
        count > static_cast<std::size_t>(slots_end_ - slot_) / per_item) {
      ok_ = false;
      return 0;
    }
    return count;
  }

 private:
  const uint32_t* slot_;
  const uint32_t* slots_end_;
  Texts texts_;
  TransactionRecord* record_;
  bool ok_ = true;
};

template <typename Texts>
bool read(const uint32_t* slots, std::size_t slot_count, Texts texts,
          TransactionRecord* record) {
  FlatReader<Texts> in(slots, slot_count, texts, record);
  record->entryPoint = in.number() != 0;
  // The 32 bits are kept: 2^31 and more read back negative.
  record->transactionTime = static_cast<int32_t>(in.number());
  record->requestExperience = in.text();
  record->clientRequestGUID = in.text();
  record->transactionName = in.text();
  record->transactionId = static_cast<int32_t>(in.number());
  record->requestGUID = in.text();
  record->eventTimestamp = in.text();
  for (uint32_t calls = in.items(4); calls > 0 && in.ok(); --calls) {
    TransactionRecord::ExitCall call;
    call.numberOfErrors = in.number();
    call.numberOfCalls = in.number();
    call.avgResponseTimeMillis = in.number();
    call.exitCallType = in.text();
    record->exitCalls.push_back(call);
  }
  record->sessionId = in.text();
  record->principal = in.text();
  record->url = in.text();
  for (int m = 0; m < TransactionRecord::kMapCount && in.ok(); ++m) {
    TransactionRecord::Map map = static_cast<TransactionRecord::Map>(m);
    record->startMap(map);
    for (uint32_t entries = in.items(2); entries > 0 && in.ok(); --entries) {
      TransactionRecord::Text value = in.text();
      TransactionRecord::Text key = in.text();
      record->addEntry(key, value);
    }
    record->endMap(map);
  }
  return in.done();
}

}  // namespace

template <typename Char>
bool read_flat_transaction(const uint32_t* slots, std::size_t slot_count,
                           const Char* texts, std::size_t text_length,
                           TransactionRecord* record) {
  return read(slots, slot_count, CopiedTexts<Char>(texts, text_length), record);
}

template bool read_flat_transaction<char>(const uint32_t*, std::size_t,
                                          const char*, std::size_t,
                                          TransactionRecord*);
template bool read_flat_transaction<char16_t>(const uint32_t*, std::size_t,
                                              const char16_t*, std::size_t,
                                              TransactionRecord*);

bool read_flat_transaction(const uint32_t* slots, std::size_t slot_count,
                           TransactionRecord::Text texts,
                           TransactionRecord* record) {
  return read(slots, slot_count, KeptTexts(texts), record);
}

}  // namespace vantarel
