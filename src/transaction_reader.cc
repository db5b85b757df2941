#include "transaction_reader.h"

#include "script_call.h"

namespace vantarel {

namespace {

constexpr const char* kKeyNames[kKeyCount] = {
    "applicationId", "applicationName", "tierId",
    "tierName",      "nodeId",          "nodeName",
};

}  // namespace

// Making a short string fails only when memory runs out, never because
// script is being terminated.
v8::Local<v8::String> KeyCache::get(v8::Isolate* isolate, Key k) {
  if (keys_[k].IsEmpty()) {
    keys_[k].Set(isolate,
                 v8::String::NewFromUtf8(isolate, kKeyNames[k],
                                         v8::NewStringType::kInternalized)
                     .ToLocalChecked());
  }
  return keys_[k].Get(isolate);
}

Reader::Reader(v8::Isolate* isolate, KeyCache* keys)
    : isolate_(isolate),
      keys_(keys),
      context_(isolate->GetCurrentContext()),
      try_catch_(isolate) {}

Reader::~Reader() {
  if (terminated_) try_catch_.ReThrow();
}

v8::Local<v8::Value> Reader::get(v8::Local<v8::Object> holder, Key k) {
  v8::Local<v8::Value> value;
  if (terminated_ ||
      !holder->Get(context_, keys_->get(isolate_, k)).ToLocal(&value)) {
    caught();
    return v8::Undefined(isolate_);
  }
  return value;
}

std::string Reader::text(v8::Local<v8::Value> value) {
  std::string out;
  if (terminated_ || !to_text(value, &out)) {
    caught();
    out = "undefined";
  }
  return out;
}

void Reader::caught() {
  if (try_catch_.HasTerminated()) {
    terminated_ = true;
  } else if (!terminated_) {
    try_catch_.Reset();
  }
}

}  // namespace vantarel
