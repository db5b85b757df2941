// Wall-clock and process CPU time in microseconds.
#ifndef SRC_CLOCK_H_
#define SRC_CLOCK_H_

#include <nan.h>

void Time(const Nan::FunctionCallbackInfo<v8::Value>& info);
void CPUTime(const Nan::FunctionCallbackInfo<v8::Value>& info);

#endif  // SRC_CLOCK_H_
