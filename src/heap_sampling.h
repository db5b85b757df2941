// The engine's sampling heap profiler on the calling thread: which
// allocation sites hold the live heap, estimated from a sample of the
// allocations, cheap enough to run all the time.
#ifndef SRC_HEAP_SAMPLING_H_
#define SRC_HEAP_SAMPLING_H_

#include <nan.h>

#include <cstdint>

class HeapSampling {
 public:
  explicit HeapSampling(v8::Isolate* isolate) : isolate_(isolate) {}
  HeapSampling(const HeapSampling&) = delete;
  HeapSampling& operator=(const HeapSampling&) = delete;

  // Starts sampling, or starts again with these options while it runs.
  void start(uint64_t interval_bytes, int stack_depth);
  void stop();
  bool running() const { return running_; }
  uint64_t interval_bytes() const { return interval_bytes_; }

  // Stops sampling before the isolate goes: the engine must not be left
  // sampling an isolate being torn down.
  void close() { stop(); }

 private:
  v8::Isolate* isolate_;
  bool running_ = false;
  uint64_t interval_bytes_ = 0;
};

void StartHeapSampling(const Nan::FunctionCallbackInfo<v8::Value>& info);
void GetHeapSamples(const Nan::FunctionCallbackInfo<v8::Value>& info);
void GetHeapSamplesPprof(const Nan::FunctionCallbackInfo<v8::Value>& info);
void StopHeapSampling(const Nan::FunctionCallbackInfo<v8::Value>& info);

#endif  // SRC_HEAP_SAMPLING_H_
