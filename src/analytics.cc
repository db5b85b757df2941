#include "analytics.h"

#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "analytics_collector.h"
#include "script_call.h"

namespace {

using zeph::agent::AnalyticsCollector;

struct AnalyticsState {
  std::unique_ptr<AnalyticsCollector> collector;
  // Any value: it is checked when a batch is due.
  v8::Global<v8::Value> callback;
  // Reports from this state under way; it is released only after the last.
  int deliveries = 0;
  bool replaced = false;
};

AnalyticsState* analytics = nullptr;

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

// Reads script values where any read or conversion may throw: a throwing
// step gives what an absent property gives, and reading goes on. After a
// termination no more script runs, and the termination goes on when the
// reader is destroyed.
class Reader {
 public:
  explicit Reader(v8::Isolate* isolate)
      : isolate_(isolate),
        context_(isolate->GetCurrentContext()),
        try_catch_(isolate) {}
  ~Reader() {
    if (terminated_) try_catch_.ReThrow();
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  bool terminated() const { return terminated_; }

  v8::Local<v8::Value> get(v8::Local<v8::Object> holder,
                           v8::Local<v8::Value> name) {
    v8::Local<v8::Value> value;
    if (terminated_ || !holder->Get(context_, name).ToLocal(&value)) {
      caught();
      return v8::Undefined(isolate_);
    }
    return value;
  }
  v8::Local<v8::Value> get(v8::Local<v8::Object> holder, Key k) {
    return get(holder, key(isolate_, k));
  }
  // False when the read throws.
  bool get(v8::Local<v8::Array> array, uint32_t index,
           v8::Local<v8::Value>* value) {
    if (terminated_ || !array->Get(context_, index).ToLocal(value)) {
      caught();
      return false;
    }
    return true;
  }

  std::string text(v8::Local<v8::Value> value) {
    std::string out;
    if (terminated_ || !vantarel::to_text(value, &out)) {
      caught();
      out = "undefined";
    }
    return out;
  }
  uint32_t count(v8::Local<v8::Value> value) {
    uint32_t out = 0;
    if (terminated_ || !vantarel::to_count(value, &out)) {
      caught();
      out = 0;
    }
    return out;
  }
  bool flag(v8::Local<v8::Value> value) {
    return !terminated_ && value->BooleanValue(isolate_);
  }

  std::string text(v8::Local<v8::Object> holder, Key k) {
    return text(get(holder, k));
  }
  uint32_t count(v8::Local<v8::Object> holder, Key k) {
    return count(get(holder, k));
  }

  // One level of own enumerable string-keyed properties, as texts.
  void map(v8::Local<v8::Object> holder, Key k,
           AnalyticsCollector::StringMap* out) {
    v8::Local<v8::Value> value = get(holder, k);
    if (!value->IsObject()) return;
    v8::Local<v8::Object> object = value.As<v8::Object>();
    v8::Local<v8::Array> names;
    if (terminated_ || !object->GetOwnPropertyNames(context_).ToLocal(&names)) {
      caught();
      return;
    }
    for (uint32_t i = 0; i < names->Length() && !terminated_; ++i) {
      // Keeps the handles of a large map from piling up in the call's scope.
      v8::HandleScope scope(isolate_);
      v8::Local<v8::Value> name;
      if (!get(names, i, &name)) continue;
      std::string value_text = text(get(object, name));
      std::string name_text;
      if (!vantarel::to_text(name, &name_text)) {
        caught();
        continue;
      }
      (*out)[std::move(name_text)] = std::move(value_text);
    }
  }

 private:
  void caught() {
    if (try_catch_.HasTerminated()) {
      terminated_ = true;
    } else if (!terminated_) {
      try_catch_.Reset();
    }
  }

  v8::Isolate* isolate_;
  v8::Local<v8::Context> context_;
  v8::TryCatch try_catch_;
  bool terminated_ = false;
};

// The records of one transaction, owned by the recording call.
struct Transaction {
  AnalyticsCollector::TransactionContext context;
  std::list<AnalyticsCollector::ExitCall> exitCalls;
  AnalyticsCollector::HttpData httpData;
  AnalyticsCollector::StringMap userData;
};

// Reads the properties in their fixed order, which getters can observe.
void read_transaction(Reader& in, v8::Isolate* isolate,
                      v8::Local<v8::Object> object, Transaction* out) {
  bool entryPoint = in.flag(in.get(object, kEntryPoint));
  uint32_t transactionTime = in.count(object, kTransactionTime);
  std::string requestExperience = in.text(object, kRequestExperience);
  std::string clientRequestGUID = in.text(object, kClientRequestGUID);
  std::string transactionName = in.text(object, kTransactionName);
  uint32_t transactionId = in.count(object, kTransactionId);
  std::string requestGUID = in.text(object, kRequestGUID);
  std::string eventTimestamp = in.text(object, kEventTimestamp);
  AnalyticsCollector::TransactionContext& context = out->context;
  context.eventTimestamp = std::move(eventTimestamp);
  context.requestGUID = std::move(requestGUID);
  // The 32 bits are kept: 2^31 and more read back negative.
  context.transactionId = static_cast<int32_t>(transactionId);
  context.transactionName = std::move(transactionName);
  context.clientRequestGUID = std::move(clientRequestGUID);
  context.requestExperience = std::move(requestExperience);
  context.transactionTime = static_cast<int32_t>(transactionTime);
  context.entryPoint = entryPoint;

  v8::Local<v8::Value> calls = in.get(object, kExitCalls);
  if (calls->IsArray()) {
    v8::Local<v8::Array> array = calls.As<v8::Array>();
    // Getters may change the length, so it is read for every element.
    for (uint32_t i = 0; i < array->Length() && !in.terminated(); ++i) {
      v8::HandleScope scope(isolate);
      v8::Local<v8::Value> element;
      if (!in.get(array, i, &element) || !element->IsObject()) continue;
      v8::Local<v8::Object> call_object = element.As<v8::Object>();
      AnalyticsCollector::ExitCall call;
      call.numberOfErrors = in.count(call_object, kNumberOfErrors);
      call.numberOfCalls = in.count(call_object, kNumberOfCalls);
      call.avgResponseTimeMillis =
          in.count(call_object, kAvgResponseTimeMillis);
      call.exitCallType = in.text(call_object, kExitCallType);
      out->exitCalls.push_back(std::move(call));
    }
  }

  v8::Local<v8::Value> http_value = in.get(object, kHttpData);
  v8::Local<v8::Object> http = http_value->IsObject()
                                   ? http_value.As<v8::Object>()
                                   : v8::Object::New(isolate);
  AnalyticsCollector::HttpData& httpData = out->httpData;
  httpData.sessionId = in.text(http, kSessionId);
  httpData.principal = in.text(http, kPrincipal);
  httpData.url = in.text(http, kUrl);
  in.map(http, kSessionObjects, &httpData.sessionObjects);
  in.map(http, kUriPathSegments, &httpData.uriPathSegments);
  in.map(http, kParameters, &httpData.parameters);
  in.map(http, kHeaders, &httpData.headers);
  in.map(http, kCookies, &httpData.cookies);

  in.map(object, kUserData, &out->userData);
}

void throw_failure(const std::exception& failure) {
  if (dynamic_cast<const std::bad_alloc*>(&failure)) {
    Nan::ThrowError("out of memory while building the transaction event");
  } else {
    Nan::ThrowError(failure.what());
  }
}

// Makes fresh the current state. A replaced state goes as soon as no report
// from it is under way.
void install(AnalyticsState* fresh) {
  AnalyticsState* old = analytics;
  analytics = fresh;
  if (old == nullptr) return;
  if (old->deliveries == 0) {
    delete old;
  } else {
    old->replaced = true;
  }
}

// Keeps a state alive while it delivers.
class Delivery {
 public:
  explicit Delivery(AnalyticsState* state) : state_(state) {
    ++state_->deliveries;
  }
  ~Delivery() {
    if (--state_->deliveries == 0 && state_->replaced) delete state_;
  }
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;

