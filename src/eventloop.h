// Per-iteration timing statistics of the host's default event loop.
#ifndef SRC_EVENTLOOP_H_
#define SRC_EVENTLOOP_H_

#include <nan.h>

#include "loop_statistics.h"

void InitEventLoopMonitoring();
void GetEventLoopInfo(const Nan::FunctionCallbackInfo<v8::Value>& info);
void ResetEventLoopInfo(const Nan::FunctionCallbackInfo<v8::Value>& info);

#endif  // SRC_EVENTLOOP_H_
