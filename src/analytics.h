// Script interface of transaction analytics.
#ifndef SRC_ANALYTICS_H_
#define SRC_ANALYTICS_H_

#include <nan.h>

void InitAnalytics(const Nan::FunctionCallbackInfo<v8::Value>& info);
void EnableAnalytics(const Nan::FunctionCallbackInfo<v8::Value>& info);
// Takes one transaction as the package's script reader hands it over.
void RecordFlatTransaction(const Nan::FunctionCallbackInfo<v8::Value>& info);
void ReportTransactions(const Nan::FunctionCallbackInfo<v8::Value>& info);

// The word through which that reader learns whether to read.
v8::Local<v8::Uint32Array> AnalyticsControl(v8::Isolate* isolate);

#endif  // SRC_ANALYTICS_H_
