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
#include "library_hold.h"
#include "options.h"
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
};

namespace {

// Tells the package's script reader, without a call, whether to read a
// transaction at all (bit 0: analytics is set up) and whether to hand it
// over (bit 1: the collector collects).
void publish_control(Analytics* analytics) {
  if (!analytics->control) return;
  AnalyticsState* state = analytics->current.get();
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

const char kNotAFunction[] =
    "Expected a function for the report function of initAnalytics";

// A delivered batch's block while script holds it: given back to its pool
// when the engine frees what script held, from the engine's release, on
// whatever thread that runs, touching nothing of the engine then.
// engineCounts says whether the engine counts the bytes as its own.
class LentBlock {
 public:
  LentBlock(TextBlock&& block, std::shared_ptr<BlockPool> pool,
            bool engine_counts) noexcept
      : block_(std::move(block)),
        pool_(std::move(pool)),
        engine_counts_(engine_counts) {}
  ~LentBlock() {
    if (lent_) pool_->giveBack(std::move(block_), engine_counts_);
  }
  LentBlock(const LentBlock&) = delete;
  LentBlock& operator=(const LentBlock&) = delete;

  const TextBlock& block() const { return block_; }
  // The engine took what was made over it.
  void lend() noexcept {
    pool_->lend(block_, engine_counts_);
    lent_ = true;
  }
  // The engine did not: the block goes back to the batch.
  TextBlock reclaim() noexcept { return std::move(block_); }

 private:
  TextBlock block_;
  std::shared_ptr<BlockPool> pool_;
  bool engine_counts_;
  bool lent_ = false;
};

// A batch as a script string made over its block, so the batch is not
// copied into the heap; the engine releases it with the string.
class BatchString : public v8::String::ExternalOneByteStringResource {
 public:
  BatchString(TextBlock&& block, std::shared_ptr<BlockPool> pool) noexcept
      : batch(std::move(block), std::move(pool), false) {}

  const char* data() const override { return batch.block().data(); }
  size_t length() const override { return batch.block().size(); }

  LentBlock batch;
};

// The same for a batch handed over as a Buffer: the engine's sweeper frees
// a dropped young buffer at a scavenge, long before a full collection.
struct BatchBytes {
  BatchBytes(TextBlock&& block, std::shared_ptr<BlockPool> pool) noexcept
      : batch(std::move(block), std::move(pool), true) {}

  // The backing store's deleter, called on any thread.
  static void Free(void*, size_t, void* self) {
    delete static_cast<BatchBytes*>(self);
  }

  LentBlock batch;
};

// The batch as the report function takes it, made over the batch's block,
// which it then owns. Empty when it could not be made, with an exception
// pending; the block is then still the batch's.
v8::MaybeLocal<v8::Value> batch_value(v8::Isolate* isolate, TextBlock& batch,
                                      const std::shared_ptr<BlockPool>& pool,
                                      bool as_buffer) {
  if (as_buffer) {
    // Script may hand the Buffer to another thread, whose engine frees it
    // with code of this library, maybe after this thread has ended.
    vantarel::pin_library();
    auto* owner = new BatchBytes(std::move(batch), pool);
    const size_t length = owner->batch.block().size();
    std::shared_ptr<v8::BackingStore> store = v8::ArrayBuffer::NewBackingStore(
        const_cast<char*>(owner->batch.block().data()), length,
        BatchBytes::Free, owner);
    v8::Local<v8::ArrayBuffer> buffer = v8::ArrayBuffer::New(isolate, store);
    v8::Local<v8::Uint8Array> view;
    if (!node::Buffer::New(isolate, buffer, 0, length).ToLocal(&view)) {
      // The store frees owner when the engine drops it; the block stays.
      batch = owner->batch.reclaim();
      return {};
    }
    owner->batch.lend();
    return view;
  }
  // Event texts escape every byte above 0x7F, so the batch is ASCII and its
  // Latin-1 reading is the same string as its UTF-8 reading.
  auto owner = std::make_unique<BatchString>(std::move(batch), pool);
  v8::Local<v8::String> text;
  if (!v8::String::NewExternalOneByte(isolate, owner.get()).ToLocal(&text)) {
    batch = owner->batch.reclaim();
    if (!isolate->IsExecutionTerminating()) {
      Nan::ThrowError("the analytics batch could not be made a string");
    }
    return {};
  }
  owner.release()->batch.lend();
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

// Hands one batch to the report function of the thread's current state:
// the one a report function may have put in place meanwhile.
AnalyticsCollector::Handoff do_http_callback(v8::Isolate* isolate,
                                             Analytics* analytics,
                                             TextBlock& batch) {
  using Handoff = AnalyticsCollector::Handoff;
  Nan::HandleScope scope;
  AnalyticsState* state = analytics->current.get();
  v8::Local<v8::Value> fn = state->callback.Get(isolate);
  if (!fn->IsFunction()) {
    Nan::ThrowTypeError(kNotAFunction);
    return Handoff::kNotTaken;
  }
  v8::Local<v8::Value> value;
  if (!batch_value(isolate, batch, state->collector->textPool(),
                   state->as_buffer)
           .ToLocal(&value)) {
    return Handoff::kNotTaken;
  }
  v8::Local<v8::Value> argv[] = {value};
  return vantarel::call_script(fn.As<v8::Function>(), 1, argv).IsEmpty()
             ? Handoff::kFailed
             : Handoff::kTaken;
}

}  // namespace

void InitAnalytics(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  v8::Local<v8::Value> config = info[0];
  bool as_buffer = false;
  vantarel::Options options(info.GetIsolate(), info[2], "initAnalytics");
  if (!options.boolean("asBuffer", &as_buffer)) return;
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
    auto state = std::make_shared<AnalyticsState>();
    // A batch longer than the longest script string goes as several arrays.
    state->collector = std::make_unique<AnalyticsCollector>(
        std::move(identity), ::time, v8::String::kMaxLength, analytics->pool);
    state->callback.Reset(isolate, info[1]);
    state->as_buffer = as_buffer;
    // A state replaced from inside a report function lives on until that
    // report returns: the report holds it too.
    analytics->current = std::move(state);
    publish_control(analytics);
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
  // The engine makes the buffer and its bookkeeping, all of it code of its
  // own: should script hand the array to another thread, freeing it there
  // runs nothing of this library, which may be gone by then.
  v8::Local<v8::ArrayBuffer> buffer;
  if (analytics->control) {
    buffer = v8::ArrayBuffer::New(isolate, analytics->control);
  } else {
    buffer = v8::ArrayBuffer::New(isolate, sizeof(uint32_t));
    analytics->control = buffer->GetBackingStore();
    publish_control(analytics);
  }
  return v8::Uint32Array::New(buffer, 0, 1);
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
  bool force = false;
  vantarel::Options options(info.GetIsolate(), info[0], "reportTransactions");
  if (!options.boolean("force", &force)) return;
  const auto when =
      force ? AnalyticsCollector::When::kNow : AnalyticsCollector::When::kDue;
  v8::Isolate* isolate = info.GetIsolate();
  Analytics* analytics = vantarel::state_of<Analytics>(info);
  std::shared_ptr<AnalyticsState> state = analytics->current;
  if (state == nullptr) return;
  account_batch_strings(isolate, analytics);
  try {
    state->collector->reportTransactions(
        [isolate, analytics](TextBlock& batch) {
          return do_http_callback(isolate, analytics, batch);
        },
        when);
  } catch (const std::exception& failure) {
    throw_failure(failure);
  } catch (...) {
    Nan::ThrowError("analytics failed");
  }
}

#ifdef VANTAREL_BENCH_EXPORTS
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
#endif
