#include "analytics.h"

#include <cstdint>
#include <ctime>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "analytics_collector.h"
#include "engine_compat.h"
#include "flat_transaction.h"
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

// Tells the package's script reader, without a call, whether to read a
// transaction at all (bit 0: analytics is set up) and whether to hand it
// over (bit 1: the collector collects).
void publish_control(Analytics* analytics) {
  if (!analytics->control) return;
  AnalyticsState* state = analytics->current;
  *static_cast<uint32_t*>(analytics->control->Data()) =
      state == nullptr            ? 0
      : state->collector->enabled ? 3
                                  : 1;
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
void install(Analytics* analytics, AnalyticsState* fresh) {
  AnalyticsState* old = analytics->current;
  analytics->current = fresh;
  publish_control(analytics);
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
  BatchText(v8::Isolate* isolate, std::string& text,
            std::shared_ptr<zeph::agent::TextPool> pool)
      : isolate_(isolate), pool_(std::move(pool)) {
    text_.swap(text);
  }
  ~BatchText() override {
    if (counted_) {
      isolate_->AdjustAmountOfExternalAllocatedMemory(
          -static_cast<int64_t>(text_.size()));
    }
    pool_->give(std::move(text_));
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
  std::shared_ptr<zeph::agent::TextPool> pool_;
  bool counted_ = false;
};

// Hands one batch to the report function of the current state. False when
// the batch could not be delivered; a script exception is then pending.
bool do_http_callback(std::string& batch) {
  v8::Isolate* isolate = v8::Isolate::GetCurrent();
  Nan::HandleScope scope;
  AnalyticsState* state = reporting->current;
  v8::Local<v8::Value> fn = state->callback.Get(isolate);
  if (!fn->IsFunction()) {
    Nan::ThrowTypeError(kNotAFunction);
    return false;
  }
  // Event texts escape every byte above 0x7F, so the batch is ASCII and its
  // Latin-1 reading is the same string as its UTF-8 reading.
  auto owner =
      std::make_unique<BatchText>(isolate, batch, state->collector->textPool());
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
  Analytics* analytics = vantarel::state_of<Analytics>(info);
  if (analytics->current == nullptr) return;
  analytics->current->collector->enabled = info[0]->IsTrue();
  publish_control(analytics);
}

v8::Local<v8::Uint32Array> AnalyticsControl(v8::Isolate* isolate,
                                            Analytics* analytics) {
  if (!analytics->control) {
    analytics->control =
        v8::ArrayBuffer::NewBackingStore(isolate, sizeof(uint32_t));
    publish_control(analytics);
  }
  return v8::Uint32Array::New(v8::ArrayBuffer::New(isolate, analytics->control),
                              0, 1);
}

// The texts and slots that the package's script reader made of one
// transaction object (see flat_transaction.h).
void RecordFlatTransaction(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  if (info.Length() < 4 || !info[0]->IsString() || !info[1]->IsUint32Array() ||
      !info[2]->IsUint32() || !info[3]->IsUint32()) {
    Nan::ThrowTypeError("Expected texts, slots, and the first and end slot");
    return;
  }
  v8::Local<v8::String> texts = info[0].As<v8::String>();
  v8::Local<v8::Uint32Array> slot_array = info[1].As<v8::Uint32Array>();
  uint32_t begin = info[2].As<v8::Uint32>()->Value();
  uint32_t end = info[3].As<v8::Uint32>()->Value();
  if (begin > end || end > slot_array->Length()) {
    Nan::ThrowRangeError("Expected slots within the array");
    return;
  }
  Analytics* analytics = vantarel::state_of<Analytics>(info);
  if (analytics->current == nullptr) return;
  v8::Isolate* isolate = info.GetIsolate();
  TransactionRecord& record_buffer = analytics->record;
  std::string& latin1_texts = analytics->latin1_texts;
  std::u16string& utf16_texts = analytics->utf16_texts;
  const uint32_t* slots =
      reinterpret_cast<const uint32_t*>(
          static_cast<const char*>(slot_array->Buffer()->Data()) +
          slot_array->ByteOffset()) +
      begin;
  const uint32_t slot_count = end - begin;
  try {
    record_buffer.clear();
    std::size_t length = static_cast<std::size_t>(texts->Length());
    bool read;
    if (texts->IsOneByte()) {
      char* block = record_buffer.room(length);
      vantarel::compat::write_one_byte(isolate, texts, block, length);
      TransactionRecord::Text kept;
      // Mostly ASCII: the texts are then slices of the block as written.
      if (record_buffer.keepAscii(length, &kept)) {
        read = vantarel::read_flat_transaction(slots, slot_count, kept,
                                               &record_buffer);
      } else {
        latin1_texts.assign(block, length);
        read = vantarel::read_flat_transaction(
            slots, slot_count, latin1_texts.data(), length, &record_buffer);
      }
    } else {
      utf16_texts.resize(length);
      vantarel::compat::write_two_byte(isolate, texts, utf16_texts.data(),
                                       length);
      read = vantarel::read_flat_transaction(
          slots, slot_count, utf16_texts.data(), length, &record_buffer);
    }
    if (!read) {
      Nan::ThrowRangeError("The slots do not describe the texts");
      return;
    }
    analytics->current->collector->recordTransaction(record_buffer);
  } catch (const std::exception& failure) {
    throw_failure(failure);
  } catch (...) {
    Nan::ThrowError("analytics failed");
  }
  // A rare large transaction should not keep its memory for good.
  if (record_buffer.capacity() + latin1_texts.capacity() +
          2 * utf16_texts.capacity() >
      Analytics::kKeptRecordCapacity) {
    record_buffer = TransactionRecord();
    latin1_texts = std::string();
    utf16_texts = std::u16string();
  }
}

namespace {

// Reads reportTransactions' options: nothing or undefined, or an object
// whose force, when present, is a boolean. False when an exception is
// pending.
bool read_report_options(v8::Isolate* isolate, v8::Local<v8::Value> options,
                         AnalyticsCollector::When* when) {
  *when = AnalyticsCollector::When::kDue;
  if (options->IsUndefined()) return true;
  if (!options->IsObject()) {
    Nan::ThrowTypeError(
        "Expected an object for the options of reportTransactions");
    return false;
  }
  v8::Local<v8::Context> context = isolate->GetCurrentContext();
  v8::Local<v8::Value> force;
  if (!options.As<v8::Object>()
           ->Get(context, Nan::New("force").ToLocalChecked())
           .ToLocal(&force)) {
    return false;
  }
  if (force->IsUndefined()) return true;
  if (!force->IsBoolean()) {
    Nan::ThrowTypeError(
        "Expected a boolean for the force option of reportTransactions");
    return false;
  }
  if (force->IsTrue()) *when = AnalyticsCollector::When::kNow;
  return true;
}

}  // namespace

void ReportTransactions(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  AnalyticsCollector::When when;
  if (!read_report_options(info.GetIsolate(), info[0], &when)) return;
  Analytics* analytics = vantarel::state_of<Analytics>(info);
  AnalyticsState* state = analytics->current;
  if (state == nullptr || !state->collector->reportDue(when)) return;
  // Checked before the batch leaves the collector, so nothing is lost.
  if (!state->callback.Get(info.GetIsolate())->IsFunction()) {
    Nan::ThrowTypeError(kNotAFunction);
    return;
  }
  Delivery delivery(state);
  reporting = analytics;
  try {
    state->collector->reportTransactions(do_http_callback, when);
  } catch (const std::exception& failure) {
    throw_failure(failure);
  } catch (...) {
    Nan::ThrowError("analytics failed");
  }
}
