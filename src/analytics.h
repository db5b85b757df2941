// Script interface of transaction analytics.
#ifndef SRC_ANALYTICS_H_
#define SRC_ANALYTICS_H_

#include <nan.h>

void InitAnalytics(const Nan::FunctionCallbackInfo<v8::Value>& info);
void EnableAnalytics(const Nan::FunctionCallbackInfo<v8::Value>& info);
void RecordTransaction(const Nan::FunctionCallbackInfo<v8::Value>& info);
void ReportTransactions(const Nan::FunctionCallbackInfo<v8::Value>& info);

#endif  // SRC_ANALYTICS_H_
