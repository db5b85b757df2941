// Script interface of transaction analytics.
#ifndef SRC_ANALYTICS_H_
#define SRC_ANALYTICS_H_

#include <nan.h>

#include "transaction_reader.h"
#include "transaction_record.h"

struct AnalyticsState;

// The analytics of one thread: its current state, the record that recording
// calls reuse, and the property names they read.
class Analytics {
 public:
  Analytics() = default;
  ~Analytics();
  Analytics(const Analytics&) = delete;
  Analytics& operator=(const Analytics&) = delete;

  // Null until the first initAnalytics.
  AnalyticsState* current = nullptr;
  zeph::agent::TransactionRecord shared_record;
  bool shared_record_busy = false;
  vantarel::KeyCache keys;
};

void InitAnalytics(const Nan::FunctionCallbackInfo<v8::Value>& info);
void EnableAnalytics(const Nan::FunctionCallbackInfo<v8::Value>& info);
void RecordTransaction(const Nan::FunctionCallbackInfo<v8::Value>& info);
void ReportTransactions(const Nan::FunctionCallbackInfo<v8::Value>& info);

#endif  // SRC_ANALYTICS_H_
