#include "analytics.h"

#include <cstdint>
#include <ctime>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "analytics_collector.h"
#include "function_data.h"
#include "script_call.h"

using vantarel::Reader;
using zeph::agent::AnalyticsCollector;
using zeph::agent::TransactionRecord;

struct AnalyticsState {
  std::unique_ptr<AnalyticsCollector> collector;
  // Any value: it is checked when a batch is due.
  v8::Global<v8::Value> callback;
  // Reports from this state under way; it is released only after the last.
  int deliveries = 0;
  bool replaced = false;
};

// A report under way runs to its end before the thread's state goes.
Analytics::~Analytics() { delete current; }

namespace {

// The thread's analytics while it reports: the collector hands batches to a
// plain function, which finds the current report function through it.
thread_local Analytics* reporting = nullptr;

// The thread's shared record, reused by every recording call, so that once
// its buffers have grown a call allocates nothing to read the object; a
// call made meanwhile from a getter reads into a record of its own.
class RecordLease {
 public:
  explicit RecordLease(Analytics* analytics)
      : analytics_(analytics),
        record_(analytics->shared_record_busy ? own_
                                              : analytics->shared_record) {
    if (&record_ == &analytics_->shared_record) {
      analytics_->shared_record_busy = true;
    }
    record_.clear();
  }
  ~RecordLease() {
    if (&record_ != &analytics_->shared_record) return;
    analytics_->shared_record_busy = false;
    // A rare large transaction should not keep its memory for good.
    if (record_.capacity() > kKeptCapacity) record_ = TransactionRecord();
  }
  RecordLease(const RecordLease&) = delete;
  RecordLease& operator=(const RecordLease&) = delete;

  TransactionRecord* get() { return &record_; }

 private:
  static constexpr std::size_t kKeptCapacity = 1 << 16;
  Analytics* analytics_;
  TransactionRecord own_;
  TransactionRecord& record_;
};

void throw_failure(const std::exception& failure) {
  if (dynamic_cast<const std::bad_alloc*>(&failure)) {
    Nan::ThrowError("out of memory while building the transaction event");
  } else {
    Nan::ThrowError(failure.what());
  }
}

// Makes fresh the current state. A replaced state goes as soon as no report
// from it is under way.
void install(Analytics* analytics, AnalyticsState* fresh) {
  AnalyticsState* old = analytics->current;
  analytics->current = fresh;
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

// A batch's text, owned by the script string made over it: the engine
// releases it with the string, so the batch is not copied into the heap.
// The engine is told of the bytes, which it would not count otherwise, so
// that collections keep pace with dropped batches.
class BatchText : public v8::String::ExternalOneByteStringResource {
 public:
  BatchText(v8::Isolate* isolate, std::string& text) : isolate_(isolate) {
    text_.swap(text);
  }
  ~BatchText() override {
    if (counted_) {
      isolate_->AdjustAmountOfExternalAllocatedMemory(
          -static_cast<int64_t>(text_.size()));
    }
  }
  BatchText(const BatchText&) = delete;
  BatchText& operator=(const BatchText&) = delete;

  const char* data() const override { return text_.data(); }
  size_t length() const override { return text_.size(); }
  void count() {
    isolate_->AdjustAmountOfExternalAllocatedMemory(
        static_cast<int64_t>(text_.size()));
    counted_ = true;
  }

 private:
  v8::Isolate* isolate_;
  std::string text_;
  bool counted_ = false;
};

// Hands one batch to the report function of the current state. False when
// the batch could not be delivered; a script exception is then pending.
bool do_http_callback(std::string& batch) {
  v8::Isolate* isolate = v8::Isolate::GetCurrent();
  Nan::HandleScope scope;
  v8::Local<v8::Value> fn = reporting->current->callback.Get(isolate);
  if (!fn->IsFunction()) {
    Nan::ThrowTypeError(kNotAFunction);
    return false;
  }
  // Event texts escape every byte above 0x7F, so the batch is ASCII and its
  // Latin-1 reading is the same string as its UTF-8 reading.
  auto owner = std::make_unique<BatchText>(isolate, batch);
  owner->count();
  v8::Local<v8::String> text;
  if (!v8::String::NewExternalOneByte(isolate, owner.get()).ToLocal(&text)) {
    Nan::ThrowError("the analytics batch could not be made a string");
    return false;
  }
  owner.release();
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
  Analytics* analytics = vantarel::state_of<Analytics>(info);
  try {
    auto identity = std::make_unique<AnalyticsCollector::AgentIdentity>();
    if (config->IsObject()) {
      v8::Local<v8::Object> object = config.As<v8::Object>();
      Reader in(isolate, &analytics->keys);
      identity->applicationId = in.text(object, vantarel::kApplicationId);
      identity->applicationName = in.text(object, vantarel::kApplicationName);
      identity->tierId = in.text(object, vantarel::kTierId);
      identity->tierName = in.text(object, vantarel::kTierName);
      identity->nodeId = in.text(object, vantarel::kNodeId);
      identity->nodeName = in.text(object, vantarel::kNodeName);
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
    install(analytics, state.release());
  } catch (const std::exception& failure) {
    throw_failure(failure);
  } catch (...) {
    Nan::ThrowError("analytics failed");
  }
}

void EnableAnalytics(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  AnalyticsState* state = vantarel::state_of<Analytics>(info)->current;
  if (state == nullptr) return;
  state->collector->enabled = info[0]->IsTrue();
}

void RecordTransaction(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  Analytics* analytics = vantarel::state_of<Analytics>(info);
  if (analytics->current == nullptr || info[0]->IsNullOrUndefined()) return;
  v8::Isolate* isolate = info.GetIsolate();
  try {
    RecordLease record(analytics);
    {
      v8::Local<v8::Object> object;
      if (!info[0]->ToObject(isolate->GetCurrentContext()).ToLocal(&object)) {
        return;
      }
      Reader in(isolate, &analytics->keys);
      vantarel::read_transaction(in, isolate, object, record.get());
      if (in.terminated()) return;
    }
    // A getter may have installed a new state meanwhile.
    analytics->current->collector->recordTransaction(*record.get());
  } catch (const std::exception& failure) {
    throw_failure(failure);
  } catch (...) {
    Nan::ThrowError("analytics failed");
  }
}

void ReportTransactions(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  Analytics* analytics = vantarel::state_of<Analytics>(info);
  AnalyticsState* state = analytics->current;
  if (state == nullptr || !state->collector->reportDue()) return;
  // Checked before the batch leaves the collector, so nothing is lost.
  if (!state->callback.Get(info.GetIsolate())->IsFunction()) {
    Nan::ThrowTypeError(kNotAFunction);
    return;
  }
  Delivery delivery(state);
  reporting = analytics;
  try {
    state->collector->reportTransactions(do_http_callback);
  } catch (const std::exception& failure) {
    throw_failure(failure);
  } catch (...) {
    Nan::ThrowError("analytics failed");
  }
}
