// Reading the analytics objects that script hands in: the configuration's
// identity texts and the transaction object, in the fixed order of their
// properties, which getters can observe.
#ifndef SRC_TRANSACTION_READER_H_
#define SRC_TRANSACTION_READER_H_

#include <nan.h>

#include <cstdint>
#include <string>

#include "transaction_record.h"

namespace vantarel {

// Property names, made once as internalized strings.
enum Key {
  kApplicationId,
  kApplicationName,
  kTierId,
  kTierName,
  kNodeId,
  kNodeName,
  kEntryPoint,
  kTransactionTime,
  kRequestExperience,
  kClientRequestGUID,
  kTransactionName,
  kTransactionId,
  kRequestGUID,
  kEventTimestamp,
  kExitCalls,
  kHttpData,
  kUserData,
  kNumberOfErrors,
  kNumberOfCalls,
  kAvgResponseTimeMillis,
  kExitCallType,
  kSessionId,
  kPrincipal,
  kUrl,
  kSessionObjects,
  kUriPathSegments,
  kParameters,
  kHeaders,
  kCookies,
  kKeyCount,
};

// Property names of one isolate, each made once as an internalized string
// when first read.
class KeyCache {
 public:
  v8::Local<v8::String> get(v8::Isolate* isolate, Key k);

 private:
  v8::Eternal<v8::String> keys_[kKeyCount];
};

// Reads script values where any read or conversion may throw: a throwing
// step gives what an absent property gives, and reading goes on. After a
// termination no more script runs, and the termination goes on when the
// reader is destroyed.
class Reader {
 public:
  using Record = zeph::agent::TransactionRecord;

  Reader(v8::Isolate* isolate, KeyCache* keys);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  bool terminated() const { return terminated_; }

  v8::Local<v8::Value> get(v8::Local<v8::Object> holder,
                           v8::Local<v8::Value> name);
  v8::Local<v8::Value> get(v8::Local<v8::Object> holder, Key k);
  // False when the read throws.
  bool get(v8::Local<v8::Array> array, uint32_t index,
           v8::Local<v8::Value>* value);

  std::string text(v8::Local<v8::Value> value);
  std::string text(v8::Local<v8::Object> holder, Key k) {
    return text(get(holder, k));
  }
  // The same text, kept in the record.
  Record::Text text(v8::Local<v8::Value> value, Record* record);
  Record::Text text(v8::Local<v8::Object> holder, Key k, Record* record) {
    return text(get(holder, k), record);
  }
  uint32_t count(v8::Local<v8::Value> value);
  uint32_t count(v8::Local<v8::Object> holder, Key k) {
    return count(get(holder, k));
  }
  bool flag(v8::Local<v8::Value> value) {
    return !terminated_ && value->BooleanValue(isolate_);
  }

  // One level of own enumerable string-keyed properties, as texts.
  void map(v8::Local<v8::Object> holder, Key k, Record* record,
           Record::Map map);

 private:
  // False when the conversion throws; the record is then as it was.
  bool convert(v8::Local<v8::Value> value, Record* record, Record::Text* out);
  void caught();

  v8::Isolate* isolate_;
  KeyCache* keys_;
  v8::Local<v8::Context> context_;
  v8::TryCatch try_catch_;
  bool terminated_ = false;
};

// Reads the transaction object into the record, which starts empty.
void read_transaction(Reader& in, v8::Isolate* isolate,
                      v8::Local<v8::Object> object,
                      zeph::agent::TransactionRecord* out);

}  // namespace vantarel

#endif  // SRC_TRANSACTION_READER_H_
