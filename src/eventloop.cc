#include "eventloop.h"

#include <uv.h>

EventLoopStatistics statistics;
static uint32_t preIO;

// The counters' addresses, for native readers that share the process.
#define EXPORTED __attribute__((visibility("default")))
extern "C" {
EXPORTED extern uint32_t* const num;
EXPORTED extern uint32_t* const min;
EXPORTED extern uint32_t* const max;
EXPORTED extern uint32_t* const sum;
EXPORTED extern uint32_t* const iosum;
uint32_t* const num = &statistics.num;
uint32_t* const min = &statistics.min;
uint32_t* const max = &statistics.max;
uint32_t* const sum = &statistics.sum;
uint32_t* const iosum = &statistics.iosum;
}
#undef EXPORTED

static uv_prepare_t prep_handle;
static uv_check_t check_handle;
static Nan::Persistent<v8::ArrayBuffer> event_loop_info;

// Both hooks run on every iteration: one clock read, no allocation, no script.
static void PreTick(uv_prepare_t* handle) {
  preIO = elapsed_ms(uv_hrtime(), uv_now(handle->loop));
}

static void PostTick(uv_check_t* handle) {
  statistics.record(elapsed_ms(uv_hrtime(), uv_now(handle->loop)), preIO);
}

void InitEventLoopMonitoring() {
  static bool started = false;
  if (started) return;
  started = true;

  uv_loop_t* loop = uv_default_loop();
  uv_prepare_init(loop, &prep_handle);
  uv_prepare_start(&prep_handle, PreTick);
  uv_unref(reinterpret_cast<uv_handle_t*>(&prep_handle));
  uv_check_init(loop, &check_handle);
  uv_check_start(&check_handle, PostTick);
  uv_unref(reinterpret_cast<uv_handle_t*>(&check_handle));

  // The engine must never free the counters: the deleter does nothing.
  std::unique_ptr<v8::BackingStore> store = v8::ArrayBuffer::NewBackingStore(
      &statistics, sizeof(statistics), [](void*, size_t, void*) {}, nullptr);
  event_loop_info.Reset(
      v8::ArrayBuffer::New(v8::Isolate::GetCurrent(), std::move(store)));
}

void GetEventLoopInfo(const Nan::FunctionCallbackInfo<v8::Value>& info) {
  const uint32_t counters[] = {statistics.num, statistics.min, statistics.max,
                               statistics.sum, statistics.iosum};
  v8::Local<v8::Object> result = Nan::New<v8::Object>();
  for (uint32_t i = 0; i < 5; ++i) {
    Nan::Set(result, i, Nan::New<v8::Number>(counters[i]));
  }
  info.GetReturnValue().Set(result);
}

void ResetEventLoopInfo(const Nan::FunctionCallbackInfo<v8::Value>&) {
  statistics = EventLoopStatistics{};
}
