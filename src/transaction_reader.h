// Reading the identity texts of the analytics configuration, in their fixed
// order, which getters can observe.
#ifndef SRC_TRANSACTION_READER_H_
#define SRC_TRANSACTION_READER_H_

#include <nan.h>

#include <string>

namespace vantarel {

// Property names, made once as internalized strings.
enum Key {
  kApplicationId,
  kApplicationName,
  kTierId,
  kTierName,
  kNodeId,
  kNodeName,
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
  Reader(v8::Isolate* isolate, KeyCache* keys);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  bool terminated() const { return terminated_; }

  v8::Local<v8::Value> get(v8::Local<v8::Object> holder, Key k);
  std::string text(v8::Local<v8::Value> value);
  std::string text(v8::Local<v8::Object> holder, Key k) {
    return text(get(holder, k));
  }

 private:
  void caught();

  v8::Isolate* isolate_;
  KeyCache* keys_;
  v8::Local<v8::Context> context_;
  v8::TryCatch try_catch_;
  bool terminated_ = false;
};

}  // namespace vantarel

#endif  // SRC_TRANSACTION_READER_H_