 private:
  AnalyticsState* state_;
};

const char kNotAFunction[] =
    "Expected a function for the report function of initAnalytics";

// Hands one batch to the report function of the current state. False when
// the batch could not be delivered; a script exception is then pending.
bool do_http_callback(const char* batch) {
  v8::Isolate* isolate = v8::Isolate::GetCurrent();
  Nan::HandleScope scope;
  v8::Local<v8::Value> fn = analytics->callback.Get(isolate);
  if (!fn->IsFunction()) {
    Nan::ThrowTypeError(kNotAFunction);
    return false;
  }
  // Event texts escape every byte above 0x7F, so the batch is ASCII and its
  // Latin-1 reading is the same string as its UTF-8 reading.
  v8::Local<v8::String> text;
  if (!v8::String::NewFromOneByte(
           isolate, reinterpret_cast<const uint8_t*>(batch),
           v8::NewStringType::kNormal, static_cast<int>(std::strlen(batch)))
           .ToLocal(&text)) {
    Nan::ThrowError("the analytics batch could not be made a string");
    return false;
  }
  v8::Local<v8::Value> argv[] = {text};
  return !vantarel::call_script(fn.As<v8::Function>(), 1, argv).IsEmpty();
}

}  // namespace

void InitAnalytics(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  v8::Local<v8::Value> config = info[0];
  if (config->IsNullOrUndefined()) {
    Nan::ThrowTypeError(
        "Expected an object for the configuration of initAnalytics");
    return;
  }
  v8::Isolate* isolate = info.GetIsolate();
  try {
    auto identity = std::make_unique<AnalyticsCollector::AgentIdentity>();
    if (config->IsObject()) {
      v8::Local<v8::Object> object = config.As<v8::Object>();
      Reader in(isolate);
      identity->applicationId = in.text(object, kApplicationId);
      identity->applicationName = in.text(object, kApplicationName);
      identity->tierId = in.text(object, kTierId);
      identity->tierName = in.text(object, kTierName);
      identity->nodeId = in.text(object, kNodeId);
      identity->nodeName = in.text(object, kNodeName);
      if (in.terminated()) return;
    } else {
      *identity = {"undefined", "undefined", "undefined",
                   "undefined", "undefined", "undefined"};
    }
    auto state = std::make_unique<AnalyticsState>();
    // A batch longer than the longest script string goes as several arrays.
    state->collector = std::make_unique<AnalyticsCollector>(
        std::move(identity), ::time, v8::String::kMaxLength);
    state->callback.Reset(isolate, info[1]);
    install(state.release());
  } catch (const std::exception& failure) {
    throw_failure(failure);
  } catch (...) {
    Nan::ThrowError("analytics failed");
  }
}

void EnableAnalytics(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  if (analytics == nullptr) return;
  analytics->collector->enabled = info[0]->IsTrue();
}

void RecordTransaction(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  if (analytics == nullptr || info[0]->IsNullOrUndefined()) return;
  v8::Isolate* isolate = info.GetIsolate();
  try {
    Transaction transaction;
    {
      v8::Local<v8::Object> object;
      if (!info[0]->ToObject(isolate->GetCurrentContext()).ToLocal(&object)) {
        return;
      }
      Reader in(isolate);
      read_transaction(in, isolate, object, &transaction);
      if (in.terminated()) return;
    }
    AnalyticsCollector::TransactionInfo record{
        transaction.context, transaction.exitCalls, transaction.httpData,
        std::move(transaction.userData)};
    // A getter may have installed a new state meanwhile.
    analytics->collector->recordTransaction(record);
  } catch (const std::exception& failure) {
    throw_failure(failure);
  } catch (...) {
    Nan::ThrowError("analytics failed");
  }
}

void ReportTransactions(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  AnalyticsState* state = analytics;
  if (state == nullptr || !state->collector->reportDue()) return;
  // Checked before the batch leaves the collector, so nothing is lost.
  if (!state->callback.Get(info.GetIsolate())->IsFunction()) {
    Nan::ThrowTypeError(kNotAFunction);
    return;
  }
  Delivery delivery(state);
  try {
    state->collector->reportTransactions(do_http_callback);
  } catch (const std::exception& failure) {
    throw_failure(failure);
  } catch (...) {
    Nan::ThrowError("analytics failed");
  }
}
