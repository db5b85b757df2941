// Heap snapshots of the calling thread's engine: a census by name, the full
// snapshot streamed to script, and the engine's heap-object tracking.
#ifndef SRC_HEAP_H_
#define SRC_HEAP_H_

#include <nan.h>

// Whether the module switched one isolate's heap-object tracking on, so that
// it can switch it off when the thread ends.
class HeapTracking {
 public:
  explicit HeapTracking(v8::Isolate* isolate) : isolate_(isolate) {}

  void start();
  void stop();
  // Switches tracking off when the module switched it on.
  void close();

 private:
  v8::Isolate* isolate_;
  bool started_ = false;
};

void GetV8HeapSnapshot(const Nan::FunctionCallbackInfo<v8::Value>& info);
void IsObjectTrackingSupported(
    const Nan::FunctionCallbackInfo<v8::Value>& info);
void StartTrackingHeapObjects(const Nan::FunctionCallbackInfo<v8::Value>& info);
void StopTrackingHeapObjects(const Nan::FunctionCallbackInfo<v8::Value>& info);
void TakeHeapSnapshot(const Nan::FunctionCallbackInfo<v8::Value>& info);

#endif  // SRC_HEAP_H_
