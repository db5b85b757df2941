// Notifications to a script function after every garbage collection.
#ifndef SRC_GC_H_
#define SRC_GC_H_

#include <nan.h>

void AfterGC(const Nan::FunctionCallbackInfo<v8::Value>& info);

#endif  // SRC_GC_H_
