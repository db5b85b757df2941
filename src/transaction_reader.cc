#include "transaction_reader.h"

#include "script_call.h"

namespace vantarel {

namespace {

constexpr const char* kKeyNames[kKeyCount] = {
    "applicationId", "applicationName", "tierId",
    "tierName",      "nodeId",          "nodeName",
};

// The module runs on the main thread's isolate only (see Init).
v8::Local<v8::String> key(v8::Isolate* isolate, Key k) {
  static v8::Eternal<v8::String> keys[kKeyCount];
  if (keys[k].IsEmpty()) {
    keys[k].Set(isolate,
                v8::String::NewFromUtf8(isolate, kKeyNames[k],
                                        v8::NewStringType::kInternalized)
                    .ToLocalChecked());
  }
  return keys[k].Get(isolate);
}

}  // namespace

Reader::Reader(v8::Isolate* isolate)
    : isolate_(isolate),
      context_(isolate->GetCurrentContext()),
      try_catch_(isolate) {}

Reader::~Reader() {
  if (terminated_) try_catch_.ReThrow();
}

v8::Local<v8::Value> Reader::get(v8::Local<v8::Object> holder, Key k) {
  v8::Local<v8::Value> value;
  if (terminated_ || !holder->Get(context_, key(isolate_, k)).ToLocal(&value)) {
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
