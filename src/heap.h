// Heap snapshots: a census by name, the full snapshot streamed to script,
// and the host's heap-object tracking.
#ifndef SRC_HEAP_H_
#define SRC_HEAP_H_

#include <nan.h>

void GetV8HeapSnapshot(const Nan::FunctionCallbackInfo<v8::Value>& info);
void IsObjectTrackingSupported(
    const Nan::FunctionCallbackInfo<v8::Value>& info);
void StartTrackingHeapObjects(const Nan::FunctionCallbackInfo<v8::Value>& info);
void StopTrackingHeapObjects(const Nan::FunctionCallbackInfo<v8::Value>& info);
void TakeHeapSnapshot(const Nan::FunctionCallbackInfo<v8::Value>& info);

#endif  // SRC_HEAP_H_
