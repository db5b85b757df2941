#include "transaction_reader.h"

#include <charconv>

#include "engine_compat.h"
#include "script_call.h"

namespace vantarel {

namespace {

using Record = zeph::agent::TransactionRecord;

constexpr const char* kKeyNames[kKeyCount] = {
    "applicationId",
    "applicationName",
    "tierId",
    "tierName",
    "nodeId",
    "nodeName",
    "entryPoint",
    "transactionTime",
    "requestExperience",
    "clientRequestGUID",
    "transactionName",
    "transactionId",
    "requestGUID",
    "eventTimestamp",
    "exitCalls",
    "httpData",
    "userData",
    "numberOfErrors",
    "numberOfCalls",
    "avgResponseTimeMillis",
    "exitCallType",
    "sessionId",
    "principal",
    "url",
    "sessionObjects",
    "uriPathSegments",
    "parameters",
    "headers",
    "cookies",
};

// The string's UTF-8 form in one pass, written straight into the record.
Record::Text string_text(v8::Isolate* isolate, v8::Local<v8::String> str,
                         Record* record) {
  std::size_t length = static_cast<std::size_t>(str->Length());
  if (str->IsOneByte()) {
    // Most texts are one-byte strings: a plain copy, widened to UTF-8 only
    // where a byte is 0x80 or more.
    compat::write_one_byte(isolate, str, record->room(length), length);
    return record->keepLatin1(length);
  }
  // A UTF-16 unit takes at most three bytes of UTF-8, so this room is enough
  // and the length need not be counted first.
  std::size_t room = 3 * length;
  return record->keepUtf8(
      compat::write_utf8(isolate, str, record->room(room), room));
}

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

v8::Local<v8::Value> Reader::get(v8::Local<v8::Object> holder,
                                 v8::Local<v8::Value> name) {
  v8::Local<v8::Value> value;
  if (terminated_ || !holder->Get(context_, name).ToLocal(&value)) {
    caught();
    return v8::Undefined(isolate_);
  }
  return value;
}

v8::Local<v8::Value> Reader::get(v8::Local<v8::Object> holder, Key k) {
  return get(holder, keys_->get(isolate_, k));
}

bool Reader::get(v8::Local<v8::Array> array, uint32_t index,
                 v8::Local<v8::Value>* value) {
  if (terminated_ || !array->Get(context_, index).ToLocal(value)) {
    caught();
    return false;
  }
  return true;
}

std::string Reader::text(v8::Local<v8::Value> value) {
  std::string out;
  if (terminated_ || !to_text(value, &out)) {
    caught();
    out = "undefined";
  }
  return out;
}

bool Reader::convert(v8::Local<v8::Value> value, Record* record,
                     Record::Text* out) {
  if (value->IsString()) {
    *out = string_text(isolate_, value.As<v8::String>(), record);
    return true;
  }
  // Counts and array indices: their decimal text is the string conversion,
  // without making the string.
  if (value->IsInt32()) {
    char digits[12];
    char* end = std::to_chars(digits, digits + sizeof digits,
                              value.As<v8::Int32>()->Value())
                    .ptr;
    *out = record->add(std::string_view(digits, end - digits));
    return true;
  }
  v8::Local<v8::String> str;
  if (!value->ToString(context_).ToLocal(&str)) return false;
  *out = string_text(isolate_, str, record);
  return true;
}

Record::Text Reader::text(v8::Local<v8::Value> value, Record* record) {
  Record::Text out;
  if (terminated_ || !convert(value, record, &out)) {
    caught();
    out = record->add("undefined");
  }
  return out;
}

uint32_t Reader::count(v8::Local<v8::Value> value) {
  uint32_t out = 0;
  // Counts are mostly small integers, which need no numeric conversion.
  if (!terminated_ && value->IsInt32()) {
    return static_cast<uint32_t>(value.As<v8::Int32>()->Value());
  }
  if (terminated_ || !to_count(value, &out)) {
    caught();
    out = 0;
  }
  return out;
}

void Reader::map(v8::Local<v8::Object> holder, Key k, Record* record,
                 Record::Map map) {
  record->startMap(map);
  v8::Local<v8::Value> value = get(holder, k);
  if (value->IsObject()) {
    v8::Local<v8::Object> object = value.As<v8::Object>();
    v8::Local<v8::Array> names;
    if (terminated_ || !object->GetOwnPropertyNames(context_).ToLocal(&names)) {
      caught();
    } else {
      for (uint32_t i = 0; i < names->Length() && !terminated_; ++i) {
        // Keeps the handles of a large map from piling up in the call's
        // scope.
        v8::HandleScope scope(isolate_);
        v8::Local<v8::Value> name;
        if (!get(names, i, &name)) continue;
        Record::Text value_text = text(get(object, name), record);
        Record::Text name_text;
        if (!convert(name, record, &name_text)) {
          caught();
          continue;
        }
        record->addEntry(name_text, value_text);
      }
    }
  }
  record->endMap(map);
}

void Reader::caught() {
  if (try_catch_.HasTerminated()) {
    terminated_ = true;
  } else if (!terminated_) {
    try_catch_.Reset();
  }
}

// Reads the properties in their fixed order, which getters can observe.
void read_transaction(Reader& in, v8::Isolate* isolate,
                      v8::Local<v8::Object> object, Record* out) {
  out->entryPoint = in.flag(in.get(object, kEntryPoint));
  // The 32 bits are kept: 2^31 and more read back negative.
  out->transactionTime =
      static_cast<int32_t>(in.count(object, kTransactionTime));
  out->requestExperience = in.text(object, kRequestExperience, out);
  out->clientRequestGUID = in.text(object, kClientRequestGUID, out);
  out->transactionName = in.text(object, kTransactionName, out);
  out->transactionId = static_cast<int32_t>(in.count(object, kTransactionId));
  out->requestGUID = in.text(object, kRequestGUID, out);
  out->eventTimestamp = in.text(object, kEventTimestamp, out);

  v8::Local<v8::Value> calls = in.get(object, kExitCalls);
  if (calls->IsArray()) {
    v8::Local<v8::Array> array = calls.As<v8::Array>();
    // Getters may change the length, so it is read for every element.
    for (uint32_t i = 0; i < array->Length() && !in.terminated(); ++i) {
      v8::HandleScope scope(isolate);
      v8::Local<v8::Value> element;
      if (!in.get(array, i, &element) || !element->IsObject()) continue;
      v8::Local<v8::Object> call_object = element.As<v8::Object>();
      Record::ExitCall call;
      call.numberOfErrors = in.count(call_object, kNumberOfErrors);
      call.numberOfCalls = in.count(call_object, kNumberOfCalls);
      call.avgResponseTimeMillis =
          in.count(call_object, kAvgResponseTimeMillis);
      call.exitCallType = in.text(call_object, kExitCallType, out);
      out->exitCalls.push_back(call);
    }
  }

  v8::Local<v8::Value> http_value = in.get(object, kHttpData);
  v8::Local<v8::Object> http = http_value->IsObject()
                                   ? http_value.As<v8::Object>()
                                   : v8::Object::New(isolate);
  out->sessionId = in.text(http, kSessionId, out);
  out->principal = in.text(http, kPrincipal, out);
  out->url = in.text(http, kUrl, out);
  in.map(http, kSessionObjects, out, Record::kSessionObjects);
  in.map(http, kUriPathSegments, out, Record::kUriPathSegments);
  in.map(http, kParameters, out, Record::kParameters);
  in.map(http, kHeaders, out, Record::kHeaders);
  in.map(http, kCookies, out, Record::kCookies);

  in.map(object, kUserData, out, Record::kUserData);
}

}  // namespace vantarel
