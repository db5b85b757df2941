#include "analytics.h"

#include <node_buffer.h>

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
using zeph::agent::BlockPool;
using zeph::agent::TextBlock;
using zeph::agent::TransactionRecord;

struct AnalyticsState {
  std::unique_ptr<AnalyticsCollector> collector;
  // Any value: it is checked when a batch is due.
  v8::Global<v8::Value> callback;
  // Batches go to it as Buffers rather than strings.
  bool as_buffer = false;
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

// A delivered batch's block, owned by the script string made over it: the
// engine releases it with the string, so the batch is not copied into the
// heap. It goes back to its pool from the engine's release, on whatever
// thread that runs, and touches nothing of the engine then.
class BatchString : public v8::String::ExternalOneByteStringResource {
 public:
  BatchString(TextBlock&& block, std::shared_ptr<BlockPool> pool) noexcept
      : block_(std::move(block)), pool_(std::move(pool)) {
    pool_->lend(block_, false);
  }
  ~BatchString() override { pool_->giveBack(std::move(block_), false); }
  BatchString(const BatchString&) = delete;
  BatchString& operator=(const BatchString&) = delete;

  const char* data() const override { return block_.data(); }
  size_t length() const override { return block_.size(); }

 private:
  TextBlock block_;
  std::shared_ptr<BlockPool> pool_;
};

// The same for a batch handed over as a Buffer: the engine's sweeper frees
// a dropped young buffer at a scavenge, long before a full collection.
struct BatchBytes {
  BatchBytes(TextBlock&& block, std::shared_ptr<BlockPool> pool) noexcept
      : block(std::move(block)), pool(std::move(pool)) {
    this->pool->lend(this->block, true);
  }
  ~BatchBytes() { pool->giveBack(std::move(block), true); }

  // The backing store's deleter, called on any thread.
  static void Free(void*, size_t, void* self) {
    delete static_cast<BatchBytes*>(self);
  }

  TextBlock block;
  std::shared_ptr<BlockPool> pool;
};

// The batch as the report function takes it; empty when it could not be
// made, with an exception pending.
v8::MaybeLocal<v8::Value> batch_value(v8::Isolate* isolate, TextBlock& batch,
                                      const std::shared_ptr<BlockPool>& pool,
                                      bool as_buffer) {
  if (as_buffer) {
    char* bytes = const_cast<char*>(batch.data());
    size_t length = batch.size();
    auto owner = std::make_unique<BatchBytes>(std::move(batch), pool);
    std::shared_ptr<v8::BackingStore> store = v8::ArrayBuffer::NewBackingStore(
        bytes, length, BatchBytes::Free, owner.release());
    v8::Local<v8::ArrayBuffer> buffer = v8::ArrayBuffer::New(isolate, store);
    v8::Local<v8::Uint8Array> view;
    if (!node::Buffer::New(isolate, buffer, 0, length).ToLocal(&view)) {
      return {};
    }
    return view;
  }
  // Event texts escape every byte above 0x7F, so the batch is ASCII and its
  // Latin-1 reading is the same string as its UTF-8 reading.
  auto owner = std::make_unique<BatchString>(std::move(batch), pool);
  v8::Local<v8::String> text;
  if (!v8::String::NewExternalOneByte(isolate, owner.get()).ToLocal(&text)) {
    // The engine did not take the block: it goes back with owner.
    Nan::ThrowError("the analytics batch could not be made a string");
    return {};
  }
  owner.release();
  return text;
}

// Tells the engine how many bytes script strings of batches hold, which it
// does not weigh when it schedules collections: without it, a dropped batch
// would wait for a collection that the heap's own growth brings, hundreds
// of megabytes later. Done here on the thread, as the engine may release
// a string elsewhere (the pool counts the bytes that came back), and at the
// next call after a delivery rather than in it, so that handing a batch
// over takes constant time; a collection the engine starts then shows as
// a pause of its own.
void account_batch_strings(v8::Isolate* isolate, Analytics* analytics) {
  const int64_t held = static_cast<int64_t>(analytics->pool->uncountedBytes());
  if (held == analytics->accounted) return;
  isolate->AdjustAmountOfExternalAllocatedMemory(held - analytics->accounted);
  analytics->accounted = held;
}

// Hands one batch to the report function of the current state. False when
// the batch could not be delivered; a script exception is then pending.
bool do_http_callback(TextBlock& batch) {
  v8::Isolate* isolate = v8::Isolate::GetCurrent();
  Nan::HandleScope scope;
  AnalyticsState* state = reporting->current;
  v8::Local<v8::Value> fn = state->callback.Get(isolate);
  if (!fn->IsFunction()) {
    Nan::ThrowTypeError(kNotAFunction);
    return false;
  }
  v8::Local<v8::Value> value;
  if (!batch_value(isolate, batch, state->collector->textPool(),
                   state->as_buffer)
           .ToLocal(&value)) {
    return false;
  }
  v8::Local<v8::Value> argv[] = {value};
  return !vantarel::call_script(fn.As<v8::Function>(), 1, argv).IsEmpty();
}

// Reads one boolean option of function: options is undefined, or an object
// whose name is undefined or a boolean. False when an exception is pending.
bool read_flag(v8::Isolate* isolate, v8::Local<v8::Value> options,
               const char* function, const char* name, bool* flag) {
  *flag = false;
  if (options->IsUndefined()) return true;
  if (!options->IsObject()) {
    Nan::ThrowTypeError(
        (std::string("Expected an object for the options of ") + function)
            .c_str());
    return false;
  }
  v8::Local<v8::Value> value;
  if (!options.As<v8::Object>()
           ->Get(isolate->GetCurrentContext(), Nan::New(name).ToLocalChecked())
           .ToLocal(&value)) {
    return false;
  }
  if (value->IsUndefined()) return true;
  if (!value->IsBoolean()) {
    Nan::ThrowTypeError((std::string("Expected a boolean for the ") + name +
                         " option of " + function)
                            .c_str());
    return false;
  }
  *flag = value->IsTrue();
  return true;
}

}  // namespace

