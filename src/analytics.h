// Script interface of transaction analytics.
#ifndef SRC_ANALYTICS_H_
#define SRC_ANALYTICS_H_

#include <nan.h>

#include <cstddef>
#include <memory>
#include <string>

#include "block_pool.h"
#include "transaction_reader.h"
#include "transaction_record.h"

struct AnalyticsState;

// The analytics of one thread: its current state, the buffers that
// recording calls reuse, the word that tells its script reader whether to
// read, and the property names of the configuration.
class Analytics {
 public:
  // Buffers grown past this by a rare large transaction are freed.
  static constexpr std::size_t kKeptRecordCapacity = 1 << 16;

  Analytics() = default;
  Analytics(const Analytics&) = delete;
  Analytics& operator=(const Analytics&) = delete;

  // Null until the first initAnalytics. A report under way holds the state
  // it reports from, so a replaced state lives until that report returns.
  std::shared_ptr<AnalyticsState> current;
  // No script runs while these are filled, so one of each will do.
  zeph::agent::TransactionRecord record;
  std::string latin1_texts;
  std::u16string utf16_texts;
  std::shared_ptr<v8::BackingStore> control;
  vantarel::KeyCache keys;
  // Where this thread's batches come back, whichever state sent them.
  std::shared_ptr<zeph::agent::BlockPool> pool =
      std::make_shared<zeph::agent::BlockPool>();
  // Bytes of batch strings the engine was last told of.
  int64_t accounted = 0;
};

void InitAnalytics(const Nan::FunctionCallbackInfo<v8::Value>& info);
void EnableAnalytics(const Nan::FunctionCallbackInfo<v8::Value>& info);
// Takes one transaction as the package's script reader hands it over.
void RecordFlatTransaction(const Nan::FunctionCallbackInfo<v8::Value>& info);
void ReportTransactions(const Nan::FunctionCallbackInfo<v8::Value>& info);
#ifdef VANTAREL_BENCH_EXPORTS
// Where this thread's analytics memory is, for the benchmarks.
void AnalyticsMemory(const Nan::FunctionCallbackInfo<v8::Value>& info);
#endif

// The word through which that reader learns whether to read.
v8::Local<v8::Uint32Array> AnalyticsControl(v8::Isolate* isolate,
                                            Analytics* analytics);

#endif  // SRC_ANALYTICS_H_
