// CPU profile of the script engine, walked through script callbacks.
#ifndef SRC_CPU_PROFILE_H_
#define SRC_CPU_PROFILE_H_

#include <nan.h>

void StartV8Profiler(const Nan::FunctionCallbackInfo<v8::Value>& info);
void StopV8Profiler(const Nan::FunctionCallbackInfo<v8::Value>& info);

#endif  // SRC_CPU_PROFILE_H_