void InitAnalytics(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  v8::Local<v8::Value> config = info[0];
  bool as_buffer;
  if (!read_flag(info.GetIsolate(), info[2], "initAnalytics", "asBuffer",
                 &as_buffer)) {
    return;
  }
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
        std::move(identity), ::time, v8::String::kMaxLength, analytics->pool);
    state->callback.Reset(isolate, info[1]);
    state->as_buffer = as_buffer;
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
  // Batches that came back since the last call no longer weigh.
  account_batch_strings(isolate, analytics);
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

void ReportTransactions(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  bool force;
  if (!read_flag(info.GetIsolate(), info[0], "reportTransactions", "force",
                 &force)) {
    return;
  }
  const auto when =
      force ? AnalyticsCollector::When::kNow : AnalyticsCollector::When::kDue;
  Analytics* analytics = vantarel::state_of<Analytics>(info);
  AnalyticsState* state = analytics->current;
  if (state == nullptr) return;
  account_batch_strings(info.GetIsolate(), analytics);
  if (!state->collector->reportDue(when)) {
    state->collector->releaseIdle();
    return;
  }
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

void AnalyticsMemory(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  Analytics* analytics = vantarel::state_of<Analytics>(info);
  BlockPool::Counters pool = analytics->pool->counters();
  AnalyticsCollector* collector =
      analytics->current ? analytics->current->collector.get() : nullptr;
  const std::pair<const char*, double> figures[] = {
      {"pendingBytes", collector ? collector->pendingBytes() : 0.0},
      {"pendingMapped", collector ? collector->pendingMapped() : 0.0},
      {"deliveredBytes", static_cast<double>(pool.outstandingBytes)},
      {"deliveredCount", static_cast<double>(pool.outstandingBlocks)},
      {"spareBytes", static_cast<double>(pool.spareBytes)},
      {"mappedBlocksCount", static_cast<double>(pool.mappedBlocks)},
  };
  v8::Local<v8::Object> result = Nan::New<v8::Object>();
  for (const auto& [name, value] : figures) {
    Nan::Set(result, Nan::New(name).ToLocalChecked(), Nan::New(value));
  }
  info.GetReturnValue().Set(result);
}
